#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "ql/qlscan.h"
#include "tests/support/bd_fixture.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/emulator.h"
#include "tests/support/kav_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::CoreRoot;
using ql::test::QorndInstance;
using ql::test::TempRoot;

constexpr int kRunBoundMs = 15000;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Outcome the built qlscan with args in its own session (so it has no terminal), stdin from
// /dev/null, its output gathered through files under workDir.
Outcome runQlscan(const std::vector<std::string> &args, const std::string &workDir) {
    std::string program = std::string(QL_TEST_BIN_DIR) + "/qlscan";
    std::string outPath = workDir + "/qlscan.out";
    std::string errPath = workDir + "/qlscan.err";
    std::vector<char *> argv{program.data()};
    std::vector<std::string> copies(args);
    for (std::string &arg : copies) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        setsid();
        int in = open("/dev/null", O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0) {
            _exit(126);
        }
        setenv("QL_ENGINE_TIMEOUT_MS", "5000", 1);
        ql::test::execProgram(program.c_str(), argv.data());
        _exit(127);
    }
    Outcome run;
    int status = 0;
    bool reaped = false;
    bool ended = ql::test::waitUntil(
        [&] {
            reaped = reaped || (child > 0 && waitpid(child, &status, WNOHANG) == child);
            return reaped;
        },
        kRunBoundMs);
    if (!ended) {
        ADD_FAILURE() << "qlscan did not end within " << kRunBoundMs << " ms";
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return run;
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ql::test::readFile(outPath);
    run.err = ql::test::readFile(errPath);
    return run;
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// bytes in base64, in lines of 76 characters.
std::string base64(const std::string &bytes) {
    const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        for (std::size_t k = 1; k < n; ++k) {
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + k]))
                     << (16 - 8 * k);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            out.push_back(k <= n ? alphabet[(group >> (18 - 6 * k)) & 63] : '=');
        }
        if (out.size() % 77 == 76) {
            out.push_back('\n');
        }
    }
    return out;
}

int entriesIn(const std::string &dir) {
    int count = 0;
    ql::UniqueDir d(opendir(dir.c_str()));
    while (dirent *entry = d ? readdir(d.get()) : nullptr) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    return count;
}

// The attacker: a child of kNobody that waits until something opens file, then (delayMs later)
// moves folder to away and puts a link to target in its place. Its pid once it watches, or -1.
pid_t startSwapper(const std::string &file, const std::string &folder, const std::string &away,
                   const std::string &target, int delayMs) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        int watch = -1;
        if (!ql::test::becomeNobody() || (watch = inotify_init1(IN_CLOEXEC)) < 0 ||
            inotify_add_watch(watch, file.c_str(), IN_OPEN) < 0 || write(ready[1], "w", 1) != 1) {
            _exit(2);
        }
        char event[sizeof(inotify_event) + NAME_MAX + 1];
        if (read(watch, event, sizeof event) <= 0) {
            _exit(3);
        }
        usleep(static_cast<useconds_t>(delayMs) * 1000);
        _exit(rename(folder.c_str(), away.c_str()) == 0 &&
                      symlink(target.c_str(), folder.c_str()) == 0
                  ? 0
                  : 4);
    }
    close(ready[1]);
    char watching = 0;
    bool ok = pid > 0 && read(ready[0], &watching, 1) == 1;
    close(ready[0]);
    if (!ok && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return ok ? pid : -1;
}

// End to end on each engine: KAV with a started qornd, BD with the stand-in core.
class QlscanTest : public ::testing::TestWithParam<const char *> {
  protected:
    void SetUp() override {
        if (std::string(GetParam()) == "kav") {
            kavRoot_ = std::make_unique<TempRoot>();
            qornd_ = std::make_unique<QorndInstance>(*kavRoot_);
            kavRoot_->writeFixed("/opt/Quellar/etc/qorn-ver", "2");
            ASSERT_TRUE(qornd_->start());
        } else {
            coreRoot_ = std::make_unique<CoreRoot>();
            root().writeFixed("/opt/Quellar/etc/qorn-ver", "3");
        }
        dir_ = root().root() + "/scan";
        quarantine_ = root().root() + "/held";
        ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
        ASSERT_EQ(mkdir(quarantine_.c_str(), 0700), 0);
        ql::test::writeFile(dir_ + "/eicar.com", ql::test::eicar());
        ql::test::writeFile(dir_ + "/clean.txt", "nothing to see\n");
        ql::test::writeFile(
            dir_ + "/sub/pack.tar",
            ql::test::tarOf({{"readme.txt", "plain\n"}, {"member.com", ql::test::eicar()}}));
    }

    const TempRoot &root() const { return kavRoot_ ? *kavRoot_ : coreRoot_->root(); }
    Outcome scan(const std::vector<std::string> &args) const {
        return runQlscan(args, root().root());
    }

    // Trees that are slow to make and remove are made once for both engines.
    static void TearDownTestSuite() {
        if (!sharedDir_.empty()) {
            ql::test::removeTree(sharedDir_);
        }
    }
    static const std::string &sharedDir() {
        if (sharedDir_.empty()) {
            sharedDir_ = ql::test::makeTempDir("qlscan-shared");
        }
        return sharedDir_;
    }

    std::unique_ptr<TempRoot> kavRoot_;
    std::unique_ptr<QorndInstance> qornd_;
    std::unique_ptr<CoreRoot> coreRoot_;
    std::string dir_;
    std::string quarantine_;
    static inline std::string sharedDir_;
};

TEST_P(QlscanTest, QuarantinesInfectedFileAndArchiveThenFindsTheTreeClean) {
    Outcome first = scan({"--follow-links", "--quarantine", quarantine_, dir_});
    EXPECT_EQ(first.status, 1) << first.out << first.err;
    EXPECT_TRUE(has(first.out, dir_ + "/eicar.com: EICAR-Test-File FOUND\n")) << first.out;
    EXPECT_TRUE(has(first.out, dir_ + "/eicar.com: EICAR-Test-File quarantined\n")) << first.out;
    EXPECT_TRUE(has(first.out, "member.com: EICAR-Test-File FOUND\n")) << first.out;
    EXPECT_TRUE(has(first.out, dir_ + "/sub/pack.tar: EICAR-Test-File quarantined\n")) << first.out;
    EXPECT_TRUE(has(first.out, "Infected:            2\n")) << first.out;
    EXPECT_TRUE(has(first.out, "Quarantined:         2\n")) << first.out;
    EXPECT_TRUE(has(first.out, "Actions failed:      0\n")) << first.out;
    EXPECT_FALSE(has(first.out, "clean.txt")) << first.out;
    EXPECT_EQ(ql::test::readFile(quarantine_ + "/eicar.com"), ql::test::eicar());
    EXPECT_TRUE(exists(quarantine_ + "/pack.tar"));
    EXPECT_FALSE(exists(dir_ + "/eicar.com"));
    EXPECT_FALSE(exists(dir_ + "/sub/pack.tar"));
    EXPECT_TRUE(exists(dir_ + "/clean.txt"));
    EXPECT_EQ(first.err, "");

    Outcome second = scan({"--follow-links", dir_});
    EXPECT_EQ(second.status, 0) << second.out << second.err;
    EXPECT_TRUE(has(second.out, "Infected:            0\n")) << second.out;
}

TEST_P(QlscanTest, AskWithoutTerminalLeavesFindingsOutsideExcludedDirectoryInPlace) {
    Outcome asked = scan({"--follow-links", "--exclude-dir", dir_ + "/sub", "--ask", dir_});
    EXPECT_EQ(asked.status, 1) << asked.out << asked.err;
    EXPECT_TRUE(has(asked.out, dir_ + "/eicar.com: EICAR-Test-File FOUND\n")) << asked.out;
    EXPECT_TRUE(
        has(asked.out, dir_ + "/eicar.com: EICAR-Test-File left in place (no terminal to ask)\n"))
        << asked.out;
    EXPECT_FALSE(has(asked.out, "pack.tar")) << asked.out;
    EXPECT_TRUE(has(asked.out, "Quarantined:         0\n")) << asked.out;
    EXPECT_TRUE(exists(dir_ + "/eicar.com"));
}

TEST_P(QlscanTest, FileNamesCannotBreakOrForgeOutputLines) {
    // The name is printed on one line, its control characters escaped.
    std::string forged = dir_ + "/x\nforged: OK\x1b[2J";
    ql::test::writeFile(forged, ql::test::eicar());
    Outcome run = scan({forged});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_TRUE(has(run.out, dir_ + "/x\\nforged: OK\\x1b[2J: ")) << run.out;
    EXPECT_FALSE(has(run.out, "\nforged") || has(run.out, "\x1b")) << run.out;
}

TEST_P(QlscanTest, PathThatCannotBeScannedExitsTwo) {
    Outcome missing = scan({dir_ + "/clean.txt", dir_ + "/absent"});
    EXPECT_EQ(missing.status, 2) << missing.out << missing.err;
    EXPECT_TRUE(has(missing.out, dir_ + "/absent: ERROR No such file or directory\n"))
        << missing.out;
    EXPECT_TRUE(has(missing.out, "Clean:               1\n")) << missing.out;
}

TEST_P(QlscanTest, FindingInAMailPartIsReportedUnderThePartsName) {
    std::string mail = dir_ + "/mail.eml";
    ql::test::writeFile(mail,
                        "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"=b\"\n\n"
                        "--=b\nContent-Type: text/plain\n\nhello\n--=b\n"
                        "Content-Disposition: attachment; filename=attached.com\n"
                        "Content-Transfer-Encoding: base64\n\n" +
                            base64(ql::test::eicar()) + "\n--=b--\n");
    Outcome run = scan({mail});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_TRUE(has(run.out, "attached.com: EICAR-Test-File FOUND\n")) << run.out;
    EXPECT_FALSE(has(run.out, "part-1")) << run.out;
}

// A chain of levels directories called name below top, EICAR in the one eicarAt levels down;
// paths[i] is the directory i levels down.
std::vector<std::string> nest(const std::string &top, const std::string &name, int levels,
                              int eicarAt) {
    std::vector<std::string> paths{top};
    EXPECT_EQ(mkdir(top.c_str(), 0700), 0);
    ql::UniqueFd at(open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int i = 0; i < levels && at; ++i) {
        EXPECT_EQ(mkdirat(at.get(), name.c_str(), 0700), 0);
        at.reset(openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        paths.push_back(paths.back() + "/" + name);
    }
    ql::test::writeFile(paths[static_cast<std::size_t>(eicarAt)] + "/eicar.com", ql::test::eicar());
    return paths;
}

// The first of paths that does not fit QL_PATH_MAX - 1 characters.
std::size_t firstTooLong(const std::vector<std::string> &paths) {
    std::size_t level = 0;
    while (level + 1 < paths.size() && paths[level].size() < QL_PATH_MAX) {
        ++level;
    }
    return level;
}

TEST_P(QlscanTest, EveryObjectIsScannedOrReportedWhateverItsNameOrDepth) {
    static const std::vector<std::string> newline = nest(sharedDir() + "/newline", "a\nb", 1, 1);
    static const std::vector<std::string> deep = nest(sharedDir() + "/deep", "d", 1025, 700);
    static const std::vector<std::string> full = nest(sharedDir() + "/full", "d", 3, 3);
    // The deepest directory a scan tree holds, with a file whose path no longer fits.
    static const std::string longFile = [] {
        std::string path = deep[firstTooLong(deep) - 1] + "/" + std::string(200, 'e') + ".com";
        ql::test::writeFile(path, ql::test::eicar());
        return path;
    }();
    const std::string found = ": EICAR-Test-File FOUND";
    struct Row {
        const char *what;
        std::vector<std::string> args;
        const char *treeLimit;  // QL_SCAN_TREE_LIMIT
        std::vector<std::string> lines;
        int status;
    };
    const Row rows[] = {
        {"a line end in a name", {newline[0]}, nullptr, {newline[1] + "/eicar.com" + found}, 1},
        {"1025 levels",
         {deep[0]},
         nullptr,
         {longFile + found, deep[700] + "/eicar.com" + found,
          deep[1025] + ": ERROR Directory nesting too deep"},
         1},
        {"1025 levels in a tree",
         {"--follow-links", deep[0]},
         nullptr,
         {longFile + found, deep[firstTooLong(deep)] + ": ERROR File name too long"},
         1},
        {"a full tree",
         {"--follow-links", full[0]},
         "2",
         {full[2] + ": ERROR Too many directories"},
         2},
    };
    for (const Row &row : rows) {
        if (row.treeLimit != nullptr) {
            setenv("QL_SCAN_TREE_LIMIT", row.treeLimit, 1);
        }
        Outcome run = scan(row.args);
        unsetenv("QL_SCAN_TREE_LIMIT");
        EXPECT_EQ(run.status, row.status) << row.what << "\n" << run.out << run.err;
        for (std::string expected : row.lines) {
            for (std::size_t at = expected.find('\n'); at != std::string::npos;
                 at = expected.find('\n', at + 2)) {
                expected.replace(at, 1, "\\n");  // as qlscan prints a line end in a name
            }
            EXPECT_TRUE(has(run.out, expected + "\n")) << row.what << "\n" << expected << run.out;
        }
    }
}

// Root scans a tree that an unprivileged user owns. While the engine reads a large infected file
// there, the user swaps its folder for a link to a folder of root's holding a file of the same
// name: the action must fail for the swapped path and leave both files where they are.
TEST_P(QlscanTest, SwappingAFolderForALinkDuringTheScanLetsNoActionReachRootsFile) {
    const std::string base = root().root();
    const std::string home = base + "/home";
    const std::string aside = base + "/aside";
    const std::string vault = base + "/vault";
    ASSERT_EQ(chmod(base.c_str(), 0711), 0);
    for (const std::string &dir : {home, aside}) {
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
    }
    ql::test::giveToNobody(home);
    ql::test::giveToNobody(aside);
    const struct {
        std::vector<std::string> action;
        std::string failure;
    } rows[] = {
        {{"--delete"}, "delete failed"},
        {{"--rename", "vir"}, "rename failed"},
        {{"--quarantine", quarantine_}, "quarantine failed"},
    };
    constexpr int kRounds = 3;
    // Long enough a read that the swap lands inside it; the emulator reads far more slowly.
    const std::uint64_t fileSize = ql::test::testEmulator() != nullptr ? 16u << 20 : 32u << 20;
    const std::string folder = home + "/d";
    const std::string file = folder + "/big";
    int refused = 0;
    int round = 0;
    for (const auto &row : rows) {
        for (int r = 0; r < kRounds; ++r, ++round) {
            const std::string away = aside + "/d" + std::to_string(round);
            ql::test::removeTree(vault);
            ASSERT_EQ(mkdir(vault.c_str(), 0755), 0);
            ql::test::writeFile(vault + "/big", "root's own file\n");
            ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
            ql::test::writeSparseInfected(file, fileSize);
            ql::test::giveToNobody(folder);
            pid_t swapper = startSwapper(file, folder, away, vault, 7 * r);
            ASSERT_GT(swapper, 0);
            std::vector<std::string> args = row.action;
            args.push_back(r % 2 == 0 ? home : file);  // the engine walks the tree, or one file
            Outcome run = scan(args);
            int swapped = ql::test::waitForExit(swapper, 5000);
            if (swapped < 0) {
                kill(swapper, SIGKILL);
                waitpid(swapper, nullptr, 0);
            }
            EXPECT_EQ(ql::test::readFile(vault + "/big"), "root's own file\n") << round << run.out;
            EXPECT_EQ(entriesIn(vault), 1) << round << run.out;
            if (has(run.out, file + ": EICAR-Test-File " + row.failure +
                                 ": Path leads through a symbolic link\n")) {
                ++refused;
                EXPECT_EQ(swapped, 0) << round;
                EXPECT_TRUE(exists(away + "/big")) << round;  // the user's file stays, too
            }
            unlink(folder.c_str());
            ql::test::removeTree(folder);
        }
    }
    EXPECT_GT(refused, 0) << "no round swapped the folder during the scan";
}

INSTANTIATE_TEST_SUITE_P(Engines, QlscanTest, ::testing::Values("kav", "bd"));

TEST(QlscanCommandLineTest, WrongOptionsAndValuesAreRefusedWithExitTwo) {
    TempRoot root;
    std::string dir = root.root();
    ASSERT_EQ(mkdir((dir + "/shared").c_str(), 0777), 0);
    ASSERT_EQ(chmod((dir + "/shared").c_str(), 0777), 0);
    struct Row {
        std::vector<std::string> args;
        std::string message;
    };
    const Row rows[] = {
        {{"--bogus", dir}, "unknown option '--bogus'"},
        {{dir, "--max-depth"}, "option '--max-depth' needs a value"},
        {{"--max-depth", "0", dir}, "--max-depth takes"},
        {{"--max-depth", "65", dir}, "--max-depth takes"},
        {{"--max-size", "0k", dir}, "--max-size takes"},
        {{"--max-size", "10g", dir}, "--max-size takes"},
        {{"--include-ext", "exe", "--exclude-ext", "txt", dir}, "cannot be combined"},
        {{"--exclude-dir", "", dir}, "--exclude-dir takes"},
        {{"--cross-devices", dir}, "--cross-devices needs --follow-links"},
        {{"--delete", "--quarantine", dir, dir}, "--delete and --quarantine cannot be combined"},
        {{"--quarantine", dir + "/absent", dir}, "is not a directory"},
        {{"--quarantine", dir + "/shared", dir}, "writable by others than its owner"},
        {{"--rename", "a/b", dir}, "--rename takes"},
        {{"--rename", ".virus", dir}, "--rename value was refused"},
        {{"--daemon", "--delete", dir}, "--daemon takes only"},
        {{"--timeout", "5", dir}, "need --daemon"},
        {{"--follow-links"}, "no PATH"},
        {{"--max-depth", "100", dir}, "--max-depth takes"},
        {{"--max-size", "1000000000000", dir}, "--max-size takes"},
        {{"--max-size", "k", dir}, "--max-size takes"},
        {{"--exclude-dir", std::string(QL_PATH_MAX, 'd'), dir}, "list is too long"},
    };
    for (const Row &row : rows) {
        std::string line;
        for (const std::string &arg : row.args) {
            line += arg + " ";
        }
        Outcome run = runQlscan(row.args, dir);
        EXPECT_EQ(run.status, 2) << line;
        EXPECT_TRUE(has(run.err, row.message)) << line << "-> " << run.err;
        EXPECT_EQ(run.out, "") << line;
    }
}

// Values at the edges of what each option takes get past the checks: the run goes on to the
// engine, which this root does not have.
TEST(QlscanCommandLineTest, ValuesAtTheEdgesOfTheirRangeAreTaken) {
    TempRoot root;
    std::string dir = root.root();
    ASSERT_EQ(mkdir((dir + "/private").c_str(), 0700), 0);
    const std::vector<std::vector<std::string>> rows = {
        {"--max-depth", "1", dir},
        {"--max-depth", "64", dir},
        {"--max-size", "1b", dir},
        {"--max-size", "999999999999M", dir},
        {"--include-ext", "exe:com", dir},
        {"--exclude-dir", std::string(QL_PATH_MAX - 1, 'd'), dir},
        {"--follow-links", "--cross-devices", dir},
        {"--rename", "infected", dir},
        {"--quarantine", dir + "/private", "--no-recurse", dir},
    };
    for (const std::vector<std::string> &args : rows) {
        Outcome run = runQlscan(args, dir);
        EXPECT_EQ(run.status, 2) << args[0] << " " << args[1];
        EXPECT_TRUE(has(run.err, "no scan engine is installed")) << args[0] << " -> " << run.err;
    }
}

TEST(QlscanCommandLineTest, HelpDocumentsEveryOptionAndEngineTroubleExitsTwo) {
    TempRoot root;
    Outcome help = runQlscan({"--help"}, root.root());
    EXPECT_EQ(help.status, 0);
    for (const char *option :
         {"--follow-links", "--cross-devices", "--no-recurse", "--include-ext", "--exclude-ext",
          "--exclude-dir", "--max-depth", "--max-size", "--delete", "--rename", "--quarantine",
          "--ask", "--config", "--daemon", "--socket", "--timeout"}) {
        EXPECT_TRUE(has(help.out, std::string("  ") + option)) << option;
    }

    Outcome noEngine = runQlscan({root.root()}, root.root());
    EXPECT_EQ(noEngine.status, 2);
    EXPECT_TRUE(has(noEngine.err, "no scan engine is installed")) << noEngine.err;

    root.writeFixed("/opt/Quellar/etc/qorn-ver", "2");
    QorndInstance notStarted(root);
    Outcome down = runQlscan({root.root()}, root.root());
    EXPECT_EQ(down.status, 2);
    EXPECT_TRUE(has(down.err, "cannot open the scan engine")) << down.err;
}

}  // namespace
