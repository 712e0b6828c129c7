// What only the KAV engine shows: the engine daemon's life as a handle sees it (not running,
// started by the handle, gone), and the conversation with scripted engine daemons: the command
// each request sends, each reply and how it ends (broken off, never given), and one bound for the
// whole reply. Beneath them the command sender and the daemon's liveness, which no scan can
// drive into their faults. A killed, hanging or dropping qornd is the interface daemon's case.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "kav/kav_daemon_iface.h"
#include "kav/kav_object_scanner.h"
#include "kav/kav_object_walk.h"
#include "kav/kav_scanner.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/events.h"

namespace {

using ql::test::Engine;
using ql::test::EngineRoot;
using ql::test::EventLog;
using ql::test::SeenEvent;
using Clock = std::chrono::steady_clock;

constexpr const char *kEngineGone = "Connecting AV Engine failed";
// What an engine daemon says first on every connection.
constexpr const char *kGreeting = "201 1 a 1 b 2 c\r\n";

class KavIfaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("QL_ENGINE_TIMEOUT_MS", "2000", 1);
        EventLog::engine().clear();
    }
    void TearDown() override { unsetenv("QL_ENGINE_TIMEOUT_MS"); }

    AVHandle Open(uint8_t start) {
        engine_.writeVersion("2");
        return QL_InitAVHandle(engine_.confPath().c_str(), EventLog::onEngineEvent, start);
    }
    // The engine daemon pid ends and leaves neither its socket nor its pid file behind.
    void ExpectEngineStopped(int pid) const {
        EXPECT_TRUE(ql::test::waitUntil([pid] { return !ql::test::processRuns(pid); }, 5000));
        EXPECT_NE(access(engine_.socketPath().c_str(), F_OK), 0);
        EXPECT_NE(access(engine_.pidPath().c_str(), F_OK), 0);
    }

    EngineRoot engine_;
};

TEST_F(KavIfaceTest, EngineNotRunningIsStartedOnlyWhenAskedAndStoppedWithTheHandle) {
    EXPECT_EQ(Open(0), nullptr) << "not running and not to be started";
    EXPECT_EQ(EventLog::engine().codes(),
              (std::vector<int>{QL_EV_ENGINE_INIT, QL_EV_ENGINE_FAILED}));
    EXPECT_NE(access(engine_.pidPath().c_str(), F_OK), 0) << "nothing was started";

    EventLog::engine().clear();
    AVHandle handle = Open(1);
    ASSERT_NE(handle, nullptr) << QL_GetErrorText();
    int pid = QL_readProcessPid(engine_.pidPath().c_str());
    std::string path = engine_.sample("f", ql::test::eicar());
    QuickRequest request{path.data(), 1, QL_REQ_PATH};
    EventLog log;
    EXPECT_EQ(QL_QuickScan(handle, &request, log.callback()), QL_RES_INFECTED);
    QL_DeinitAVHandle(handle, EventLog::onEngineEvent);
    EXPECT_EQ(EventLog::engine().codes(),
              (std::vector<int>{QL_EV_ENGINE_INIT, QL_EV_ENGINE_READY, QL_EV_ENGINE_DOWN}));
    ExpectEngineStopped(pid);
}

TEST_F(KavIfaceTest, StartedEngineThatTakesNoConnectionIsStoppedAgain) {
    // A program that leaves a process behind, writes its pid and puts a plain file where the
    // socket belongs, so that every connection attempt fails.
    std::string program = engine_.path("/opt/Quellar/sbin/qornd");
    std::string witness = engine_.path("/witness.pid");
    unlink(program.c_str());
    ql::test::writeFile(program, "#!/bin/sh\nsleep 30 >/dev/null 2>&1 &\necho $! > '" +
                                     engine_.pidPath() + "'\necho $! > '" + witness + "'\n: > '" +
                                     engine_.socketPath() + "'\n");
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    EXPECT_EQ(Open(1), nullptr);
    EXPECT_EQ(EventLog::engine().codes(),
              (std::vector<int>{QL_EV_ENGINE_INIT, QL_EV_ENGINE_FAILED}));
    EXPECT_NE(EventLog::engine().events().back().message, "") << "the failure says why";
    int pid = QL_readProcessPid(witness.c_str());
    ASSERT_GT(pid, 0);
    ExpectEngineStopped(pid);
}

// Without a live engine (no pid file) an object scan fails at once, before any connection.
TEST_F(KavIfaceTest, ObjectScanWithoutALiveEngineFailsAtOnce) {
    ASSERT_TRUE(engine_.up(Engine::Kav));
    AVHandle handle = engine_.handle();
    engine_.stopEngine();
    std::string file = engine_.sample("f", "clean");
    ObjectRequest request{file.c_str(), 0x1, QL_ACT_NONE, nullptr};
    ScanReport report{};
    EXPECT_EQ(QL_ScanObject(handle, &request, &report, 0, nullptr), -1);
    EXPECT_STREQ(QL_GetErrorText(), kEngineGone);
}

// An engine daemon of the test's own at the root's socket: a child process, named in the pid
// file, that takes one connection at a time, greets it, keeps its command line in a file,
// answers with the script's lines, pauseMs apart, and closes it. Everything the child needs is
// made before the fork, so that it runs no allocation.
class ScriptedEngine {
  public:
    ScriptedEngine(const EngineRoot &root, const std::string &greeting,
                   const std::vector<std::string> &lines, int pauseMs = 0)
        : commands_(root.path("/commands")) {
        ql::UniqueFd listener = ql::test::listenAt(root.socketPath());
        ql::UniqueFd record(
            open(commands_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        child_ = fork();
        // The child serves until killed, and never outlives a test that crashed.
        if (child_ == 0 && prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
            _exit(1);
        }
        while (child_ == 0) {
            ql::UniqueFd peer(accept(listener.get(), nullptr, nullptr));
            (void)!send(peer.get(), greeting.data(), greeting.size(), MSG_NOSIGNAL);
            char chunk[4096];
            for (ssize_t n = 0; std::memchr(chunk, '\n', static_cast<size_t>(n)) == nullptr;) {
                n = read(peer.get(), chunk, sizeof chunk);
                if (n <= 0 || write(record.get(), chunk, static_cast<size_t>(n)) != n) {
                    break;
                }
            }
            for (const std::string &line : lines) {
                usleep(static_cast<useconds_t>(pauseMs) * 1000);
                if (send(peer.get(), line.data(), line.size(), MSG_NOSIGNAL) < 0) {
                    break;
                }
            }
        }
        EXPECT_GT(child_, 0) << "fork: " << std::strerror(errno);
        if (child_ > 0) {
            ql::test::writeFile(root.pidPath(), std::to_string(child_) + "\n");
        }
    }
    // Without a child there is nothing to kill: kill(-1) would signal every process.
    ~ScriptedEngine() {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
    }
    ScriptedEngine(const ScriptedEngine &) = delete;
    ScriptedEngine &operator=(const ScriptedEngine &) = delete;

    // The command lines the engine was sent, one after the other.
    std::string commands() const { return ql::test::readFile(commands_); }

  private:
    std::string commands_;
    pid_t child_;
};

class KavConversationTest : public KavIfaceTest {
  protected:
    void SetUp() override {
        setenv("QL_ENGINE_TIMEOUT_MS", "300", 1);
        engine_.writeVersion("2");
        file_ = engine_.sample("f", "x");
    }

    // A quick scan of file_ through a handle (its pooled connections), or through one bare
    // connection.
    int Quick(bool bare, uint32_t opts, EventLog &log) {
        QuickRequest request{file_.data(), opts, QL_REQ_PATH};
        if (bare) {
            ql::UniqueFd fd(QL_AvDaemonConnect(engine_.socketPath().c_str()));
            return QL_KAVQuickScan(fd.get(), &request, log.callback());
        }
        AVHandle handle = QL_InitAVHandle(engine_.confPath().c_str(), nullptr, 0);
        int result = handle != nullptr ? QL_QuickScan(handle, &request, log.callback()) : -2;
        QL_DeinitAVHandle(handle, nullptr);
        return result;
    }
    // One expected event about file_ (or, with a member, about that member of it).
    std::vector<SeenEvent> One(int event, std::string infection = "", std::string message = "",
                               int kind = QL_OBJ_FILE, const std::string &member = "") const {
        return {{file_ + member, kind, event, std::move(infection), std::move(message)}};
    }

    std::string file_;
};

TEST_F(KavConversationTest, OptionLettersFollowTheScanOptions) {
    const std::pair<uint32_t, const char *> rows[] = {{1, "abcdefghijkPQRSTUWm"},
                                                      {0x0362, "abcdefghijklpqrstuWm"},
                                                      {0x8001, "abcdefghijkPQRSTUWM"},
                                                      {0x8000, "abcdefghijkPQRSTUWm"},
                                                      {0, "abcdefghijkPQRSTUWm"}};
    file_ = engine_.sample("mail dir/a b.eml", "x");
    for (const auto &[opts, letters] : rows) {
        ScriptedEngine engine(engine_, kGreeting, {"220 clean\r\n"});
        EventLog log;
        EXPECT_EQ(Quick(false, opts, log), QL_RES_CLEAN) << std::hex << opts;
        EXPECT_EQ(engine.commands(), std::string("SCAN ") + letters + " " + file_ + "\r\n")
            << std::hex << opts;
    }
}

// Each reply's final code gives the result and events, a broken reply is never clean, and one
// bound covers the whole reply however its lines trickle in or never come. However the engine
// greets, or not at all, the connection serves.
TEST_F(KavConversationTest, FinalCodesMapToResultsAndEventsAndABrokenReplyIsNeverClean) {
    struct Row {
        std::string script;
        int stopOn, result;  // stopOn: the event answered QL_CB_STOP, or 0
        std::vector<SeenEvent> events;
        std::string greeting = kGreeting;
        int pauseMs = 0;  // before each time the script is sent
        int times = 1;    // the script is sent this many times
    };
    const Row rows[] = {
        {"220 clean\r\n", 0, QL_RES_CLEAN, One(QL_EV_CLEAN)},
        {"220 ok\r\n", QL_EV_CLEAN, QL_RES_STOPPED, One(QL_EV_CLEAN)},
        {"221 ok\r\n", 0, QL_RES_DISINFECTED, {}},
        {"299 odd\r\n", 0, QL_RES_CLEAN, {}},
        {"322-EICAR /\r\n230 bad\r\n", 0, QL_RES_INFECTED, One(QL_EV_INFECTED, "EICAR")},
        {"322-V /\r\n324-V /\r\n231 bad\r\n", 0, QL_RES_INFECTED, One(QL_EV_INFECTED, "V")},
        {"325-tar /\r\n328-Sus /in/x\r\n232 hm\r\n", 0, QL_RES_SUSPICIOUS,
         One(QL_EV_SUSPICIOUS, "Sus", "", QL_OBJ_FILE, "=>in/x")},
        {"322 /\r\n230 x\r\n", 0, QL_RES_INFECTED, One(QL_EV_INFECTED, "unknown")},
        {"322-Trail\r\n230 x\r\n", 0, QL_RES_INFECTED, One(QL_EV_INFECTED, "Trail")},
        {"501 " + std::string(300, 'e') + "\r\n", 0, QL_RES_ERROR,
         One(QL_EV_FAILED, "", std::string(255, 'e'))},
        {"512\r\n", 0, QL_RES_ERROR, One(QL_EV_FAILED, "", "512")},
        {"101 busy\r\n330-/a\r\n250 ok\r\n", 0, QL_RES_CLEAN, {}},
        {"600 odd\r\n0 zero\r\n501 No such file\r\n", 0, QL_RES_ERROR,
         One(QL_EV_FAILED, "", "No such file")},
        {"429 later\r\n220 never read\r\n", 0, QL_RES_ERROR, One(QL_EV_FAILED, "", "later")},
        {"322-" + std::string(3000, 'v') + "\r\n230 x\r\n", 0, QL_RES_INFECTED,
         One(QL_EV_INFECTED, std::string(QL_NAME_MAX - 1, 'v'))},
        // Broken off: before any line, after a 3xx line, inside the final line, or ended by a
        // line of 4 bytes. What was found before the break is still reported.
        {"", 0, -1, {}},
        {"322-EICAR /\r\n", 0, -1, One(QL_EV_INFECTED, "EICAR")},
        {"330-/x\r\n", 0, -1, {}},
        {"322-EICAR /\r\n23", 0, -1, One(QL_EV_INFECTED, "EICAR")},
        {"220\n", 0, -1, {}},
        {"322-X /\r\n220\n", 0, -1, One(QL_EV_INFECTED, "X")},
        // No greeting, a greeting without a final line, a line every 150 ms, a silent engine.
        {"220 clean\r\n", 0, QL_RES_CLEAN, One(QL_EV_CLEAN), ""},
        {"220 clean\r\n", 0, QL_RES_CLEAN, One(QL_EV_CLEAN), "101 wait\r\n"},
        {"330-/a\r\n", 0, -1, {}, kGreeting, 150, 20},
        {"220 clean\r\n", 0, -1, {}, kGreeting, 5000},
    };
    for (const Row &row : rows) {
        for (bool bare : {false, true}) {
            ScriptedEngine engine(engine_, row.greeting,
                                  std::vector<std::string>(row.times, row.script), row.pauseMs);
            EventLog log;
            log.answer(row.stopOn, row.stopOn != 0 ? QL_CB_STOP : 0);
            QL_SetError(0);
            std::string label = std::to_string(&row - rows) + " " + (bare ? "bare" : "pooled");
            auto start = Clock::now();
            EXPECT_EQ(Quick(bare, 1, log), row.result) << label;
            EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << label;
            if (row.result < 0) {
                EXPECT_STREQ(QL_GetErrorText(), kEngineGone) << label;
            }
            EXPECT_EQ(log.events(), row.events) << label;
        }
    }
}

// An object scan of one file: the final line decides, a stop answer ends a reply that breaks
// off, a reply broken off or never given is a scan error and never clean, and the engine's texts
// are kept.
TEST_F(KavConversationTest, ObjectScanOfAFileLetsTheFinalLineDecide) {
    struct Row {
        std::string script;
        int pauseMs, stopOn, result;
        const char *counters;  // scanned, scan errors, clean
        std::vector<SeenEvent> events;
    };
    const Row rows[] = {
        {"322-V /\r\n230 x\r\n", 0, QL_EV_INFECTED, QL_RES_INFECTED, "1 0 0",
         One(QL_EV_INFECTED, "V")},
        {"322-V /\r\n", 0, QL_EV_INFECTED, QL_RES_STOPPED, "0 0 0", One(QL_EV_INFECTED, "V")},
        {"325-tar /\r\n501 No such file\r\n", 0, 0, QL_RES_ERROR, "1 0 0",
         One(QL_EV_FAILED, "", "No such file\r", QL_OBJ_ARCHIVE)},
        {"322- /\r\n230 x\r\n", 0, 0, QL_RES_INFECTED, "1 0 0", One(QL_EV_INFECTED)},
        {"", 0, 0, QL_RES_ERROR, "1 1 0", One(QL_EV_FAILED, "", "Engine reply broken off")},
        {"220 clean\r\n", 5000, 0, QL_RES_ERROR, "1 1 0",
         One(QL_EV_FAILED, "", "Engine reply broken off")},
    };
    for (const Row &row : rows) {
        ScriptedEngine engine(engine_, kGreeting, {row.script}, row.pauseMs);
        AVHandle handle = QL_InitAVHandle(engine_.confPath().c_str(), nullptr, 0);
        ASSERT_NE(handle, nullptr);
        EventLog log;
        log.answer(row.stopOn, QL_CB_STOP);
        ScanReport report{};
        report.events = *log.callback();
        ObjectRequest request{file_.c_str(), 0x1, QL_ACT_NONE, nullptr};
        EXPECT_EQ(QL_ScanObject(handle, &request, &report, 0, nullptr), row.result) << row.script;
        EXPECT_EQ(std::to_string(report.objectsScanned) + " " + std::to_string(report.scanErrors) +
                      " " + std::to_string(report.cleanObjects),
                  row.counters)
            << row.script;
        EXPECT_EQ(log.events(), row.events) << row.script;
        QL_DeinitAVHandle(handle, nullptr);
    }
}

// The command sender and the reply reader: the whole command through short writes, the INFO
// reply (which no scan asks for), a failure without a signal when the peer is gone or never
// reads, and lines cut into pieces of the buffer with the rest kept.
TEST_F(KavConversationTest, CommandsGoOutWholeAndRepliesComeBackInLines) {
    const std::string command = std::string(300000, 'x') + "\r\n";
    {
        ScriptedEngine engine(engine_, kGreeting, {"201 5  word 263 ABCDEFGH 123 abcd\r\n"});
        ql::UniqueFd fd(QL_AvDaemonConnect(engine_.socketPath().c_str()));
        DaemonInfo info{};
        EXPECT_EQ(QL_GetDaemonInfo(fd.get(), &info), 0);
        // 263 keeps its low 8 bits.
        EXPECT_EQ(std::tuple(info.number1, int{info.byteValue}, std::string(info.shortText, 8),
                             info.number2, std::string(info.longText)),
                  std::tuple(5, 7, "ABCDEFGH", 123, "abcd\r\n"));
        fd.reset(QL_AvDaemonConnect(engine_.socketPath().c_str()));
        EXPECT_EQ(QL_SendDaemonCommand(fd.get(), command.c_str()), 0);
        EXPECT_TRUE(ql::test::waitUntil(
            [&] { return engine.commands().size() == command.size() + 6; }, 5000));
        EXPECT_EQ(engine.commands(), "INFO\r\n" + command);
    }
    ql::test::SocketPair pair;
    ql::UniqueFd &ours = pair.clientEnd;
    std::string big(4 << 20, 'x');
    EXPECT_EQ(QL_SendDaemonCommand(ours.get(), big.c_str()), -1) << "a peer that never reads";
    EXPECT_EQ(ql::lastErrorCode(), ETIMEDOUT);
    pair.daemonEnd.reset();
    EXPECT_EQ(QL_SendDaemonCommand(ours.get(), "SCAN x /a\r\n"), -1);
    EXPECT_EQ(ql::lastErrorCode(), EPIPE);
    EXPECT_EQ(QL_SendDaemonCommand(-1, "INFO\r\n"), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    ScriptedEngine engine(engine_, kGreeting, {std::string(3000, 'a') + "\nxyz"});
    ours.reset(QL_AvDaemonConnect(engine_.socketPath().c_str()));
    EXPECT_EQ(QL_SendDaemonCommand(ours.get(), "X\r\n"), 0);
    const std::pair<int, std::string> pieces[] = {
        {2048, std::string(2047, 'a')}, {954, std::string(953, 'a') + "\n"}, {4, "xyz"}, {0, ""}};
    for (const auto &[length, text] : pieces) {
        char buf[2048] = {};
        EXPECT_EQ(QL_readline(ours.get(), buf, sizeof buf), length);
        EXPECT_TRUE(length == 0 || std::string(buf) == text) << length;
    }
}

TEST(KavDaemonIfaceTest, LivenessNeedsSocketPidFileAndLiveProcess) {
    EngineRoot root;
    std::string pidFile = root.pidPath();
    const std::pair<const char *, int> pids[] = {{"1234\n99\n", 1234},
                                                 {"", 0},
                                                 {"abc\n", 0},
                                                 {"  42", 42},
                                                 {"123456789012345\n", 2147483647}};
    for (const auto &[text, pid] : pids) {
        ql::test::writeFile(pidFile, text);
        EXPECT_EQ(QL_readProcessPid(pidFile.c_str()), pid) << text;
    }
    EXPECT_EQ(QL_readProcessPid(root.path("/missing").c_str()), -1);
    EXPECT_EQ(ql::lastErrorCode(), ENOENT);

    KAVScannerConf conf{};
    ql::copyBounded(conf.socketPath, root.socketPath());
    ql::copyBounded(conf.pidPath, pidFile);
    pid_t zombie = ql::test::forkAsNobody([] { return 0; });
    siginfo_t ended{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie), &ended, WEXITED | WNOWAIT), 0);
    const struct {
        bool socket;
        std::string pid;  // the pid file's text, "-" for no pid file
        int running;
    } rows[] = {
        {true, std::to_string(getpid()), 1},  {true, "999999999", 0},  // no /proc entry
        {true, std::to_string(zombie), 0},                             // ended and not reaped yet
        {false, std::to_string(getpid()), 0}, {true, "-", 0},         {true, "", 0},
    };
    for (const auto &row : rows) {
        row.socket ? ql::test::writeFile(conf.socketPath, "") : (void)unlink(conf.socketPath);
        row.pid == "-" ? (void)unlink(pidFile.c_str())
                       : ql::test::writeFile(pidFile, row.pid + "\n");
        EXPECT_EQ(QL_isDaemonRunning(&conf), row.running) << row.socket << " " << row.pid;
    }
    waitpid(zombie, nullptr, 0);
    // The last row left an empty pid file beside the socket.
    EXPECT_EQ(QL_StopAvDaemon(&conf), -1) << "pid 0: nothing signalled, files stay";
    EXPECT_EQ(access(conf.pidPath, F_OK), 0);
    EXPECT_EQ(access(conf.socketPath, F_OK), 0);
}

// The back end's own walk follows folder links when its caller asks (an object scan through the
// public call walks a scan tree instead), and never enters a folder it is already inside.
TEST(KavWalkTest, LinkBackIntoAFolderTheWalkIsInIsNotEntered) {
    EngineRoot engine;
    ASSERT_TRUE(engine.up(Engine::Kav));
    std::string top = engine.path("/samples/tree");
    engine.sample("tree/sub/a.txt", "clean");
    ASSERT_EQ(symlink(top.c_str(), (top + "/sub/loop").c_str()), 0);
    ql::UniqueFd connection(QL_AvDaemonConnect(engine.socketPath().c_str()));
    ObjectRequest request{top.c_str(), 0x1 | QL_OPT_LINK, QL_ACT_NONE, nullptr};
    ExtraData extra{};
    ScanReport report{};
    EXPECT_EQ(QL_KAVScanObject(connection.get(), &request, &extra, &report), 0);
    EXPECT_EQ(std::tuple(report.dirsScanned, report.objectsScanned, report.scanErrors),
              std::tuple(2u, 1u, 0u));
}

// The walk's extension rules look at the last path component only, whatever case it is in; a
// folder's dot or a trailing dot gives no extension.
TEST(KavWalkTest, ExtensionsComeFromTheLastPathComponent) {
    const std::pair<const char *, const char *> extensions[] = {
        {"/d/file.tar.gz", "gz"}, {"/d.x/file", ""}, {"/d/file.", ""}, {"/d/.profile", "profile"}};
    for (const auto &[path, extension] : extensions) {
        const char *got = QL_KAVgetFileExtension(path);
        EXPECT_STREQ(got != nullptr ? got : "", extension) << path;
    }
    EXPECT_EQ(QL_KAVgetFileExtension(nullptr), nullptr);
    EXPECT_EQ(QL_KAVisInExtensionList("/d.com/file", "com"), 0);
    EXPECT_EQ(QL_KAVisInExtensionList("/d/file.html", "html"), 0) << "html is not htm";
    EXPECT_EQ(QL_KAVisInExtensionList("/d/file.Com", "exe::com"), 1);
    EXPECT_EQ(QL_KAVisInExtensionList("/d/file.com", nullptr), 0);
    // A file asked about by name alone is measured for the size limit, in whole KiB.
    EngineRoot root;
    std::string whole = root.sample("a", std::string(1024, 'x'));
    std::string over = root.sample("b", std::string(1025, 'x'));
    EXPECT_EQ(QL_KAVExcludeFileScan(whole.c_str(), 0, "", 1), 0);
    EXPECT_EQ(QL_KAVExcludeFileScan(over.c_str(), 0, "", 1), 1);
    EXPECT_EQ(QL_KAVExcludeFileScan(over.c_str(), 0, "", 0), 0) << "0: no limit";
}

}  // namespace
