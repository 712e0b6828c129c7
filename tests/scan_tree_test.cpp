#include "common/scan_tree.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "tests/support/temp_root.h"

namespace {

using Paths = std::vector<std::string>;

class ScanTreeTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = ql::test::makeTempDir("scan_tree."); }
    void TearDown() override {
        QL_ClearScanTree(&root_);
        ql::test::removeTree(dir_);
        if (!other_.empty()) {
            ql::test::removeTree(other_);
        }
    }

    std::string at(const std::string &name) const { return dir_ + "/" + name; }
    void dirs(std::initializer_list<const char *> names) const {
        for (const char *name : names) {
            ASSERT_EQ(mkdir(at(name).c_str(), 0755), 0) << name;
        }
    }
    void link(const std::string &target, const std::string &name) const {
        ASSERT_EQ(symlink(target.c_str(), at(name).c_str()), 0) << name;
    }

    int build(const char *exclude = nullptr, int maxDepth = 0, bool follow = true,
              bool cross = false) {
        QL_ClearScanTree(&root_);
        return QL_CreateScanTree(&root_, dir_.c_str(), exclude, maxDepth, follow, cross);
    }

    // The tree in pre-order (a node, then its children in order), relative to dir_.
    Paths preorder() const {
        Paths out;
        std::vector<const ScanTreeNode *> pending{root_};
        while (!pending.empty()) {
            const ScanTreeNode *node = pending.back();
            pending.pop_back();
            std::string path = node->dirPath;
            out.push_back(path.rfind(dir_, 0) == 0 ? path.substr(dir_.size()) : path);
            if (node->nextSibling != nullptr) {
                pending.push_back(node->nextSibling);
            }
            if (node->firstChild != nullptr) {
                pending.push_back(node->firstChild);
            }
        }
        return out;
    }
    std::set<std::string> nodes() const {
        Paths order = preorder();
        return {order.begin(), order.end()};
    }

    // A directory on another file system, or "" when the machine offers none.
    std::string otherFileSystemDir() {
        char pattern[] = "/dev/shm/scan_tree.XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return {};
        }
        other_ = pattern;
        struct stat here, there;
        stat(dir_.c_str(), &here);
        stat(other_.c_str(), &there);
        return here.st_dev != there.st_dev ? other_ : std::string();
    }

    std::string dir_;
    std::string other_;
    ScanTreeNode *root_ = nullptr;
};

// Subdirectory names of a directory in the order the directory gives them.
Paths readingOrder(const std::string &dir, const std::string &prefix) {
    Paths names;
    ql::UniqueDir d(opendir(dir.c_str()));
    while (const dirent *entry = d ? readdir(d.get()) : nullptr) {
        std::string name = entry->d_name;
        struct stat st;
        if (name != "." && name != ".." && lstat((dir + "/" + name).c_str(), &st) == 0 &&
            S_ISDIR(st.st_mode)) {
            names.push_back(prefix + "/" + name);
        }
    }
    return names;
}

// One tree for every way of building: links back to the root and to its parent, two links to one
// directory outside it, links to directories inside it, an exclusion list that names one of them.
TEST_F(ScanTreeTest, TreeHoldsEachDirectoryOnceWithinTheDepthAndOutsideTheExcludedOnes) {
    const std::string outside = ql::test::makeTempDir("scan_tree_outside.");
    ql::ScopeGuard removeOutside([&] { ql::test::removeTree(outside); });
    ASSERT_EQ(mkdir((outside + "/t").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((outside + "/t/u").c_str(), 0755), 0);
    dirs({"a", "a/c", "a/c/d", "b", "real"});
    ql::test::writeFile(at("file"), "x");
    ql::test::writeFile(at("a/file"), "x");
    link(dir_, "a/up");
    link("..", "a/c/parent");
    link(outside + "/t", "l1");
    link(outside + "/t", "l2");
    link("real", "l3");
    link(at("a"), "la");
    const std::string t = outside + "/t", u = outside + "/t/u";
    const std::string excluded =
        at("a") + "::" + at("b/") + ":real";  // a relative name is no entry
    struct Row {
        const char *exclude;
        int maxDepth;
        bool follow;
        std::set<std::string> expected;
    } rows[] = {
        {nullptr, 0, true, {"", "/a", "/a/c", "/a/c/d", "/b", "/real", t, u}},
        {nullptr, 0, false, {"", "/a", "/a/c", "/a/c/d", "/b", "/real"}},
        {nullptr, 1, true, {"", "/a", "/b", "/real", t}},
        {nullptr, 2, true, {"", "/a", "/a/c", "/b", "/real", t, u}},
        {nullptr, 3, true, {"", "/a", "/a/c", "/a/c/d", "/b", "/real", t, u}},
        {excluded.c_str(), 0, true, {"", "/real", t, u}},
    };
    for (const Row &row : rows) {
        int built = build(row.exclude, row.maxDepth, row.follow);
        EXPECT_EQ(nodes(), row.expected) << row.maxDepth << " " << row.follow;
        EXPECT_EQ(built, static_cast<int>(row.expected.size()))
            << row.maxDepth << " " << row.follow;
        EXPECT_EQ(QL_ClearScanTree(&root_), built);
        EXPECT_EQ(root_, nullptr);
    }

    // Pre-order is the order the directory gives, each node below its parent.
    ASSERT_EQ(build(nullptr, 0, false), 6);
    Paths expected{""};
    for (const std::string &top : readingOrder(dir_, "")) {
        expected.push_back(top);
        if (top == "/a") {
            expected.insert(expected.end(), {"/a/c", "/a/c/d"});
        }
    }
    EXPECT_EQ(preorder(), expected);
    const ScanTreeNode *a = root_->firstChild;
    while (std::string(a->dirPath) != at("a")) {
        a = a->nextSibling;
    }
    EXPECT_EQ(a->parent, root_);
    EXPECT_EQ(a->firstChild->parent, a);
    EXPECT_EQ(std::string(a->firstChild->dirPath), at("a/c"));

    const struct {
        std::string path;
        const char *list;
        int expected;
    } exclusions[] = {
        {at("a"), excluded.c_str(), 1},
        {at("la"), excluded.c_str(), 1},
        {at("a/c/.."), excluded.c_str(), 1},
        {at("b"), excluded.c_str(), 1},
        {at("real"), excluded.c_str(), 0},
        {at("a/c"), excluded.c_str(), 0},
        {at("gone"), excluded.c_str(), 0},
        {at("a"), "", 0},
        {at("a"), nullptr, 0},
    };
    for (const auto &row : exclusions) {
        EXPECT_EQ(QL_isInExcludeDir(row.path.c_str(), row.list), row.expected) << row.path;
    }
}

TEST_F(ScanTreeTest, OtherFileSystemsNeedCrossDevices) {
    std::string other = otherFileSystemDir();
    if (other.empty()) {
        GTEST_SKIP() << "no second file system (tmpfs at /dev/shm) on this machine";
    }
    link(other, "elsewhere");
    EXPECT_EQ(build(nullptr, 0, true, false), 1);
    EXPECT_EQ(build(nullptr, 0, true, true), 2);
    EXPECT_EQ(nodes(), (std::set<std::string>{"", other}));
}

// Two fresh tmpfs mounts number their inodes alike, so their first directories share an inode
// number on different devices. Runs in a child with its own mount namespace; exit code 77
// means the situation could not be made, other codes name the failed checks as bits.
int differentDevicesChild(const std::string &dir) {
    std::string m1 = dir + "/m1", m2 = dir + "/m2";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mkdir(m1.c_str(), 0755) || mkdir(m2.c_str(), 0755) ||
        mount("scan_tree", m1.c_str(), "tmpfs", 0, nullptr) ||
        mount("scan_tree", m2.c_str(), "tmpfs", 0, nullptr) || mkdir((m1 + "/x").c_str(), 0755) ||
        mkdir((m2 + "/y").c_str(), 0755) || mkdir((dir + "/t").c_str(), 0755) ||
        symlink((m1 + "/x").c_str(), (dir + "/t/one").c_str()) ||
        symlink((m2 + "/y").c_str(), (dir + "/t/two").c_str())) {
        return 77;
    }
    struct stat x, y;
    if (stat((m1 + "/x").c_str(), &x) || stat((m2 + "/y").c_str(), &y) || x.st_ino != y.st_ino) {
        return 77;
    }
    int failed = 0;
    failed |= QL_isInExcludeDir((m1 + "/x").c_str(), (m2 + "/y").c_str()) != 0 ? 1 : 0;
    failed |= QL_isInExcludeDir((m1 + "/x").c_str(), (m1 + "/x").c_str()) != 1 ? 2 : 0;
    ScanTreeNode *root = nullptr;
    failed |= QL_CreateScanTree(&root, (dir + "/t").c_str(), nullptr, 0, 1, 1) != 3 ? 4 : 0;
    failed |= QL_isInScanTree(root, (m2 + "/y").c_str()) != 1 ? 8 : 0;
    failed |= QL_isInScanTree(root, m1.c_str()) != 0 ? 16 : 0;
    QL_ClearScanTree(&root);
    return failed;
}

TEST_F(ScanTreeTest, DirectoriesOnDifferentFileSystemsAreNeverTakenForOne) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(differentDevicesChild(dir_));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "cannot mount two tmpfs instances in a private mount namespace";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks (bits)";
}

TEST_F(ScanTreeTest, AFileAsRootGivesTheRootAloneAndBadArgumentsFail) {
    ql::test::writeFile(at("f"), "x");
    ASSERT_EQ(QL_CreateScanTree(&root_, at("f").c_str(), nullptr, 0, 1, 0), 1);
    EXPECT_EQ(std::string(root_->dirPath), at("f"));
    EXPECT_EQ(root_->firstChild, nullptr);
    EXPECT_EQ(ql::lastErrorCode(), ENOTDIR);

    ScanTreeNode *other = nullptr;
    struct Row {
        ScanTreeNode **root;
        const char *path;
        int maxDepth;
    } rows[] = {{&other, "/nonexistent-scan-root", 0},
                {&other, nullptr, 0},
                {nullptr, dir_.c_str(), 0},
                {&other, dir_.c_str(), -1}};
    for (const Row &row : rows) {
        EXPECT_EQ(QL_CreateScanTree(row.root, row.path, nullptr, row.maxDepth, 1, 0), -1)
            << (row.path ? row.path : "NULL") << " " << row.maxDepth;
        EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    }
    EXPECT_EQ(other, nullptr);
}

TEST_F(ScanTreeTest, SearchCoversTheNodeItsLaterSiblingsAndWhatLiesBelowThem) {
    dirs({"a", "b", "b/c"});
    ScanTreeNode *top = QL_addScanDirChild(nullptr, dir_.c_str());
    ScanTreeNode *a = QL_addScanDirChild(top, at("a").c_str());
    ScanTreeNode *b = QL_addScanDirChild(top, at("b").c_str());
    ScanTreeNode *c = QL_addScanDirChild(b, at("b/c").c_str());
    root_ = top;
    EXPECT_EQ(top->firstChild, a);
    EXPECT_EQ(a->nextSibling, b);
    EXPECT_EQ(c->parent, b);
    EXPECT_EQ(QL_SearchDirList(a, at("b/c").c_str()), 1);
    EXPECT_EQ(QL_SearchDirList(b, at("a").c_str()), 0);
    EXPECT_EQ(QL_SearchDirList(b, dir_.c_str()), 0);
    EXPECT_EQ(QL_isInScanTree(c, at("a/").c_str()), 1);
    EXPECT_EQ(QL_isInScanTree(c, at("missing").c_str()), 0);
    EXPECT_EQ(QL_SearchDirList(nullptr, dir_.c_str()), 0);
    EXPECT_EQ(QL_SearchDirList(a, nullptr), 0);
}

TEST_F(ScanTreeTest, ClearingAnEmptyRootFreesNothingAndADeepChainFreesWithoutTheStack) {
    EXPECT_EQ(QL_ClearScanTree(&root_), 0);
    EXPECT_EQ(QL_ClearScanTree(nullptr), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(QL_ClearScanSubTree(nullptr), 0);

    // A chain far deeper than any directory tree frees without using the stack.
    ScanTreeNode *top = QL_addScanDirChild(nullptr, "/");
    ScanTreeNode *deepest = top;
    for (int i = 0; i < 100000; ++i) {
        deepest = QL_addScanDirChild(deepest, "/x");
        ASSERT_NE(deepest, nullptr);
    }
    QL_addScanDirChild(top, "/sibling");
    EXPECT_EQ(QL_ClearScanSubTree(top), 100002);
}

}  // namespace
