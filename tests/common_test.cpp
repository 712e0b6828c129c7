// The shared layer at its calls: error texts, the logger and bounded copies; the engine
// configuration reader; paths; the infected-file actions, for what qlscan's --delete, --rename and
// --quarantine runs cannot reach (the refusals qlscan's command line makes first, numbered
// quarantine names, files the process may not change, moves across file systems); the scan tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "common/iface_actions.h"
#include "common/iface_conf.h"
#include "common/iface_utils.h"
#include "common/scan_tree.h"
#include "common/unique_fd.h"
#include "ql/qlscan.h"
#include "tests/support/programs.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::readFile;
using ql::test::writeFile;

// A call's result with the error it names, as "<result> errno <code>".
std::string outcome(int result, int error) {
    return std::to_string(result) + " errno " + std::to_string(error);
}
std::string failed(int error) {
    return outcome(-1, error);
}
// The result of a call just made, with the last error it left.
std::string outcomeOf(int result) {
    return outcome(result, ql::lastErrorCode());
}

TEST(IfaceUtilsTest, ErrorTextsFollowTheCodeTableAndFreeTextIsCutTo63Characters) {
    const std::pair<int, std::string> rows[] = {
        {899, strerror(899)},         {900, "Scan Success"},
        {901, "Unknown system type"}, {906, "Connecting AV Engine failed"},
        {907, "File size is zero"},   {908, strerror(908)},
        {22, strerror(22)},
    };
    for (const auto &[code, text] : rows) {
        EXPECT_EQ(QL_SetError(code), -1);
        EXPECT_EQ(QL_GetErrorText(), text) << code;
    }
    std::string longText(100, 'x');
    EXPECT_EQ(QL_SetErrorText(longText.c_str()), -1);
    EXPECT_EQ(std::string(QL_GetErrorText()), longText.substr(0, 63));
    QL_SetErrorText(nullptr);
    EXPECT_STREQ(QL_GetErrorText(), "Unknown error");
    QL_SetError(901);
    QL_SetError(910);
    EXPECT_STREQ(QL_GetErrorText(), "Unknown error") << "910 keeps the last free text";
}

TEST(IfaceUtilsTest, LastErrorBelongsToEachThread) {
    QL_SetErrorText("main failed");
    std::string seen;
    std::thread([&seen] {
        QL_SetError(QLE_ZERO_SIZE);
        seen = QL_GetErrorText();
    }).join();
    EXPECT_EQ(seen, "File size is zero");
    EXPECT_STREQ(QL_GetErrorText(), "main failed");
}

TEST(IfaceUtilsTest, InitialisersResetRecordsAndLastError) {
    DescriptorObject descriptor{const_cast<char *>("name"), 7, 99};
    ScanReport report{};
    report.infections = 3;
    report.events.userData = &report;
    ExtraData extra{};
    extra.maxDepth = 9;
    QL_SetError(22);
    QL_InitDescriptorObject(&descriptor);
    EXPECT_STREQ(QL_GetErrorText(), strerror(0));
    QL_ResetScanCounters(&report);
    QL_InitExtraData(&extra);
    EXPECT_EQ(descriptor.fd, -1);
    EXPECT_EQ(report.infections, 0U);
    EXPECT_EQ(report.events.userData, &report) << "counters only";
    EXPECT_EQ(extra.maxDepth, 0);
    QL_InitQuickRequest(nullptr);  // NULL records are ignored
}

TEST(IfaceUtilsTest, LoggerWritesBelowItsLevelOrHandsAllToItsCallback) {
    ql::test::TempRoot root;
    std::string path = root.path("/log");
    QLLogger *logger = QL_CreateLogger(2, path.c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_GT(QL_Log(logger, 1, "found %s\n", "x"), 0);
    EXPECT_EQ(QL_Log(logger, 2, "dropped\n"), 0);
    EXPECT_EQ(QL_Log(logger, 3, "dropped\n"), 0);
    static int seenLevel = -1;
    QL_SetLogCallback(logger, [](int level, const char *, va_list) { seenLevel = level; });
    EXPECT_EQ(QL_Log(logger, 0, "to the callback\n"), 0);
    EXPECT_EQ(seenLevel, 0);
    EXPECT_EQ(QL_DestroyLogger(logger), 0);
    EXPECT_EQ(ql::test::readFile(path), "found x\n");
    EXPECT_EQ(QL_Log(nullptr, 1, "x"), -1);
    EXPECT_EQ(QL_DestroyLogger(nullptr), -1);

    QL_SetError(22);
    EXPECT_EQ(QL_CreateLogger(3, ""), nullptr);
    EXPECT_STREQ(QL_GetErrorText(), strerror(22)) << "empty path leaves the last error";
    EXPECT_EQ(QL_CreateLogger(3, "relative/log"), nullptr);
    EXPECT_STREQ(QL_GetErrorText(), "Absolute path required");
}

TEST(IfaceUtilsTest, BoundedCopiesAlwaysTerminateAndReportCuts) {
    char small[4];
    EXPECT_TRUE(ql::copyBounded(small, "abc"));
    EXPECT_STREQ(small, "abc");
    EXPECT_FALSE(ql::copyBounded(small, "abcd"));
    EXPECT_STREQ(small, "abc");
    EXPECT_FALSE(ql::formatBounded(small, sizeof small, "%d", 12345));
    EXPECT_STREQ(small, "123");
}

TEST(IfaceUtilsTest, RootedPathPrefixesAbsoluteRootsOnly) {
    // The root ("-": QL_ROOT unset), then the path or how it was refused.
    const std::pair<std::string, std::string> rows[] = {
        {"-", "/opt/Quellar/etc/qorn-ver"},
        {"/tmp/r/", "/tmp/r/opt/Quellar/etc/qorn-ver"},
        {"", "/opt/Quellar/etc/qorn-ver"},
        {"relative", failed(EINVAL)},
        {"/" + std::string(1020, 'r'), failed(EINVAL)},  // too long for the buffer
    };
    for (const auto &[root, rooted] : rows) {
        root != "-" ? setenv("QL_ROOT", root.c_str(), 1) : unsetenv("QL_ROOT");
        char out[QL_PATH_MAX];
        QL_SetError(0);
        int length = ql::rootedPath("/opt/Quellar/etc/qorn-ver", out);
        EXPECT_EQ(length < 0 ? outcomeOf(length) : out, rooted) << root;
        EXPECT_EQ(length, length < 0 ? -1 : static_cast<int>(strlen(out))) << root;
    }
    unsetenv("QL_ROOT");
}

// A fresh folder, by its real name, for each case; one on another file system on demand.
class TempDirTest : public ::testing::Test {
  protected:
    TempDirTest() : dir_(std::filesystem::canonical(ql::test::makeTempDir("common."))) {}
    ~TempDirTest() override {
        ql::test::removeTree(dir_);
        ql::test::removeTree(other_);  // nothing when there is none
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
    void dirs(std::initializer_list<const char *> names) const {
        for (const char *name : names) {
            directory(name);
        }
    }
    void link(const std::string &target, const std::string &name) const {
        ASSERT_EQ(symlink(target.c_str(), at(name).c_str()), 0) << name;
    }
    // A directory on another file system than dir_, or "" when the machine has none.
    std::string otherFileSystemDir() {
        char pattern[] = "/dev/shm/ql_common.XXXXXX";
        struct stat here, there;
        if (mkdtemp(pattern) == nullptr) {
            return {};
        }
        other_ = pattern;
        stat(dir_.c_str(), &here);
        stat(other_.c_str(), &there);
        return here.st_dev != there.st_dev ? other_ : std::string();
    }

    std::string dir_;
    std::string other_;
};

class IfaceConfTest : public TempDirTest {
  protected:
    std::string write(const std::string &text) const { return file("qorn.conf", text); }
    std::vector<std::string> lines(const std::string &text) const {
        ql::UniqueFd fd(::open(write(text).c_str(), O_RDONLY));
        std::vector<std::string> out;
        char line[QL_PATH_MAX];
        while (QL_getConfFileLine(fd.get(), line) == 0) {
            out.emplace_back(line);
        }
        return out;
    }

    // The block a reader fills: its first value, then its second at QL_VALUE_MAX.
    char conf_[QL_CONF_BLOCK_SIZE] = "unchanged";
};

TEST_F(IfaceConfTest, TrimAndCommentFilterWorkInPlace) {
    std::string text = " \t a b \r\n";
    EXPECT_EQ(QL_Trim(text.data()), text.data());
    EXPECT_EQ(text.c_str(), std::string("a b"));
    std::string blanks = " \v\f ";
    EXPECT_STREQ(QL_TrimLeft(blanks.data()), "");
    EXPECT_EQ(QL_TrimRight(nullptr), nullptr);
    std::string comment = "ab#c#d";
    EXPECT_EQ(QL_filterComment(comment.data()), 3);
    EXPECT_EQ(comment.c_str(), std::string("ab"));
    EXPECT_EQ(QL_filterComment(text.data()), 0);
    EXPECT_EQ(outcomeOf(QL_filterComment(nullptr)), failed(EINVAL));
}

TEST_F(IfaceConfTest, GetOptionParsesHeadersOptionsAndOtherLines) {
    const std::string longText(300, 'k');
    struct Row {
        std::string input;
        int kind;
        std::string key, value;
    } rows[] = {
        {"[path]", 1, "path", ""},
        {" [ Path ] # c", 1, "Path", ""},
        {"[]", 1, "", ""},
        {"LocalSocketPath = /var/run/x.sock # comment", 2, "LocalSocketPath", "/var/run/x.sock"},
        {"k=", 2, "k", ""},
        {"=v", 2, "", "v"},
        {"a = b = c", 2, "a", "b = c"},
        {longText + "=" + longText, 2, longText.substr(0, 255), longText.substr(0, 255)},
        {"k=" + std::string(250, ' ') + "v" + std::string(10, 'w'), 2, "k", "vwwww"},
        {"", -1, "", ""},
        {"[open", -1, "", ""},
        {"x#=y", -1, "", ""},  // no '=' before the comment
    };
    for (const Row &row : rows) {
        char key[QL_VALUE_MAX] = "old";
        char value[QL_VALUE_MAX] = "old";
        EXPECT_EQ(QL_getOption(row.input.c_str(), key, value), row.kind) << row.input;
        EXPECT_EQ(key, row.key) << row.input;
        EXPECT_EQ(value, row.value) << row.input;
    }
}

TEST_F(IfaceConfTest, LinesEndAtNewlineCarriageReturnAndFF) {
    std::string text =
        "a\r\nb\xff" + std::string(1100, 'x') + "\n" + std::string(1022, 'y') + "\nlast";
    std::vector<std::string> expected = {
        "a\r", "\n", "b", std::string(1023, 'x'), std::string(1022, 'y') + "\n", "last"};
    EXPECT_EQ(lines(text), expected);
    EXPECT_TRUE(lines("").empty());
    char line[QL_PATH_MAX];
    EXPECT_EQ(outcomeOf(QL_getConfFileLine(-1, line)), failed(EINVAL));
}

// KAV gives its socket and pid file, BD its plug-ins folder (below BasesPath) and temporary folder.
TEST_F(IfaceConfTest, EngineConfsTakeTheirKeysFromSectionPathOnward) {
    const auto kav = QL_getKAVScannerConf, bd = QL_getBDScannerConf;
    const std::string bases250 = "/" + std::string(249, 'b');
    struct Row {
        decltype(kav) reader;
        std::string input, first, second;
    } rows[] = {
        {kav, "[path]\nLocalSocketPath = /var/run/x.sock # comment\nAVSpidPATH=/var/run/x.pid\n",
         "/var/run/x.sock", "/var/run/x.pid"},
        {kav, "[path]\r\nLocalSocketPath=/s\r\nAVSpidPATH=/p\r\n", "/s", "/p"},
        {kav, "LocalSocketPath=/s\nAVSpidPATH=/p\n[path]\n", "", ""},
        {kav, "[path]\n[other]\nLocalSocketPath=/s\nAVSpidPATH=/p", "/s", "/p"},
        {kav, "[ Path ]\nlocalsocketpath=/s\n", "/s", ""},
        {kav, "[path]\nLocalSocketPath=/a\nLocalSocketPath=/b\nAVSpidPATH=/p\nAVSpidPATH=/q\n",
         "/b", "/p"},
        {kav, "[paths]\nLocalSocketPath=/s\n", "", ""},
        {bd, "[path]\nBasesPath=/opt/x/bases\nTempPath=/var/tmp\n", "/opt/x/bases/Plugins",
         "/var/tmp"},
        {bd, "[path]\nBasesPath=" + bases250 + "\n", bases250 + "/Plug", ""},
        {bd, "[path]\nTempPath=/t", "", "/t"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(row.reader(write(row.input).c_str(), conf_), 0) << row.input;
        EXPECT_EQ(std::string(conf_), row.first) << row.input;
        EXPECT_EQ(std::string(conf_ + QL_VALUE_MAX), row.second) << row.input;
    }
}

TEST_F(IfaceConfTest, UnreadableFileFailsWithOpenErrorAndLeavesBlock) {
    std::string missing = dir_ + "/missing.conf";
    EXPECT_EQ(outcomeOf(QL_getKAVScannerConf(missing.c_str(), conf_)), failed(ENOENT));
    EXPECT_EQ(outcomeOf(QL_getBDScannerConf(missing.c_str(), conf_)), failed(ENOENT));
    EXPECT_STREQ(conf_, "unchanged");
    EXPECT_EQ(outcomeOf(QL_getKAVScannerConf(nullptr, conf_)), failed(EINVAL));
    EXPECT_EQ(outcomeOf(QL_getBDScannerConf(missing.c_str(), nullptr)), failed(EINVAL));
}

// What a resolver gives: the path, its length checked against the result, or how it failed. It
// runs into a separate buffer and in place on a copy of the input; both must agree.
template <typename Resolver>
std::string inBothWays(const char *path, Resolver resolver) {
    char out[QL_PATH_MAX];
    int result = resolver(path, out);
    std::string outcome = result < 0 ? failed(ql::lastErrorCode()) : out;
    EXPECT_EQ(result, result < 0 ? -1 : static_cast<int>(outcome.size())) << outcome;
    if (path != nullptr) {
        char same[QL_PATH_MAX];
        ql::copyBounded(same, path);
        EXPECT_EQ(resolver(same, same), result) << path;
        EXPECT_EQ(result < 0 ? outcome : same, outcome) << path;
    }
    return outcome;
}

std::string absolute(const char *path, const char *base) {
    return inBothWays(
        path, [base](const char *in, char *out) { return QL_GetAbsolutePath(in, base, out); });
}

std::string resolve(const std::string &path) {
    return inBothWays(path.c_str(), QL_ResolveSymlink);
}

class IfacePathTest : public TempDirTest {};

TEST_F(IfacePathTest, AbsolutePathResolvesDotsAsTextAndIsCutAt1023Characters) {
    const std::string base999 = "/" + std::string(999, 'b');
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"/etc/./x", "/tmp", "/etc/./x"},
        {"x", "/tmp", "/tmp/x"},
        {"./x", "/tmp", "/tmp/x"},
        {"a//b", "/tmp", "/tmp/a/b"},
        {"a/./b/", "/tmp", "/tmp/a/b"},
        {"a/../b", "/tmp", "/tmp/b"},
        {"../x", "/a", "/x"},
        {"../", "/a", "/"},
        {"a/b/../../..", "/t", "/"},
        {"a/..x", "/t", "/t/a/..x"},
        {"..", "/t", "/t/.."},
        {"x/.", "/t", "/t/x/."},
        {"x", "/", "//x"},
        {"x", "/tmp/", "/tmp//x"},
        {" \t x", "/tmp", "/tmp/x"},
        {"  /abs", "/tmp", "/abs"},
        {"../../x", "/a", failed(QLE_ABSOLUTE_PATH)},
        {"../x", "/", failed(QLE_ABSOLUTE_PATH)},
        {"a/b/../../../..", "/t", failed(QLE_ABSOLUTE_PATH)},
        {"/abs", "relative", failed(EINVAL)},
        {"/" + std::string(1022, 'a'), "/t", "/" + std::string(1022, 'a')},
        {"/" + std::string(1023, 'a'), "/t", "/" + std::string(1022, 'a')},
        {std::string(22, 'c'), base999, base999 + "/" + std::string(22, 'c')},
        {std::string(23, 'c'), base999, base999 + "/" + std::string(22, 'c')},
        {"x", "/" + std::string(1100, 'b'), "/" + std::string(1022, 'b')},
    };
    for (const auto &[path, base, expected] : rows) {
        EXPECT_EQ(absolute(path.c_str(), base.c_str()), expected) << path;
    }
    EXPECT_EQ(absolute(nullptr, "/t"), failed(EINVAL));
    EXPECT_EQ(absolute("x", nullptr), std::filesystem::current_path().string() + "/x")
        << "no base: the current folder";
}

// Each hop is taken in the real directory holding the link, as the kernel takes it: a ".." in
// a target below a linked directory climbs from that directory's real parent. A relative path
// starts in the current directory.
TEST_F(IfacePathTest, LinksResolveToWhereTheKernelEnds) {
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    ql::ScopeGuard back([&] { std::filesystem::current_path(cwd); });
    file("b", "x");
    dirs({"sub", "real", "real/dir"});
    file("real/x", "target");
    file("x", "decoy");
    // Each link (name, target) with where it resolves to, then paths through them.
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"a", "b", at("b")},
        {"c", "a", at("b")},
        {"sub/l", "../c", at("b")},
        {"abs", at("a"), at("b")},
        {"link", "real/dir", at("real/dir")},
        {"real/dir/f", "../x", at("real/x")},
        {"viaLink", "link/f", at("real/x")},
        {"dotsAfterLink", "link/../x", at("real/x")},
        {"dangling", "nowhere", failed(ENOENT)},
        {"loop1", "loop2", failed(ELOOP)},
        {"loop2", "loop1", failed(ELOOP)},
        {at("link/f"), "", at("real/x")},
        {"a", "", at("b")},
        {"b", "", "b"},
    };
    for (const auto &[input, target, expected] : rows) {
        if (!target.empty()) {
            link(target, input);
        }
    }
    for (const auto &[input, target, expected] : rows) {
        EXPECT_EQ(resolve(target.empty() ? input : at(input)), expected) << input;
    }
    EXPECT_EQ(outcomeOf(QL_ResolveSymlink(nullptr, nullptr)), failed(EINVAL));
}

bool exists(const std::string &path) {
    return std::filesystem::symlink_status(path).type() != std::filesystem::file_type::not_found;
}

// The permission bits of path (0xffff when it cannot be read).
unsigned modeOf(const std::string &path) {
    std::error_code ec;
    return static_cast<unsigned>(std::filesystem::status(path, ec).permissions());
}

bool hasMoveLeftovers(const std::string &dir) {
    return std::ranges::any_of(std::filesystem::directory_iterator(dir), [](const auto &entry) {
        return entry.path().filename().string().rfind(".ql-move.", 0) == 0;
    });
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

class IfaceActionsTest : public TempDirTest {};

// A locked file (immutable: not even root may change it) stays as it is under every action; the
// locked rows come first, so that nothing of them may take the names the others then use.
TEST_F(IfaceActionsTest, ApplyInfectedActionReturnsTheOutcomeOfEachAction) {
    const std::string quarantine = directory("q");
    struct Row {
        int action;
        const char *argument;
        int outcome, error;
        bool fileStays, locked = false;
    } rows[] = {
        {QL_ACT_DELETE, nullptr, QL_EV_DELETE_FAILED, EINVAL, true, true},
        {QL_ACT_QUARANTINE, quarantine.c_str(), QL_EV_QUARANTINE_FAILED, EINVAL, true, true},
        {QL_ACT_RENAME, "vir", QL_EV_RENAME_FAILED, EPERM, true, true},
        {QL_ACT_DELETE, nullptr, QL_EV_DELETED, 0, false},
        {QL_ACT_RENAME, "vir", QL_EV_RENAMED, 0, false},
        {QL_ACT_RENAME, "a/b", QL_EV_RENAME_FAILED, EINVAL, true},
        {QL_ACT_RENAME, nullptr, QL_EV_RENAME_FAILED, EINVAL, true},
        {QL_ACT_QUARANTINE, quarantine.c_str(), QL_EV_QUARANTINED, 0, false},
        {QL_ACT_QUARANTINE, "/nonexistent-quarantine", QL_EV_QUARANTINE_FAILED, ENOENT, true},
        {QL_ACT_QUARANTINE, nullptr, QL_EV_QUARANTINE_FAILED, EINVAL, true},
        {QL_ACT_PROMPT, "vir", QL_ACT_PROMPT, 0, true},  // no action of its own
    };
    file("f.vir", "old");  // the rename replaces it
    bool lockable = true;
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.action << " " << (row.argument ? row.argument : "-")
                                        << (row.locked ? " locked" : ""));
        std::string path = file("f");
        ql::ScopeGuard unlock([&] { setImmutable(path, false); });
        if (row.locked && !(lockable = setImmutable(path, true))) {
            continue;
        }
        QL_SetError(0);
        EXPECT_EQ(outcomeOf(QL_ApplyInfectedAction(path.c_str(), row.action, row.argument)),
                  outcome(row.outcome, row.error));
        EXPECT_EQ(exists(path), row.fileStays);
    }
    EXPECT_EQ(readFile(at("f.vir")), "infected");
    EXPECT_TRUE(exists(quarantine + "/f"));
    EXPECT_FALSE(exists(quarantine + "/f-0"));
    EXPECT_EQ(outcomeOf(QL_ApplyInfectedAction(at("missing").c_str(), QL_ACT_DELETE, nullptr)),
              outcome(QL_EV_DELETE_FAILED, EINVAL));
    EXPECT_EQ(outcomeOf(QL_MoveFile(at("missing").c_str(), at("target").c_str())), failed(ENOENT));
    EXPECT_EQ(outcomeOf(QL_MoveFile(nullptr, at("target").c_str())), failed(EINVAL));
    if (!lockable) {
        GTEST_SKIP() << "cannot make a file this process may not change: locked rows left out";
    }
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
        QL_SetError(0);
        EXPECT_EQ(outcomeOf(QL_RenameFile(path.c_str(), "vir")),
                  fits ? outcome(0, 0) : failed(ENAMETOOLONG));
        EXPECT_EQ(exists(path), !fits) << length;
    }
}

TEST_F(IfaceActionsTest, QuarantineTakesTheFirstFreeNumberedNameAndFailsWhenAllAreTaken) {
    // Names taken (-2: none, -1: name only, n: name and name-0 to name-n), then the name the file
    // gets (nullptr: every name is taken).
    const std::pair<int, const char *> rows[] = {
        {-2, "f"}, {-1, "f-0"}, {0, "f-1"}, {1022, "f-1023"}, {1023, nullptr}};
    for (const auto &[taken, expected] : rows) {
        std::string quarantine = directory("q" + std::to_string(taken + 2));
        if (taken >= -1) {
            writeFile(quarantine + "/f", "old");
        }
        for (int n = 0; n <= taken; ++n) {
            writeFile(quarantine + "/f-" + std::to_string(n), "old");
        }
        std::string path = file("f", "infected");
        int result = QL_QuarantineFile(path.c_str(), quarantine.c_str());
        EXPECT_EQ(result, expected ? 0 : -1) << taken;
        if (expected == nullptr) {
            EXPECT_STREQ(QL_GetErrorText(), "Too many quarantine files of same name");
        } else {
            EXPECT_EQ(readFile(quarantine + "/" + expected), "infected") << taken;
        }
        EXPECT_EQ(exists(path), expected == nullptr) << taken;
        EXPECT_EQ(readFile(quarantine + "/f"), taken >= -1 ? "old" : "infected") << taken;
        EXPECT_FALSE(exists(quarantine + "/f-1024"));
    }
}

TEST_F(IfaceActionsTest, QuarantineRefusesALinkedOrSharedDirectoryAndLeavesFilesOwnerOnly) {
    std::string real = directory("real");
    directory("own");
    ASSERT_EQ(chmod(directory("group").c_str(), 0770), 0);
    link(real, "link");
    file("plain", "");
    // The directory, then its refusal ("": the file is quarantined).
    const std::pair<const char *, std::string> rows[] = {
        {"own", ""},
        {"link", "Quarantine directory is or lies behind a symbolic link"},
        {"group", "Quarantine directory is writable by others than its owner"},
        {"plain", "Invalid Quarantine directory"},
    };
    for (const auto &[dir, refusal] : rows) {
        std::string path = file("f");
        ASSERT_EQ(chmod(path.c_str(), 0644), 0);
        int result = QL_QuarantineFile(path.c_str(), at(dir).c_str());
        EXPECT_EQ(result, refusal.empty() ? 0 : -1) << dir;
        EXPECT_EQ(result == 0 ? "" : QL_GetErrorText(), refusal) << dir;
        EXPECT_EQ(exists(path), !refusal.empty()) << dir;
    }
    EXPECT_EQ(modeOf(at("own/f")), 0600U);
    EXPECT_FALSE(exists(real + "/f"));
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
    std::iota(content.begin(), content.end(), '\0');
    std::string source = other + "/sample";
    writeFile(source, content);
    ASSERT_EQ(chmod(source.c_str(), 0640), 0);
    std::string quarantine = directory("q");
    writeFile(quarantine + "/sample", "old");

    ASSERT_EQ(QL_QuarantineFile(source.c_str(), quarantine.c_str()), 0);
    EXPECT_FALSE(exists(source));
    EXPECT_EQ(readFile(quarantine + "/sample"), "old");
    EXPECT_EQ(readFile(quarantine + "/sample-0"), content);
    EXPECT_EQ(modeOf(quarantine + "/sample-0"), 0600U);  // quarantined files are the owner's only
    EXPECT_FALSE(hasMoveLeftovers(quarantine));

    // Back again with QL_MoveFile, which replaces an existing target and keeps the mode.
    ASSERT_EQ(chmod((quarantine + "/sample-0").c_str(), 0640), 0);
    writeFile(other + "/back", "old");
    ASSERT_EQ(QL_MoveFile((quarantine + "/sample-0").c_str(), (other + "/back").c_str()), 0);
    EXPECT_EQ(readFile(other + "/back"), content);
    EXPECT_EQ(modeOf(other + "/back"), 0640U);
    EXPECT_FALSE(exists(quarantine + "/sample-0"));
    EXPECT_FALSE(hasMoveLeftovers(other));

    // A source that cannot be removed stays, and so does nothing of its copy.
    source = file("f", "infected");
    ql::ScopeGuard unlock([&] { setImmutable(dir_, false); });
    if (!setImmutable(dir_, true)) {
        GTEST_SKIP() << "cannot make a directory this process may not change";
    }
    EXPECT_EQ(outcomeOf(QL_MoveFile(source.c_str(), (other + "/f").c_str())), failed(EPERM));
    EXPECT_EQ(readFile(source), "infected");
    EXPECT_FALSE(exists(other + "/f"));
    EXPECT_FALSE(hasMoveLeftovers(other));
}

using Paths = std::vector<std::string>;

class ScanTreeTest : public TempDirTest {
  protected:
    ~ScanTreeTest() override { QL_ClearScanTree(&root_); }

    int build(const char *exclude = nullptr, int maxDepth = 0, bool follow = true,
              bool cross = false) {
        QL_ClearScanTree(&root_);
        return QL_CreateScanTree(&root_, dir_.c_str(), exclude, maxDepth, follow, cross);
    }

    // The tree in pre-order (a node, then its children in order), relative to dir_; each node
    // must name its parent.
    Paths preorder() const {
        Paths out;
        std::vector<const ScanTreeNode *> pending{root_};
        while (!pending.empty()) {
            const ScanTreeNode *node = pending.back();
            pending.pop_back();
            std::string path = node->dirPath;
            out.push_back(path.rfind(dir_, 0) == 0 ? path.substr(dir_.size()) : path);
            if (node->nextSibling != nullptr) {
                EXPECT_EQ(node->nextSibling->parent, node->parent) << path;
                pending.push_back(node->nextSibling);
            }
            if (node->firstChild != nullptr) {
                EXPECT_EQ(node->firstChild->parent, node) << path;
                pending.push_back(node->firstChild);
            }
        }
        return out;
    }
    std::set<std::string> nodes() const {
        Paths order = preorder();
        return {order.begin(), order.end()};
    }

    ScanTreeNode *root_ = nullptr;
};

// One tree for every way of building: links back to the root and to its parent, two links to one
// directory outside it, links to directories inside it, an exclusion list that names one of them.
TEST_F(ScanTreeTest, TreeHoldsEachDirectoryOnceWithinTheDepthAndOutsideTheExcludedOnes) {
    const std::string outside = other_ = ql::test::makeTempDir("scan_tree_outside.");
    std::filesystem::create_directories(outside + "/t/u");
    dirs({"a", "a/c", "a/c/d", "b", "real"});
    file("file", "x");
    file("a/file", "x");
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
        SCOPED_TRACE(testing::Message() << row.maxDepth << " " << row.follow);
        int built = build(row.exclude, row.maxDepth, row.follow);
        EXPECT_EQ(nodes(), row.expected);
        EXPECT_EQ(built, static_cast<int>(row.expected.size()));
        EXPECT_EQ(QL_ClearScanTree(&root_), built);
        EXPECT_EQ(root_, nullptr);
    }

    // Pre-order in the order the directory gives, as a walk that follows no links sees it.
    ASSERT_EQ(build(nullptr, 0, false), 6);
    Paths expected{""};
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir_)) {
        if (entry.symlink_status().type() == std::filesystem::file_type::directory) {
            expected.push_back(entry.path().string().substr(dir_.size()));
        }
    }
    EXPECT_EQ(preorder(), expected);

    // Excluded: a listed directory by any name that leads to it; nothing else.
    for (const char *name : {"a", "la", "a/c/..", "b"}) {
        EXPECT_EQ(QL_isInExcludeDir(at(name).c_str(), excluded.c_str()), 1) << name;
    }
    for (const char *name : {"real", "a/c", "gone"}) {
        EXPECT_EQ(QL_isInExcludeDir(at(name).c_str(), excluded.c_str()), 0) << name;
    }
    EXPECT_EQ(QL_isInExcludeDir(at("a").c_str(), ""), 0);
    EXPECT_EQ(QL_isInExcludeDir(at("a").c_str(), nullptr), 0);
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
    int bits = 0;
    bits |= QL_isInExcludeDir((m1 + "/x").c_str(), (m2 + "/y").c_str()) != 0 ? 1 : 0;
    bits |= QL_isInExcludeDir((m1 + "/x").c_str(), (m1 + "/x").c_str()) != 1 ? 2 : 0;
    ScanTreeNode *root = nullptr;
    bits |= QL_CreateScanTree(&root, (dir + "/t").c_str(), nullptr, 0, 1, 1) != 3 ? 4 : 0;
    bits |= QL_isInScanTree(root, (m2 + "/y").c_str()) != 1 ? 8 : 0;
    bits |= QL_isInScanTree(root, m1.c_str()) != 0 ? 16 : 0;
    QL_ClearScanTree(&root);
    return bits;
}

TEST_F(ScanTreeTest, DirectoriesOnDifferentFileSystemsAreNeverTakenForOne) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(differentDevicesChild(dir_));
    }
    int status = ql::test::waitForExit(child, 20000);
    if (status == 77) {
        GTEST_SKIP() << "cannot mount two tmpfs instances in a private mount namespace";
    }
    EXPECT_EQ(status, 0) << "failed checks (bits)";
}

TEST_F(ScanTreeTest, AFileAsRootGivesTheRootAloneAndBadArgumentsFail) {
    file("f", "x");
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
        EXPECT_EQ(outcomeOf(QL_CreateScanTree(row.root, row.path, nullptr, row.maxDepth, 1, 0)),
                  failed(EINVAL))
            << (row.path ? row.path : "NULL") << " " << row.maxDepth;
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
    EXPECT_EQ(outcomeOf(QL_ClearScanTree(nullptr)), failed(EINVAL));
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
