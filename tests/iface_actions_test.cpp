// The infected-file actions at their public calls, for what qlscan's --delete, --rename and
// --quarantine runs cannot reach: the refusals qlscan's command line makes first, the numbered
// quarantine names, files and folders the process may not change, moves across file systems.
#include "common/iface_actions.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::readFile;
using ql::test::writeFile;

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool hasMoveLeftovers(const std::string &dir) {
    ql::UniqueDir d(opendir(dir.c_str()));
    while (dirent *entry = d ? readdir(d.get()) : nullptr) {
        if (std::string(entry->d_name).rfind(".ql-move.", 0) == 0) {
            return true;
        }
    }
    return false;
}

// Set or clear the immutable flag, which keeps even root from writing or changing path.
bool setImmutable(const std::string &path, bool on) {
    ql::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int flags = 0;
    if (!fd || ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) {
        return false;
    }
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    return ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0 &&
           (!on || access(path.c_str(), W_OK) != 0);
}

class IfaceActionsTest : public ::testing::Test {
  protected:
    ~IfaceActionsTest() override {
        ql::test::removeTree(dir_);
        if (!other_.empty()) {
            ql::test::removeTree(other_);
        }
    }

    std::string at(const std::string &name) const { return dir_ + "/" + name; }
    std::string file(const std::string &name, const std::string &text = "infected") const {
        writeFile(at(name), text);
        return at(name);
    }
    std::string directory(const std::string &name) const {
        EXPECT_EQ(mkdir(at(name).c_str(), 0755), 0) << name;
        return at(name);
    }
    // A directory on another file system than dir_, or "" when the machine has none.
    std::string otherFileSystemDir() {
        char pattern[] = "/dev/shm/iface_actions.XXXXXX";
        struct stat here, there;
        if (mkdtemp(pattern) == nullptr) {
            return {};
        }
        other_ = pattern;
        stat(dir_.c_str(), &here);
        stat(other_.c_str(), &there);
        return here.st_dev != there.st_dev ? other_ : std::string();
    }

    std::string dir_ = ql::test::makeTempDir("iface_actions.");
    std::string other_;
};

TEST_F(IfaceActionsTest, ApplyInfectedActionReturnsTheOutcomeOfEachAction) {
    struct Row {
        int action;
        const char *argument;  // "@q" stands for the quarantine directory
        int outcome, error;
        bool fileStays;
    } rows[] = {
        {QL_ACT_DELETE, nullptr, QL_EV_DELETED, 0, false},
        {QL_ACT_RENAME, "vir", QL_EV_RENAMED, 0, false},
        {QL_ACT_RENAME, "a/b", QL_EV_RENAME_FAILED, EINVAL, true},
        {QL_ACT_RENAME, nullptr, QL_EV_RENAME_FAILED, EINVAL, true},
        {QL_ACT_QUARANTINE, "@q", QL_EV_QUARANTINED, 0, false},
        {QL_ACT_QUARANTINE, "/nonexistent-quarantine", QL_EV_QUARANTINE_FAILED, ENOENT, true},
        {QL_ACT_QUARANTINE, nullptr, QL_EV_QUARANTINE_FAILED, EINVAL, true},
        {QL_ACT_NONE, nullptr, QL_ACT_NONE, 0, true},
        {QL_ACT_PROMPT, nullptr, QL_ACT_PROMPT, 0, true},
        {7, "vir", 7, 0, true},
    };
    std::string quarantine = directory("q");
    file("f.vir", "old");  // the rename replaces it
    for (const Row &row : rows) {
        std::string path = file("f");
        std::string argument = row.argument == nullptr ? "" : row.argument;
        const char *arg = row.argument == nullptr ? nullptr
                          : argument == "@q"      ? quarantine.c_str()
                                                  : argument.c_str();
        QL_SetError(0);
        EXPECT_EQ(QL_ApplyInfectedAction(path.c_str(), row.action, arg), row.outcome) << row.action;
        EXPECT_EQ(ql::lastErrorCode(), row.error) << row.action << " " << argument;
        EXPECT_EQ(exists(path), row.fileStays) << row.action << " " << argument;
    }
    EXPECT_EQ(readFile(at("f.vir")), "infected");
    EXPECT_TRUE(exists(quarantine + "/f"));
    EXPECT_EQ(QL_ApplyInfectedAction(at("missing").c_str(), QL_ACT_DELETE, nullptr),
              QL_EV_DELETE_FAILED);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(QL_MoveFile(at("missing").c_str(), at("target").c_str()), -1);
    EXPECT_EQ(ql::lastErrorCode(), ENOENT);
    EXPECT_EQ(QL_MoveFile(nullptr, at("target").c_str()), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
}

TEST_F(IfaceActionsTest, RenameRefusesANameThatWouldBeCut) {
    // Directories of 200 characters, then a file name that brings the path to 1019 or 1020
    // characters: with ".vir" the first just fits in 1023, the second does not.
    std::string deep = dir_;
    while (deep.size() + 201 < 1000) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    for (std::size_t length : {1019u, 1020u}) {
        std::string path = deep + "/" + std::string(length - deep.size() - 1, 'f');
        writeFile(path, "x");
        bool fits = length + 4 <= 1023;
        EXPECT_EQ(QL_RenameFile(path.c_str(), "vir"), fits ? 0 : -1) << length;
        EXPECT_EQ(exists(path), !fits) << length;
        if (!fits) {
            EXPECT_EQ(ql::lastErrorCode(), ENAMETOOLONG) << length;
        }
    }
}

TEST_F(IfaceActionsTest, QuarantineTakesTheFirstFreeNumberedNameAndFailsWhenAllAreTaken) {
    struct Row {
        int taken;             // -2: none, -1: name only, n: name and name-0 to name-n
        const char *expected;  // nullptr: every name is taken
    } rows[] = {{-2, "f"}, {-1, "f-0"}, {0, "f-1"}, {1022, "f-1023"}, {1023, nullptr}};
    for (const Row &row : rows) {
        std::string quarantine = directory("q" + std::to_string(row.taken + 2));
        if (row.taken >= -1) {
            writeFile(quarantine + "/f", "old");
        }
        for (int n = 0; n <= row.taken; ++n) {
            writeFile(quarantine + "/f-" + std::to_string(n), "old");
        }
        std::string path = file("f", "infected");
        int result = QL_QuarantineFile(path.c_str(), quarantine.c_str());
        EXPECT_EQ(exists(path), row.expected == nullptr) << row.taken;
        if (row.expected == nullptr) {
            EXPECT_EQ(result, -1);
            EXPECT_STREQ(QL_GetErrorText(), "Too many quarantine files of same name");
            EXPECT_FALSE(exists(quarantine + "/f-1024"));
            continue;
        }
        ASSERT_EQ(result, 0) << row.taken;
        EXPECT_EQ(readFile(quarantine + "/" + row.expected), "infected") << row.taken;
        EXPECT_EQ(readFile(quarantine + "/f"), row.taken >= -1 ? "old" : "infected") << row.taken;
    }
}

TEST_F(IfaceActionsTest, QuarantineRefusesAFileLinkedOrSharedDirectoryAndLeavesFilesOwnerOnly) {
    struct Row {
        const char *dir;
        mode_t mode;          // 0: a link to a directory; 1: a plain file
        const char *refusal;  // nullptr: the file is quarantined
    } rows[] = {
        {"own", 0755, nullptr},
        {"link", 0, "Quarantine directory is or lies behind a symbolic link"},
        {"group", 0770, "Quarantine directory is writable by others than its owner"},
        {"sticky", 01777, "Quarantine directory is writable by others than its owner"},
        {"plain", 1, "Invalid Quarantine directory"},
    };
    std::string real = directory("real");
    for (const Row &row : rows) {
        std::string quarantine = at(row.dir);
        if (row.mode == 0) {
            ASSERT_EQ(symlink(real.c_str(), quarantine.c_str()), 0);
        } else if (row.mode == 1) {
            file(row.dir, "");
        } else {
            directory(row.dir);
            ASSERT_EQ(chmod(quarantine.c_str(), row.mode), 0);
        }
        std::string path = file("f");
        ASSERT_EQ(chmod(path.c_str(), 0644), 0);
        int result = QL_QuarantineFile(path.c_str(), quarantine.c_str());
        EXPECT_EQ(exists(path), row.refusal != nullptr) << row.dir;
        if (row.refusal == nullptr) {
            EXPECT_EQ(result, 0) << row.dir;
            struct stat st {};
            EXPECT_EQ(stat((quarantine + "/f").c_str(), &st), 0) << row.dir;
            EXPECT_EQ(st.st_mode & 07777, 0600u) << row.dir;
        } else {
            EXPECT_EQ(result, -1) << row.dir;
            EXPECT_STREQ(QL_GetErrorText(), row.refusal) << row.dir;
        }
    }
    EXPECT_FALSE(exists(real + "/f"));
}

TEST_F(IfaceActionsTest, AFileTheProcessMayNotWriteIsLeftAlone) {
    std::string quarantine = directory("q");
    std::string path = file("f");
    ql::ScopeGuard unlock([&] { setImmutable(path, false); });
    if (!setImmutable(path, true)) {
        GTEST_SKIP() << "cannot make a file this process may not write";
    }
    EXPECT_EQ(QL_ApplyInfectedAction(path.c_str(), QL_ACT_DELETE, nullptr), QL_EV_DELETE_FAILED);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(QL_ApplyInfectedAction(path.c_str(), QL_ACT_QUARANTINE, quarantine.c_str()),
              QL_EV_QUARANTINE_FAILED);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(QL_ApplyInfectedAction(path.c_str(), QL_ACT_RENAME, "vir"), QL_EV_RENAME_FAILED);
    EXPECT_NE(ql::lastErrorCode(), 0);
    EXPECT_TRUE(exists(path));
    EXPECT_FALSE(exists(at("f.vir")));
    EXPECT_FALSE(exists(quarantine + "/f"));
}

TEST_F(IfaceActionsTest, NamesWithQuotesBlanksAndCommandsAreOnlyData) {
    const std::string name = "it's a \"$(touch pwned)\" `touch pwned` ; name";
    std::string quarantine = directory("q");
    std::string path = file(name);
    ASSERT_EQ(QL_RenameFile(path.c_str(), "v'$(x)"), 0);
    ASSERT_EQ(QL_QuarantineFile((path + ".v'$(x)").c_str(), quarantine.c_str()), 0);
    EXPECT_EQ(readFile(quarantine + "/" + name + ".v'$(x)"), "infected");
    std::string other = otherFileSystemDir();
    if (!other.empty()) {
        ASSERT_EQ(QL_MoveFile((quarantine + "/" + name + ".v'$(x)").c_str(),
                              (other + "/" + name).c_str()),
                  0);
        EXPECT_EQ(readFile(other + "/" + name), "infected");
    }
    EXPECT_FALSE(exists(at("pwned")));
    EXPECT_FALSE(exists("pwned"));
}

TEST_F(IfaceActionsTest, MoveAcrossFileSystemsCopiesModeAndContentThenRemovesTheSource) {
    std::string other = otherFileSystemDir();
    if (other.empty()) {
        GTEST_SKIP() << "no second file system (tmpfs at /dev/shm) on this machine";
    }
    std::string content(200000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 7);
    }
    std::string source = other + "/sample";
    writeFile(source, content);
    ASSERT_EQ(chmod(source.c_str(), 0640), 0);
    std::string quarantine = directory("q");
    writeFile(quarantine + "/sample", "old");

    ASSERT_EQ(QL_QuarantineFile(source.c_str(), quarantine.c_str()), 0);
    EXPECT_FALSE(exists(source));
    EXPECT_EQ(readFile(quarantine + "/sample"), "old");
    EXPECT_EQ(readFile(quarantine + "/sample-0"), content);
    struct stat st;
    ASSERT_EQ(stat((quarantine + "/sample-0").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);  // quarantined files are the owner's only
    EXPECT_FALSE(hasMoveLeftovers(quarantine));

    // Back again with QL_MoveFile, which replaces an existing target and keeps the mode.
    ASSERT_EQ(chmod((quarantine + "/sample-0").c_str(), 0640), 0);
    writeFile(other + "/back", "old");
    ASSERT_EQ(QL_MoveFile((quarantine + "/sample-0").c_str(), (other + "/back").c_str()), 0);
    EXPECT_EQ(readFile(other + "/back"), content);
    ASSERT_EQ(stat((other + "/back").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_FALSE(exists(quarantine + "/sample-0"));
    EXPECT_FALSE(hasMoveLeftovers(other));

    // A source that cannot be removed stays, and so does nothing of its copy.
    source = file("f", "infected");
    ql::ScopeGuard unlock([&] { setImmutable(dir_, false); });
    if (!setImmutable(dir_, true)) {
        GTEST_SKIP() << "cannot make a directory this process may not change";
    }
    EXPECT_EQ(QL_MoveFile(source.c_str(), (other + "/f").c_str()), -1);
    EXPECT_EQ(ql::lastErrorCode(), EPERM);
    EXPECT_EQ(readFile(source), "infected");
    EXPECT_FALSE(exists(other + "/f"));
    EXPECT_FALSE(hasMoveLeftovers(other));
}

}  // namespace
