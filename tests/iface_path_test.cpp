#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

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

TEST_F(IfacePathTest, AbsolutePathResolvesDotsAsText) {
    struct Row {
        const char *path, *base, *expected;
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
        {nullptr, "/t", "", EINVAL},
    };
    for (const Row &row : rows) {
        const char *tag = row.path != nullptr ? row.path : "(null)";
        Outcome got = absolute(row.path, row.base);
        EXPECT_EQ(got.error, row.error) << tag;
        EXPECT_EQ(got.path, row.expected) << tag;
        EXPECT_EQ(got.result, row.error == kOk ? static_cast<int>(got.path.size()) : -1) << tag;
    }
}

TEST_F(IfacePathTest, AbsolutePathIsCutAt1023Characters) {
    const std::string base = "/" + std::string(999, 'b');
    struct Row {
        std::string path, base, expected;
    } rows[] = {
        {"/" + std::string(1022, 'a'), "/t", "/" + std::string(1022, 'a')},
        {"/" + std::string(1023, 'a'), "/t", "/" + std::string(1022, 'a')},
        {std::string(22, 'c'), base, base + "/" + std::string(22, 'c')},
        {std::string(23, 'c'), base, base + "/" + std::string(22, 'c')},
        {"x", "/" + std::string(1100, 'b'), "/" + std::string(1022, 'b')},
    };
    for (const Row &row : rows) {
        Outcome got = absolute(row.path.c_str(), row.base.c_str());
        EXPECT_EQ(got.result, 1023) << row.path;
        EXPECT_EQ(got.path, row.expected) << row.path;
    }
}

TEST_F(IfacePathTest, AbsolutePathWithoutBaseUsesCurrentDirectory) {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(absolute("x", nullptr).path, std::string(cwd) + "/x");
}

TEST_F(IfacePathTest, SymlinkChainsEndAtTheirFinalTarget) {
    ql::test::writeFile(at("b"), "x");
    ASSERT_EQ(mkdir(at("sub").c_str(), 0700), 0);
    link("b", "a");
    link("a", "c");
    link("../c", "sub/l");
    link(at("a"), "abs");
    struct Row {
        std::string input, expected;
    } rows[] = {
        {at("b"), at("b")},     {at("a"), at("b")},   {at("c"), at("b")},
        {at("sub/l"), at("b")}, {at("abs"), at("b")},
    };
    for (const Row &row : rows) {
        Outcome got = resolve(row.input);
        EXPECT_EQ(got.path, row.expected) << row.input;
        EXPECT_EQ(got.result, static_cast<int>(row.expected.size())) << row.input;
    }
}

TEST_F(IfacePathTest, DanglingLinksAndLoopsFail) {
    link("nowhere", "dangling");
    link("y", "x");
    link("x", "y");
    EXPECT_EQ(resolve(at("dangling")).error, ENOENT);
    EXPECT_EQ(resolve(at("x")).error, ELOOP);
    EXPECT_EQ(QL_ResolveSymlink(nullptr, nullptr), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
}

// Each hop is taken in the real directory holding the link, as the kernel takes it: a ".." in
// a target below a linked directory climbs from that directory's real parent.
TEST_F(IfacePathTest, LinksBelowLinkedDirectoriesEndWhereTheKernelEnds) {
    ASSERT_EQ(mkdir(at("real").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(at("real/dir").c_str(), 0700), 0);
    ql::test::writeFile(at("real/x"), "target");
    ql::test::writeFile(at("x"), "decoy");
    link("real/dir", "link");
    link("../x", "real/dir/f");
    link("link/f", "viaLink");
    link("link/../x", "dotsAfterLink");
    struct Row {
        std::string input, expected;
    } rows[] = {
        {at("link/f"), at("real/x")},
        {at("viaLink"), at("real/x")},
        {at("dotsAfterLink"), at("real/x")},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(resolve(row.input).path, row.expected) << row.input;
    }
}

TEST_F(IfacePathTest, RelativeLinkPathResolvesAgainstCurrentDirectory) {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    ql::ScopeGuard back([&] { EXPECT_EQ(chdir(cwd), 0); });
    ql::test::writeFile(at("b"), "x");
    link("b", "a");
    char here[PATH_MAX];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    EXPECT_EQ(resolve("a").path, std::string(here) + "/b");
    EXPECT_EQ(resolve("b").path, "b");
}

}  // namespace
