#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <utility>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "ql/qlscan.h"
#include "tests/support/temp_root.h"

namespace {

constexpr int kOk = 0;

struct Outcome {
    int result;
    std::string path;
    int error;
};

// Run a resolver into a separate buffer and in place on a copy of the input; both must agree.
template <typename Resolver>
Outcome inBothWays(const char *path, Resolver resolver) {
    char out[QL_PATH_MAX];
    int result = resolver(path, out);
    Outcome outcome{result, result < 0 ? "" : out, result < 0 ? ql::lastErrorCode() : kOk};
    if (path != nullptr) {
        char same[QL_PATH_MAX];
        ql::copyBounded(same, path);
        EXPECT_EQ(resolver(same, same), result) << path;
        EXPECT_EQ(result < 0 ? std::string() : same, outcome.path) << path;
    }
    return outcome;
}

Outcome absolute(const char *path, const char *base) {
    return inBothWays(
        path, [base](const char *in, char *out) { return QL_GetAbsolutePath(in, base, out); });
}

Outcome resolve(const std::string &path) {
    return inBothWays(path.c_str(), QL_ResolveSymlink);
}

class IfacePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Resolved paths are real ones: compare against the real name of the folder.
        std::string made = ql::test::makeTempDir("iface_path.");
        char real[PATH_MAX];
        ASSERT_NE(realpath(made.c_str(), real), nullptr);
        dir_ = real;
    }
    void TearDown() override { ql::test::removeTree(dir_); }

    std::string at(const std::string &name) const { return dir_ + "/" + name; }
    void link(const std::string &target, const std::string &name) const {
        ASSERT_EQ(symlink(target.c_str(), at(name).c_str()), 0) << name;
    }

    std::string dir_;
};

TEST_F(IfacePathTest, AbsolutePathResolvesDotsAsTextAndIsCutAt1023Characters) {
    const std::string base999 = "/" + std::string(999, 'b');
    struct Row {
        std::string path, base, expected;
        int error;
    } rows[] = {
        {"/etc/./x", "/tmp", "/etc/./x", kOk},
        {"x", "/tmp", "/tmp/x", kOk},
        {"./x", "/tmp", "/tmp/x", kOk},
        {"a//b", "/tmp", "/tmp/a/b", kOk},
        {"a/./b/", "/tmp", "/tmp/a/b", kOk},
        {"a/../b", "/tmp", "/tmp/b", kOk},
        {"../x", "/a", "/x", kOk},
        {"../", "/a", "/", kOk},
        {"a/b/../../..", "/t", "/", kOk},
        {"a/..x", "/t", "/t/a/..x", kOk},
        {"..", "/t", "/t/..", kOk},
        {"x/.", "/t", "/t/x/.", kOk},
        {"x", "/", "//x", kOk},
        {"x", "/tmp/", "/tmp//x", kOk},
        {" \t x", "/tmp", "/tmp/x", kOk},
        {"  /abs", "/tmp", "/abs", kOk},
        {"../../x", "/a", "", QLE_ABSOLUTE_PATH},
        {"../x", "/", "", QLE_ABSOLUTE_PATH},
        {"a/b/../../../..", "/t", "", QLE_ABSOLUTE_PATH},
        {"/abs", "relative", "", EINVAL},
        {"/" + std::string(1022, 'a'), "/t", "/" + std::string(1022, 'a'), kOk},
        {"/" + std::string(1023, 'a'), "/t", "/" + std::string(1022, 'a'), kOk},
        {std::string(22, 'c'), base999, base999 + "/" + std::string(22, 'c'), kOk},
        {std::string(23, 'c'), base999, base999 + "/" + std::string(22, 'c'), kOk},
        {"x", "/" + std::string(1100, 'b'), "/" + std::string(1022, 'b'), kOk},
    };
    for (const Row &row : rows) {
        Outcome got = absolute(row.path.c_str(), row.base.c_str());
        EXPECT_EQ(got.error, row.error) << row.path;
        EXPECT_EQ(got.path, row.expected) << row.path;
        EXPECT_EQ(got.result, row.error == kOk ? static_cast<int>(got.path.size()) : -1)
            << row.path;
    }
    EXPECT_EQ(absolute(nullptr, "/t").error, EINVAL);
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(absolute("x", nullptr).path, std::string(cwd) + "/x")
        << "no base: the current folder";
}

// Each hop is taken in the real directory holding the link, as the kernel takes it: a ".." in
// a target below a linked directory climbs from that directory's real parent. A relative path
// starts in the current directory.
TEST_F(IfacePathTest, LinksResolveToWhereTheKernelEnds) {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    ql::ScopeGuard back([&] { EXPECT_EQ(chdir(cwd), 0); });
    ql::test::writeFile(at("b"), "x");
    ASSERT_EQ(mkdir(at("sub").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(at("real").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(at("real/dir").c_str(), 0700), 0);
    ql::test::writeFile(at("real/x"), "target");
    ql::test::writeFile(at("x"), "decoy");
    const std::pair<const char *, const char *> links[] = {
        {"b", "a"},
        {"a", "c"},
        {"../c", "sub/l"},
        {"real/dir", "link"},
        {"../x", "real/dir/f"},
        {"link/f", "viaLink"},
        {"link/../x", "dotsAfterLink"},
        {"nowhere", "dangling"},
        {"loop2", "loop1"},
        {"loop1", "loop2"},
    };
    for (const auto &[target, name] : links) {
        link(target, name);
    }
    link(at("a"), "abs");
    struct Row {
        std::string input, expected;
        int error;
    } rows[] = {
        {at("b"), at("b"), kOk},
        {at("a"), at("b"), kOk},
        {at("c"), at("b"), kOk},
        {at("sub/l"), at("b"), kOk},
        {at("abs"), at("b"), kOk},
        {at("link/f"), at("real/x"), kOk},
        {at("viaLink"), at("real/x"), kOk},
        {at("dotsAfterLink"), at("real/x"), kOk},
        {"a", at("b"), kOk},
        {"b", "b", kOk},
        {at("dangling"), "", ENOENT},
        {at("loop1"), "", ELOOP},
    };
    for (const Row &row : rows) {
        Outcome got = resolve(row.input);
        EXPECT_EQ(got.error, row.error) << row.input;
        EXPECT_EQ(got.path, row.expected) << row.input;
        EXPECT_EQ(got.result, row.error == kOk ? static_cast<int>(row.expected.size()) : -1)
            << row.input;
    }
    EXPECT_EQ(QL_ResolveSymlink(nullptr, nullptr), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
}

}  // namespace
