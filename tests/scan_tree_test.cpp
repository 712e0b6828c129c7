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

TEST_F(ScanTreeTest, TreeKeepsReadingOrderWithChildrenBelowTheirParent) {
    dirs({"a", "b", "e", "a/c"});
    ql::test::writeFile(at("file"), "x");
    ql::test::writeFile(at("a/file"), "x");
    ASSERT_EQ(build(), 5);
    Paths expected{""};
    for (const std::string &top : readingOrder(dir_, "")) {
        expected.push_back(top);
        if (top == "/a") {
            expected.push_back("/a/c");
        }
    }
    EXPECT_EQ(preorder(), expected);
    const ScanTreeNode *c = root_->firstChild;
    while (std::string(c->dirPath) != at("a")) {
        c = c->nextSibling;
    }
    EXPECT_EQ(c->parent, root_);
    EXPECT_EQ(c->firstChild->parent, c);
    EXPECT_EQ(std::string(c->firstChild->dirPath), at("a/c"));
}

TEST_F(ScanTreeTest, DepthLimitKeepsThatManyLevelsBelowTheRoot) {
    dirs({"a", "b", "a/c", "a/c/d"});
    struct Row {
        int maxDepth;
        std::set<std::string> expected;
    } rows[] = {
        {1, {"", "/a", "/b"}},
        {2, {"", "/a", "/b", "/a/c"}},
        {3, {"", "/a", "/b", "/a/c", "/a/c/d"}},
        {0, {"", "/a", "/b", "/a/c", "/a/c/d"}},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(build(nullptr, row.maxDepth), static_cast<int>(row.expected.size()))
            << row.maxDepth;
        EXPECT_EQ(nodes(), row.expected) << row.maxDepth;
    }
}

TEST_F(ScanTreeTest, LinkBackToTheRootMakesNoLoopWithOrWithoutFollowing) {
    dirs({"a", "a/c"});
    link(dir_, "a/up");
    link("..", "a/c/parent");
    for (bool follow : {false, true}) {
        EXPECT_EQ(build(nullptr, 0, follow), 3) << follow;
        EXPECT_EQ(nodes(), (std::set<std::string>{"", "/a", "/a/c"})) << follow;
    }
}

TEST_F(ScanTreeTest, TwoLinksToOneDirectoryPutItInOnce) {
    std::string outside = ql::test::makeTempDir("scan_tree_outside.");
    ASSERT_EQ(mkdir((outside + "/t").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((outside + "/t/u").c_str(), 0755), 0);
    dirs({"real"});
    link(outside + "/t", "l1");
    link(outside + "/t", "l2");
    link("real", "l3");
    EXPECT_EQ(build(), 4);
    EXPECT_EQ(nodes(), (std::set<std::string>{"", "/real", outside + "/t", outside + "/t/u"}));
    EXPECT_EQ(build(nullptr, 0, false), 2);
    ql::test::removeTree(outside);
}

TEST_F(ScanTreeTest, ExcludedDirectoriesLeaveTheirSubtreesOut) {
    dirs({"a", "a/x", "b", "b/y", "c"});
    link(at("a"), "la");
    std::string list = at("a") + "::" + at("b/") + ":c";
    EXPECT_EQ(build(list.c_str()), 2);
    EXPECT_EQ(nodes(), (std::set<std::string>{"", "/c"}));

    struct Row {
        std::string path;
        const char *list;
        int expected;
    } rows[] = {
        {at("a"), list.c_str(), 1}, {at("la"), list.c_str(), 1},  {at("b/y/.."), list.c_str(), 1},
        {at("c"), list.c_str(), 0}, {at("a/x"), list.c_str(), 0}, {at("gone"), list.c_str(), 0},
        {at("a"), "", 0},           {at("a"), nullptr, 0},
    };
    for (const Row &row : rows) {
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

TEST_F(ScanTreeTest, ClearingReturnsTheNumberFreedAndEmptiesTheRoot) {
    dirs({"a", "b", "a/c"});
    ASSERT_EQ(build(), 4);
    EXPECT_EQ(QL_ClearScanTree(&root_), 4);
    EXPECT_EQ(root_, nullptr);
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
