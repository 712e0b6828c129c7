// qlscan end to end: object scans on both engines (findings, actions, the tree's hard cases, an
// attacker swapping folders), every option of the command line refused or taken, every exit
// status, and the modes through the interface daemon: a file per reply, the ping and the
// configuration check.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "common/unique_fd.h"
#include "ql/qlscan.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/emulator.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/programs.h"

namespace {

using ql::test::Engine;
using ql::test::EngineRoot;
using ql::test::Outcome;

using std::filesystem::exists;

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Every text of shown is in out and none of notShown; tag tells the run apart.
void expectOutput(const std::string &out, const std::vector<std::string> &shown,
                  const std::vector<std::string> &notShown = {}, const std::string &tag = "") {
    for (const std::string &text : shown) {
        EXPECT_TRUE(has(out, text)) << tag << "\nlacks " << text << "\n" << out;
    }
    for (const std::string &text : notShown) {
        EXPECT_FALSE(has(out, text)) << tag << "\nshows " << text << "\n" << out;
    }
}

Outcome qlscan(const std::vector<std::string> &args) {
    return ql::test::runProgram(ql::test::builtProgram("qlscan"), args, 15000);
}

// The attacker: a child of kNobody that waits until something opens file, then (delayMs later)
// moves folder to away and puts a link to target in its place. Its pid once it watches, or -1.
pid_t startSwapper(const std::string &file, const std::string &folder, const std::string &away,
                   const std::string &target, int delayMs) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    pid_t pid = ql::test::forkAsNobody([&] {
        close(ready[0]);
        int watch = inotify_init1(IN_CLOEXEC);
        char event[sizeof(inotify_event) + NAME_MAX + 1];
        if (watch < 0 || inotify_add_watch(watch, file.c_str(), IN_OPEN) < 0 ||
            write(ready[1], "w", 1) != 1 || read(watch, event, sizeof event) <= 0) {
            return 2;
        }
        usleep(static_cast<useconds_t>(delayMs) * 1000);
        bool swapped = rename(folder.c_str(), away.c_str()) == 0 &&
                       symlink(target.c_str(), folder.c_str()) == 0;
        return swapped ? 0 : 4;
    });
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

// End to end on each engine, with a tree of an infected file, a clean one and an archive with an
// infected member below sub/.
class QlscanTest : public ql::test::EngineTest {
  protected:
    void SetUp() override {
        setenv("QL_ENGINE_TIMEOUT_MS", "5000", 1);
        EngineTest::SetUp();
        dir_ = engine_.path("/samples/scan");
        quarantine_ = engine_.path("/held");
        ASSERT_EQ(mkdir(quarantine_.c_str(), 0700), 0);
        engine_.sample("scan/eicar.com", ql::test::eicar());
        engine_.sample("scan/clean.txt", "nothing to see\n");
        engine_.sample("scan/sub/pack.tar", ql::test::tarOf({{"readme.txt", "plain\n"},
                                                             {"member.com", ql::test::eicar()}}));
    }
    std::string Signatures() const override {
        return "suspicious\tOdd-Thing\ttext:ODD-BYTES\nerror\tTrouble\ttext:TROUBLE-BYTES\n";
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

    std::string dir_;
    std::string quarantine_;
    static inline std::string sharedDir_;
};

TEST_P(QlscanTest, QuarantinesInfectedFileAndArchiveThenFindsTheTreeClean) {
    Outcome first = qlscan({"--follow-links", "--quarantine", quarantine_, dir_});
    EXPECT_EQ(first.status, 1) << first.out << first.err;
    expectOutput(
        first.out,
        {dir_ + "/eicar.com: EICAR-Test-File FOUND\n",
         dir_ + "/eicar.com: EICAR-Test-File quarantined\n", "member.com: EICAR-Test-File FOUND\n",
         dir_ + "/sub/pack.tar: EICAR-Test-File quarantined\n", "Infected:            2\n",
         "Quarantined:         2\n", "Actions failed:      0\n"},
        {"clean.txt"});
    EXPECT_EQ(ql::test::readFile(quarantine_ + "/eicar.com"), ql::test::eicar());
    struct stat st {};
    ASSERT_EQ(stat((quarantine_ + "/eicar.com").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "quarantined files are the owner's only";
    EXPECT_EQ(std::tuple(exists(quarantine_ + "/pack.tar"), exists(dir_ + "/eicar.com"),
                         exists(dir_ + "/sub/pack.tar"), exists(dir_ + "/clean.txt")),
              std::tuple(true, false, false, true));
    EXPECT_EQ(first.err, "");

    Outcome second = qlscan({"--follow-links", dir_});
    EXPECT_EQ(second.status, 0) << second.out << second.err;
    expectOutput(second.out, {"Infected:            0\n"});
}

// Each option narrows the scan as it says, and the exit status tells what was found: 1 for a
// finding (also beside an error), 2 for nothing found but an object not scanned, else 0.
TEST_P(QlscanTest, OptionsNarrowTheScanAndTheExitStatusTellsWhatWasFound) {
    const std::string more = engine_.path("/samples/more");
    engine_.sample("more/odd.bin", "xx ODD-BYTES xx");
    engine_.sample("more/trouble.bin", "TROUBLE-BYTES");
    ASSERT_EQ(symlink((dir_ + "/eicar.com").c_str(), (more + "/link").c_str()), 0);
    // A name cannot break or forge an output line: it is printed on one, control characters
    // escaped.
    const std::string forged = engine_.sample("more/x\nforged: OK\x1b[2J", ql::test::eicar());
    engine_.sample("more/mail.eml",
                   "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"=b\"\n\n"
                   "--=b\nContent-Type: text/plain\n\nhello\n--=b\n"
                   "Content-Disposition: attachment; filename=attached.com\n"
                   "Content-Transfer-Encoding: base64\n\n" +
                       ql::test::base64(ql::test::eicar()) + "\n--=b--\n");
    const std::string found = "eicar.com: EICAR-Test-File FOUND\n";
    const std::string member = "member.com: EICAR-Test-File FOUND\n";
    struct Row {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> shown, notShown = {};
    };
    const Row rows[] = {
        // Asked without a terminal, qlscan leaves the finding in place: the next row finds it.
        {{"--follow-links", "--exclude-dir", dir_ + "/sub", "--ask", dir_},
         1,
         {dir_ + "/" + found,
          dir_ + "/eicar.com: EICAR-Test-File left in place (no terminal to ask)\n",
          "Quarantined:         0\n"},
         {"pack.tar"}},
        {{dir_}, 1, {dir_ + "/" + found, member, "Infected:            2\n"}},
        {{dir_ + "/clean.txt"}, 0, {"Clean:               1\n"}, {"FOUND"}},
        {{"--no-recurse", dir_}, 1, {found}, {member}},
        {{"--include-ext", "COM", dir_}, 1, {found}, {member}},
        {{"--include-ext", "txt", dir_}, 0, {"Infected:            0\n"}, {"FOUND"}},
        {{"--exclude-ext", "com:tar", dir_}, 0, {}, {"FOUND"}},
        {{"--exclude-dir", dir_ + "/sub", dir_}, 1, {found, "Directories scanned: 1\n"}, {member}},
        // The engine's own walk counts the folder given as level 1, a scan tree as level 0.
        {{"--max-depth", "1", dir_}, 1, {found, "Directories scanned: 1\n"}, {member}},
        {{"--follow-links", "--max-depth", "1", dir_}, 1, {found, member}},
        // The archive is larger than 1 KB, the infected file is not.
        {{"--max-size", "1", dir_}, 1, {found}, {member}},
        {{dir_ + "/clean.txt", dir_ + "/absent"},
         2,
         {dir_ + "/absent: ERROR No such file or directory\n", "Clean:               1\n"}},
        {{dir_ + "/eicar.com", dir_ + "/absent"}, 1, {found, "absent: ERROR"}},
        {{more + "/link"}, 0, {"/link: symbolic link, not followed (see --follow-links)\n"}},
        {{"--follow-links", more + "/link"}, 1, {dir_ + "/" + found}},
        {{more + "/odd.bin"}, 1, {"odd.bin: Odd-Thing SUSPICIOUS\n", "Suspicious:          1\n"}},
        {{more + "/trouble.bin"}, 2, {"trouble.bin: ERROR "}, {"FOUND"}},
        {{forged}, 1, {more + "/x\\nforged: OK\\x1b[2J: "}, {"\nforged", "\x1b"}},
        // A finding in a mail part is reported under the part's name.
        {{more + "/mail.eml"}, 1, {"attached.com: EICAR-Test-File FOUND\n"}, {"part-1"}},
    };
    for (const Row &row : rows) {
        const std::string line = ::testing::PrintToString(row.args);
        Outcome run = qlscan(row.args);
        EXPECT_EQ(run.status, row.status) << line << "\n" << run.out << run.err;
        expectOutput(run.out, row.shown, row.notShown, line);
    }
    // The actions: each reports and counts what it did to the file and to the archive.
    const std::string pack = dir_ + "/sub/pack.tar", packed = ql::test::readFile(pack);
    for (bool renamed : {false, true}) {
        Outcome run = qlscan(renamed ? std::vector<std::string>{"--rename", "vir", dir_}
                                     : std::vector<std::string>{"--delete", dir_});
        EXPECT_EQ(run.status, 1) << renamed;
        const std::string done =
            renamed ? "EICAR-Test-File renamed\n" : "EICAR-Test-File deleted\n";
        expectOutput(run.out, {"eicar.com: " + done, pack + ": " + done,
                               renamed ? "Renamed:             2\n" : "Deleted:             2\n"});
        for (const std::string &file : {dir_ + "/eicar.com", pack}) {
            EXPECT_FALSE(exists(file)) << renamed;
            EXPECT_EQ(exists(file + ".vir"), renamed) << file;
        }
        ql::test::writeFile(dir_ + "/eicar.com", ql::test::eicar());
        ql::test::writeFile(pack, packed);
    }
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
    const std::string found = ": EICAR-Test-File FOUND\n";
    struct Row {
        const char *what;
        std::vector<std::string> args;
        const char *treeLimit;  // QL_SCAN_TREE_LIMIT
        std::vector<std::string> lines;
        int status;
    };
    const Row rows[] = {
        // qlscan prints a line end in a name as \n.
        {"a line end", {newline[0]}, nullptr, {newline[0] + "/a\\nb/eicar.com" + found}, 1},
        {"1025 levels",
         {deep[0]},
         nullptr,
         {longFile + found, deep[700] + "/eicar.com" + found,
          deep[1025] + ": ERROR Directory nesting too deep\n"},
         1},
        {"1025 levels in a tree",
         {"--follow-links", deep[0]},
         nullptr,
         {longFile + found, deep[firstTooLong(deep)] + ": ERROR File name too long\n"},
         1},
        {"a full tree",
         {"--follow-links", full[0]},
         "2",
         {full[2] + ": ERROR Too many directories\n"},
         2},
    };
    for (const Row &row : rows) {
        if (row.treeLimit != nullptr) {
            setenv("QL_SCAN_TREE_LIMIT", row.treeLimit, 1);
        }
        Outcome run = qlscan(row.args);
        unsetenv("QL_SCAN_TREE_LIMIT");
        EXPECT_EQ(run.status, row.status) << row.what << "\n" << run.out << run.err;
        expectOutput(run.out, row.lines, {}, row.what);
    }
}

// Root scans a tree that an unprivileged user owns. While the engine reads a large infected file
// there, the user swaps its folder for a link to a folder of root's holding a file of the same
// name: the action must fail for the swapped path and leave both files where they are.
TEST_P(QlscanTest, SwappingAFolderForALinkDuringTheScanLetsNoActionReachRootsFile) {
    const std::string base = engine_.root().root();
    const std::string home = base + "/home", aside = base + "/aside", vault = base + "/vault";
    ASSERT_EQ(chmod(base.c_str(), 0711), 0);
    for (const std::string &dir : {home, aside}) {
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
        ql::test::giveToNobody(dir);
    }
    const struct {
        std::vector<std::string> action;
        std::string failure;
    } rows[] = {
        {{"--delete"}, "delete failed"},
        {{"--rename", "vir"}, "rename failed"},
        {{"--quarantine", quarantine_}, "quarantine failed"},
    };
    // Long enough a read that the swap lands inside it; the emulator reads far more slowly.
    const std::uint64_t fileSize = ql::test::testEmulator() != nullptr ? 16u << 20 : 32u << 20;
    const std::string folder = home + "/d", file = folder + "/big";
    int refused = 0, round = 0;
    for (const auto &row : rows) {
        for (int r = 0; r < 3; ++r, ++round) {
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
            Outcome run = qlscan(args);
            int swapped = ql::test::waitForExit(swapper, 5000);
            if (swapped < 0) {
                kill(swapper, SIGKILL);
                waitpid(swapper, nullptr, 0);
            }
            EXPECT_EQ(ql::test::readFile(vault + "/big"), "root's own file\n") << round << run.out;
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(vault), {}), 1)
                << round << run.out;
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

INSTANTIATE_TEST_SUITE_P(BothEngines, QlscanTest, ql::test::kBothEngines, ql::test::engineName);

// Every option's values are refused or taken before anything is scanned: without an engine
// installed a command line that is taken ends with "no scan engine is installed" (or, through
// the daemon, with the daemon not answering). Every run exits 2.
TEST(QlscanCommandLineTest, EveryOptionIsRefusedOrTakenBeforeAnyScan) {
    EngineRoot root;
    const std::string dir = root.root().root();
    const std::string shared = dir + "/shared", linked = dir + "/linked";
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    ASSERT_EQ(symlink(dir.c_str(), linked.c_str()), 0);
    // Quarantine folders of 255 and 256 characters.
    const std::string q255 = dir + "/" + std::string(254 - dir.size(), 'q');
    const std::string q256 = q255 + "q";
    ASSERT_EQ(mkdir(q255.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(q256.c_str(), 0700), 0);
    const std::string taken = "no scan engine is installed", noDaemon = "does not answer";
    struct Row {
        std::vector<std::string> args;
        std::string message;
    };
    const Row rows[] = {
        {{"--bogus", dir}, "unknown option '--bogus'"},
        {{dir, "--max-depth"}, "option '--max-depth' needs a value"},
        {{"--max-depth", "0", dir}, "--max-depth takes"},
        {{"--max-depth", "1", dir}, taken},
        {{"--max-depth", "64", dir}, taken},
        {{"--max-depth", "65", dir}, "--max-depth takes"},
        {{"--max-depth", "100", dir}, "--max-depth takes"},
        {{"--max-depth", "", dir}, "--max-depth takes"},
        {{"--max-size", "0k", dir}, "--max-size takes"},
        {{"--max-size", "1", dir}, taken},
        {{"--max-size", "5M", dir}, taken},
        {{"--max-size", "1b", dir}, taken},
        {{"--max-size", "999999999999b", dir}, taken},
        {{"--max-size", "999999999999M", dir}, taken},
        {{"--max-size", "1000000000000", dir}, "--max-size takes"},
        {{"--max-size", "1234567890123", dir}, "--max-size takes"},
        {{"--max-size", "k", dir}, "--max-size takes"},
        {{"--max-size", "10g", dir}, "--max-size takes"},
        {{"--include-ext", "exe", "--exclude-ext", "txt", dir}, "cannot be combined"},
        {{"--include-ext", "exe", "--include-ext", "com", dir}, "--include-ext is given twice"},
        {{"--include-ext", "a b", dir}, "--include-ext takes a ':'-separated list"},
        {{"--include-ext", std::string(1023, 'e'), dir}, taken},
        {{"--include-ext", std::string(1024, 'e'), dir}, "--include-ext list is too long"},
        {{"--exclude-dir", "", dir}, "--exclude-dir takes"},
        {{"--include-ext", "exe:com", dir}, taken},
        {{"--exclude-dir", shared, dir}, taken},
        {{"--exclude-dir", std::string(QL_PATH_MAX - 1, 'd'), dir}, taken},
        {{"--exclude-dir", std::string(QL_PATH_MAX, 'd'), dir}, "list is too long"},
        {{"--cross-devices", dir}, "--cross-devices needs --follow-links"},
        {{"--follow-links", "--cross-devices", dir}, taken},
        {{"--delete", "--quarantine", dir, dir}, "--delete and --quarantine cannot be combined"},
        {{"--rename", "x", "--delete", dir}, "--rename and --delete cannot be combined"},
        {{"--ask", "--quarantine", q255, dir}, "--ask and --quarantine cannot be combined"},
        {{"--quarantine", dir + "/absent", dir}, "is not a directory"},
        {{"--quarantine", shared, dir}, "writable by others than its owner"},
        {{"--quarantine", linked, dir}, "is a symbolic link"},
        {{"--quarantine", q255, dir}, taken},
        {{"--quarantine", q255, "--no-recurse", dir}, taken},
        {{"--quarantine", q256, dir}, "cannot be used (at most 255 characters"},
        {{"--rename", "a/b", dir}, "--rename takes"},
        {{"--rename", ".vir", dir}, taken},
        {{"--rename", "infected", dir}, taken},
        {{"--rename", ".virus", dir}, "--rename value was refused"},
        {{"--rename", std::string(255, 'r'), dir}, taken},
        {{"--rename", std::string(256, 'r'), dir}, "--rename takes"},
        {{"--ask", dir}, taken},
        {{"--follow-links"}, "no PATH"},
        {{"--daemon"}, "no PATH"},
        {{"--daemon", "--delete", dir}, "--daemon takes only"},
        {{"--daemon", "--config", "/x.conf", dir}, "--daemon takes only"},
        {{"--timeout", "5", dir}, "need --daemon"},
        {{"--socket", "/x", dir}, "need --daemon"},
        {{"--daemon", "--ping", "--timeout", "0"}, "--timeout takes 1 to 3600 seconds"},
        {{"--daemon", "--ping", "--timeout", "3601"}, "--timeout takes 1 to 3600 seconds"},
        {{"--daemon", "--ping", "--timeout", "1x"}, "--timeout takes 1 to 3600 seconds"},
        {{"--daemon", "--ping", "--timeout", "3600", "--socket", dir + "/none"}, noDaemon},
        {{"--daemon", "--ping", dir}, "--ping goes with --daemon and takes no FILE"},
        {{"--daemon", "--ping", "--delete"}, "--ping goes with --daemon"},
        {{"--daemon", "--ping", "--config", "/x.conf"}, "--ping goes with --daemon"},
        {{"--ping"}, "--ping goes with --daemon"},
        {{"--processes", dir}, "--processes takes no PATH"},
        {{"--processes", "--delete"}, "--processes takes no PATH"},
        {{"--processes", "--socket", "/x"}, "--processes takes no PATH"},
        {{"--processes", "--daemon"}, "--processes and --daemon cannot be combined"},
        {{"--processes", "--open-files", "--config", "/x.conf"}, taken},
        {{"--open-files", dir}, "--open-files needs --processes"},
        {{"--check-config", dir}, "--check-config takes no other option and no PATH"},
        {{"--check-config", "--ping"}, "--check-config takes no other option"},
        {{"--check-config", "--daemon"}, "--check-config takes no other option"},
        {{"--check-config", "--processes"}, "--check-config takes no other option"},
        {{"--check-config", "--delete"}, "--check-config takes no other option"},
        {{"--check-config", "--socket", "/x"}, "--check-config takes no other option"},
        {{"--check-config", "--config", "/x.conf"}, "--check-config takes no other option"},
    };
    for (const Row &row : rows) {
        const std::string line = ::testing::PrintToString(row.args);
        Outcome run = qlscan(row.args);
        EXPECT_EQ(run.status, 2) << line;
        EXPECT_TRUE(has(run.err + run.out, row.message)) << line << "-> " << run.err << run.out;
        if (row.message != noDaemon) {
            EXPECT_EQ(run.out, "") << line;
        }
    }
}

TEST(QlscanCommandLineTest, HelpDocumentsEveryOptionAndEngineTroubleExitsTwo) {
    EngineRoot root;
    for (const char *flag : {"--help", "-h"}) {
        Outcome help = qlscan({flag});
        EXPECT_EQ(help.status, 0);
        for (const char *option :
             {"--follow-links", "--cross-devices", "--no-recurse", "--include-ext",
              "--exclude-ext",  "--exclude-dir",   "--max-depth",  "--max-size",
              "--delete",       "--rename",        "--quarantine", "--ask",
              "--config",       "--daemon",        "--socket",     "--timeout",
              "--ping",         "--processes",     "--open-files", "--check-config"}) {
            EXPECT_TRUE(has(help.out, std::string("  ") + option)) << option;
        }
    }
    root.writeVersion("2");  // the engine daemon does not run
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{root.root().root()}, {"--processes"}}) {
        Outcome down = qlscan(args);
        EXPECT_EQ(down.status, 2);
        expectOutput(down.err, {"cannot open the scan engine"});
    }
    setenv("QL_ROOT", "relative", 1);
    Outcome relative = qlscan({"/x"});
    setenv("QL_ROOT", root.root().root().c_str(), 1);
    EXPECT_EQ(relative.status, 2);
    expectOutput(relative.err, {"QL_ROOT does not give a usable"});
}

// The modes through the interface daemon: a reply per file, the ping, the configuration check.
class QlscanDaemonTest : public ql::test::DaemonFixture {};

TEST_F(QlscanDaemonTest, EachFileGetsTheDaemonsReplyAndThePingSaysWhetherItAnswers) {
    ASSERT_TRUE(UseEngine(Engine::Kav, "error\tBroken\ttext:BREAKME\n"));
    ASSERT_EQ(0, StartDaemon());
    std::string clean = WriteSample("clean.txt", "clean");
    std::string infected = WriteSample("eicar.com", ql::test::eicar());
    std::string missing = root_.path("/samples/missing");
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const Row rows[] = {
        {{"--daemon", clean}, 0, clean + ": OK\n"},
        {{"--daemon", clean, infected, missing},
         1,
         clean + ": OK\n" + infected + ": EICAR-Test-File\n" + missing +
             ": No such file or directory\n"},
        {{"--daemon", "--socket", SockPath(), "--timeout", "5", infected},
         1,
         infected + ": EICAR-Test-File\n"},
        {{"--daemon", "--ping"}, 0, SockPath() + ": the interface daemon answers\n"},
    };
    for (const Row &row : rows) {
        Outcome run = qlscan(row.args);
        EXPECT_EQ(run.status, row.status) << row.args.back();
        EXPECT_EQ(run.out, row.out);
    }
    // An engine error without a text of its own still tells the client what happened.
    EXPECT_EQ("1 Scan error\n", Ask(WriteSample("broken.bin", "xxBREAKMExx")));
    EXPECT_EQ(0, StopDaemon(SIGTERM));
    Outcome down = qlscan({"--daemon", "--ping", "--timeout", "2"});
    EXPECT_EQ(2, down.status) << down.out;
    expectOutput(down.out, {SockPath() + ": the interface daemon does not answer ("});
    Outcome unanswered = qlscan({"--daemon", clean});
    EXPECT_EQ(2, unanswered.status);
    expectOutput(unanswered.err, {"qlscan: " + SockPath() + ": "});
    // The socket the settings name is the default.
    WriteInterfaceConf("[postwicker]\nPostwickerSocket=" + root_.path("/other.sock") + "\n");
    EXPECT_TRUE(has(qlscan({"--daemon", "--ping"}).out, root_.path("/other.sock") + ": "));
}

TEST_F(QlscanDaemonTest, CheckConfigPrintsTheValuesAndFailsWhenTheDaemonWouldNotStart) {
    const std::string conf = root_.path("/opt/Quellar/etc/qorn.conf");
    const std::string goodConf = ql::test::readFile(conf);
    struct Row {
        const char *what;
        std::string settings;  // "" for no settings file
        std::function<void()> prepare;
        int status;
        std::vector<std::string> shown;
    };
    auto bd = [this] { ASSERT_TRUE(UseEngine(Engine::Bd)); };
    const Row rows[] = {
        {"a good BD start",
         "MaxInstances=30\nPostwickerSocketMode=0660\nAlertSuspicious=yes\nAlertEncrypted=maybe\n"
         "TagErrorReplies=yes\nStopTimeout=5\nClientAccess=any\n",
         bd,
         0,
         {"instances            30\n", "socket mode          0660\n", "AlertSuspicious      yes\n",
          "AlertEncrypted       no\n", "AlertCorrupted       no\n", "TagErrorReplies      yes\n",
          "warning: AlertEncrypted = maybe is neither yes nor no and ignored; no is used\n",
          "stop timeout         5 s\n",
          "client access        any (every client learns about every file)\n",
          "engine               BD (core library)\n", "engine opens         yes\n",
          "The interface daemon would start.\n"}},
        {"bad values and no engine",
         "MaxInstances=9\nPostwickerSocket=/" + std::string(120, 's') +
             "\nPostwickerSocketGroup=no-such-group-ql\nStopTimeout=0\nClientAccess=all\n"
             "RequestTimeout=0\nPostwickerSocketMode=0999\n",
         [this] { WriteVersion("1"); },
         1,
         {"warning: MaxInstances = 9 is outside 10-50 and ignored; 20 is used\n",
          "error: PostwickerSocket is 121 characters long, a socket path holds at most 107",
          "warning: PostwickerSocketGroup = no-such-group-ql names no group",
          "warning: StopTimeout = 0 is outside 1-3600 and ignored; 30 is used\n",
          "warning: RequestTimeout = 0 is outside 1-3600 and ignored; 30 is used\n",
          "warning: PostwickerSocketMode = 0999 is not an octal mode",
          "warning: ClientAccess = all is neither check nor any; check is used\n",
          "client access        check (a client learns only about files it may read)\n",
          "error: no engine is installed", "would not start: 2 errors.\n"}},
        {"no settings, BD without its paths",
         "",
         [&] {
             bd();
             root_.writeFixed("/opt/Quellar/etc/qorn.conf", "[path]\nTempPath=\n");
         },
         1,
         {"interface.conf is missing", "error: BasesPath is empty", "error: TempPath is empty",
          "would not start: 3 errors.\n"}},
        {"sockets and pid files the daemon cannot make",
         "PostwickerSocket=" + root_.path("/none/sock") + "\nPostwickerPID=\n",
         [&] {
             bd();
             ql::test::removeTree(root_.path("/var/Quellar/var/log"));
             ql::test::removeTree(root_.path("/opt/Quellar/bases"));
             ql::test::removeTree(root_.path("/var/Quellar/var/tmp"));
         },
         1,
         {"error: the socket's folder " + root_.path("/none") + " is missing",
          "warning: PostwickerPID is empty: the daemon runs without a pid file",
          "cannot be opened for appending: the daemon runs without a log",
          "warning: the plug-ins folder", "warning: the temporary folder",
          "would not start: 1 error.\n"}},
        {"a relative socket, a pid file in a missing folder",
         "PostwickerSocket=sock\nPostwickerPID=" + root_.path("/none/pid") + "\n",
         bd,
         0,
         {"warning: PostwickerSocket is relative", "warning: the pid file's folder "}},
        {"a core library without its entry points",
         "\n",
         [&] {
             bd();
             std::string core = root_.path("/opt/Quellar/lib/libavcore.so");
             unlink(core.c_str());
             ASSERT_EQ(0, symlink(QL_FAKE_CORE_NOENTRY, core.c_str()));
         },
         1,
         {"error: the core library lacks the entry points CoreInit5 CoreUninit CoreNewInstance"}},
        {"no core library",
         "\n",
         [&] {
             bd();
             unlink(root_.path("/opt/Quellar/lib/libavcore.so").c_str());
         },
         1,
         {"error: the core library " + root_.path("/opt/Quellar/lib/libavcore.so") +
          " is missing"}},
        {"KAV without its engine daemon",
         "\n",
         [&] { WriteVersion("2"); },
         1,
         {"engine               KAV (engine daemon)\n", "error: the engine daemon does not run"}},
        {"KAV without its paths",
         "\n",
         [&] { root_.writeFixed("/opt/Quellar/etc/qorn.conf", "[path]\n"); },
         1,
         {"error: LocalSocketPath is empty", "error: AVSpidPATH is empty"}},
        {"KAV with its engine daemon",
         "\n",
         [&] { ASSERT_TRUE(UseEngine(Engine::Kav)); },
         0,
         {"LocalSocketPath      " + root_.path("/opt/Quellar/var/run/qornd.sock") + "\n",
          "engine opens         yes\n", "The interface daemon would start.\n"}},
    };
    for (const Row &row : rows) {
        root_.writeFixed("/opt/Quellar/etc/qorn.conf", goodConf);
        if (row.settings.empty()) {
            unlink(root_.path("/opt/Quellar/etc/postwick/interface.conf").c_str());
        } else {
            WriteInterfaceConf("[postwicker]\n" + row.settings);
        }
        row.prepare();
        Outcome run = qlscan({"--check-config"});
        EXPECT_EQ(row.status, run.status) << row.what << "\n" << run.out;
        expectOutput(run.out, row.shown, {}, row.what);
        EXPECT_EQ(row.status == 0, !has(run.out, "error:")) << row.what << "\n" << run.out;
    }
}

}  // namespace
