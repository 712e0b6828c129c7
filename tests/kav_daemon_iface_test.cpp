#include "kav/kav_daemon_iface.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "kav/kav_daemon_pool.h"
#include "kav/kav_scanner.h"
#include "tests/support/kav_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::TempRoot;

// A socket pair: the library reads and writes `ours`, the scripted peer `theirs`.
struct ScriptedPeer {
    ql::UniqueFd ours;
    ql::UniqueFd theirs;
    ScriptedPeer() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ours.reset(fds[0]);
        theirs.reset(fds[1]);
    }
    void say(const std::string &bytes) {
        ASSERT_EQ(write(theirs.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    void hangUp() { theirs.reset(); }
};

class KavDaemonIfaceTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("QL_ENGINE_TIMEOUT_MS", "300", 1); }
    void TearDown() override { unsetenv("QL_ENGINE_TIMEOUT_MS"); }
};

TEST_F(KavDaemonIfaceTest, ReplyReaderEndsAtFinalLinesAndReportsBrokenReplies) {
    struct Case {
        std::string script;
        int code;
    };
    const Case cases[] = {
        {"220 clean\r\n", 220},
        {"322-EICAR /\r\n230 infected\r\n", 230},
        {"101 busy\r\n330-/a\r\n250 ok\r\n", 250},
        {"600 odd\r\n0 zero\r\n501 No such file\r\n", 501},
        {"429 later\r\n220 never read\r\n", 429},
        {"330-/a\r\n", 330},        // broken off after a 3xx line
        {"322-X /\r\n220\n", 322},  // a 4-byte line ends the reading
        {"220\n", -1},              // 4 bytes as the first line
        {"", -1},                   // closed before any line
    };
    for (const Case &c : cases) {
        ScriptedPeer peer;
        peer.say(c.script);
        peer.hangUp();
        QL_SetError(0);
        EXPECT_EQ(QL_ProcessDaemonReturnMessage(peer.ours.get(), nullptr, nullptr, nullptr), c.code)
            << c.script;
        if (c.code == -1) {
            EXPECT_EQ(ql::lastErrorCode(), QLE_AV_CONNECT) << c.script;
        }
    }
}

int stopOn3xx(char *line, void *seen, void *) {
    static_cast<std::vector<std::string> *>(seen)->push_back(line);
    int code = atoi(line);
    return code / 100 == 3 ? 64 : code;
}

TEST_F(KavDaemonIfaceTest, CallbackCodeDecidesWhetherReplyGoesOn) {
    ScriptedPeer peer;
    peer.say("322-A /\r\n330-/b\r\n220 done\r\n");
    std::vector<std::string> seen;
    EXPECT_EQ(QL_ProcessDaemonReturnMessage(peer.ours.get(), stopOn3xx, &seen, nullptr), 220);
    EXPECT_EQ(seen, (std::vector<std::string>{"322-A /\r\n", "330-/b\r\n", "220 done\r\n"}));
}

TEST_F(KavDaemonIfaceTest, ReadlineCutsLongLinesIntoPiecesAndKeepsTheRest) {
    ScriptedPeer peer;
    peer.say(std::string(3000, 'a') + "\nxyz");
    peer.hangUp();
    char buf[2048];
    EXPECT_EQ(QL_readline(peer.ours.get(), buf, sizeof buf), 2048);
    EXPECT_EQ(std::strlen(buf), 2047u);
    EXPECT_EQ(QL_readline(peer.ours.get(), buf, sizeof buf), 954);
    EXPECT_EQ(std::string(buf), std::string(953, 'a') + "\n");
    EXPECT_EQ(QL_readline(peer.ours.get(), buf, sizeof buf), 4);  // cut by the end of stream
    EXPECT_STREQ(buf, "xyz");
    EXPECT_EQ(QL_readline(peer.ours.get(), buf, sizeof buf), 0);
}

TEST_F(KavDaemonIfaceTest, SilentPeerEndsTheWaitWithinTheBound) {
    ScriptedPeer peer;
    char buf[64];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QL_readline(peer.ours.get(), buf, sizeof buf), -1);
    EXPECT_EQ(ql::lastErrorCode(), ETIMEDOUT);
    EXPECT_EQ(QL_ProcessDaemonReturnMessage(peer.ours.get(), nullptr, nullptr, nullptr), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(KavDaemonIfaceTest, InfoReplyFillsDaemonInfo) {
    ScriptedPeer peer;
    std::thread engine([&peer] {
        char command[16] = {};
        ASSERT_EQ(read(peer.theirs.get(), command, 6), 6);
        EXPECT_STREQ(command, "INFO\r\n");
        peer.say("201 5  word 263 ABCDEFGH 123 abcd\r\n");
    });
    DaemonInfo info{};
    EXPECT_EQ(QL_GetDaemonInfo(peer.ours.get(), &info), 0);
    engine.join();
    EXPECT_EQ(info.number1, 5);
    EXPECT_EQ(info.byteValue, 7);  // 263 keeps its low 8 bits
    EXPECT_EQ(std::string(info.shortText, 8), "ABCDEFGH");
    EXPECT_EQ(info.number2, 123);
    EXPECT_STREQ(info.longText, "abcd\r\n");
}

TEST_F(KavDaemonIfaceTest, WholeCommandIsWrittenThroughShortWrites) {
    ScriptedPeer peer;
    std::string command(300000, 'x');
    command += "\r\n";
    std::string received;
    std::thread engine([&] {
        char chunk[4096];
        ssize_t n;
        while (received.size() < command.size() &&
               (n = read(peer.theirs.get(), chunk, sizeof chunk)) > 0) {
            received.append(chunk, static_cast<std::size_t>(n));
        }
    });
    EXPECT_EQ(QL_SendDaemonCommand(peer.ours.get(), command.c_str()), 0);
    engine.join();
    EXPECT_EQ(received, command);
}

TEST_F(KavDaemonIfaceTest, SendFailsWithoutSignalWhenPeerIsGoneOrNeverReads) {
    {
        ScriptedPeer peer;
        peer.hangUp();
        EXPECT_EQ(QL_SendDaemonCommand(peer.ours.get(), "SCAN x /a\r\n"), -1);
        EXPECT_EQ(ql::lastErrorCode(), EPIPE);
    }
    ScriptedPeer silent;
    std::string big(4 << 20, 'x');
    EXPECT_EQ(QL_SendDaemonCommand(silent.ours.get(), big.c_str()), -1);
    EXPECT_EQ(ql::lastErrorCode(), ETIMEDOUT);
    EXPECT_EQ(QL_SendDaemonCommand(-1, "INFO\r\n"), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
}

// An engine daemon on a Unix socket for one connection: it greets with greeting, reads one
// command line, then sends lines, pauseMs apart, until all are sent or the peer has gone.
class FakeEngine {
  public:
    FakeEngine(const std::string &path, std::string greeting, std::vector<std::string> lines,
               int pauseMs)
        : listener_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        ql::copyBounded(addr.sun_path, path);
        EXPECT_EQ(bind(listener_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(listener_.get(), 1), 0);
        thread_ =
            std::thread([this, greeting, lines, pauseMs] { serve(greeting, lines, pauseMs); });
    }
    ~FakeEngine() {
        stopping_ = true;
        thread_.join();
    }
    FakeEngine(const FakeEngine &) = delete;
    FakeEngine &operator=(const FakeEngine &) = delete;

  private:
    void serve(const std::string &greeting, const std::vector<std::string> &lines, int pauseMs) {
        pollfd waiting{listener_.get(), POLLIN, 0};
        if (poll(&waiting, 1, 5000) != 1) {
            return;
        }
        ql::UniqueFd peer(accept(listener_.get(), nullptr, nullptr));
        (void)!send(peer.get(), greeting.data(), greeting.size(), MSG_NOSIGNAL);
        pollfd reading{peer.get(), POLLIN, 0};
        for (char byte = 0; byte != '\n';) {
            if (poll(&reading, 1, 5000) != 1 || read(peer.get(), &byte, 1) != 1) {
                return;
            }
        }
        for (const std::string &line : lines) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            if (stopping_ ||
                send(peer.get(), line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size())) {
                return;
            }
        }
    }

    ql::UniqueFd listener_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A quick scan of /f through a bare connection or a pooled one.
class KavConversationTest : public KavDaemonIfaceTest,
                            public ::testing::WithParamInterface<const char *> {
  protected:
    int scanThrough(const std::string &socketPath) {
        QuickRequest request{const_cast<char *>("/f"), 1, QL_REQ_PATH};
        EventCallback none{};
        if (std::string(GetParam()) == "bare") {
            ql::UniqueFd fd(QL_AvDaemonConnect(socketPath.c_str()));
            ql::kav::FdChannel channel(fd.get());
            return ql::kav::quickScan(channel, &request, &none);
        }
        ql::kav::ConnectionPool pool(socketPath.c_str());
        ql::kav::PoolChannel channel(pool);
        return ql::kav::quickScan(channel, &request, &none);
    }
};

TEST_P(KavConversationTest, GreetingNeverDecidesAndOneBoundCoversTheWholeReply) {
    struct Row {
        const char *what;
        std::string greeting;
        std::vector<std::string> lines;
        int pauseMs;
        int result;
    };
    const Row rows[] = {
        {"no greeting", "", {"220 clean\r\n"}, 0, QL_RES_CLEAN},
        {"a greeting without a final line", "101 wait\r\n", {"220 clean\r\n"}, 0, QL_RES_CLEAN},
        {"a line every 150 ms", "201 1 a 1 b 2 c\r\n", std::vector<std::string>(20, "330-/a\r\n"),
         150, -1},
    };
    for (const Row &row : rows) {
        TempRoot root;
        std::string path = root.path("/opt/Quellar/var/run/engine.sock");
        FakeEngine engine(path, row.greeting, row.lines, row.pauseMs);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(scanThrough(path), row.result) << row.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << row.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Channels, KavConversationTest, ::testing::Values("bare", "pooled"));

TEST_F(KavDaemonIfaceTest, PidFileReading) {
    TempRoot root;
    std::string path = root.path("/pid");
    struct Case {
        const char *text;
        int pid;
    };
    const Case cases[] = {{"1234\n99\n", 1234},
                          {"", 0},
                          {"abc\n", 0},
                          {"  42", 42},
                          {"123456789012345\n", 2147483647}};
    for (const Case &c : cases) {
        ql::test::writeFile(path, c.text);
        EXPECT_EQ(QL_readProcessPid(path.c_str()), c.pid) << c.text;
    }
    EXPECT_EQ(QL_readProcessPid(root.path("/missing").c_str()), -1);
    EXPECT_EQ(ql::lastErrorCode(), ENOENT);
}

TEST_F(KavDaemonIfaceTest, LivenessNeedsSocketPidFileAndLiveProcess) {
    TempRoot root;
    KAVScannerConf conf{};
    ql::copyBounded(conf.socketPath, root.path("/sock"));
    ql::copyBounded(conf.pidPath, root.path("/pid"));
    ql::test::writeFile(conf.socketPath, "");
    EXPECT_EQ(QL_isDaemonRunning(&conf), 0);  // no pid file
    ql::test::writeFile(conf.pidPath, std::to_string(getpid()) + "\n");
    EXPECT_EQ(QL_isDaemonRunning(&conf), 1);
    ql::test::writeFile(conf.pidPath, "999999999\n");  // beyond any pid: no /proc entry
    EXPECT_EQ(QL_isDaemonRunning(&conf), 0);
    pid_t zombie = fork();
    if (zombie == 0) {
        _exit(0);
    }
    ASSERT_GT(zombie, 0);
    siginfo_t ended{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie), &ended, WEXITED | WNOWAIT), 0);
    ql::test::writeFile(conf.pidPath, std::to_string(zombie) + "\n");
    EXPECT_EQ(QL_isDaemonRunning(&conf), 0);  // ended and not reaped yet
    waitpid(zombie, nullptr, 0);
    ql::test::writeFile(conf.pidPath, "\n");
    EXPECT_EQ(QL_isDaemonRunning(&conf), 0);
    EXPECT_EQ(QL_StopAvDaemon(&conf), -1);  // pid 0: nothing signalled, files stay
    EXPECT_EQ(access(conf.pidPath, F_OK), 0);
    EXPECT_EQ(access(conf.socketPath, F_OK), 0);
    unlink(conf.socketPath);
    ql::test::writeFile(conf.pidPath, std::to_string(getpid()) + "\n");
    EXPECT_EQ(QL_isDaemonRunning(&conf), 0);  // no socket
}

TEST_F(KavDaemonIfaceTest, ArgumentVectorSlotsChain) {
    char *args[4] = {};
    int next = QL_addArgs(args, 0, "qorn");
    next = QL_addArgs(args, next, "-c");
    next = QL_addArgs(args, next, "/x.conf");
    EXPECT_EQ(QL_addArgs(args, next, nullptr), 4);
    EXPECT_STREQ(args[2], "/x.conf");
    EXPECT_EQ(args[3], nullptr);
    QL_freeArgs(args, 4);
    EXPECT_EQ(args[0], nullptr);
    EXPECT_EQ(QL_addArgs(nullptr, 0, "x"), -1);
}

TEST_F(KavDaemonIfaceTest, StartWithMissingProgramStillReturnsZero) {
    TempRoot root;
    unlink(root.path("/opt/Quellar/sbin/qornd").c_str());
    EXPECT_EQ(QL_StartAvDaemon("/nowhere/qorn.conf"), 0);
    EXPECT_EQ(QL_StartAvDaemon(nullptr), -1);
}

TEST_F(KavDaemonIfaceTest, ConnectFailsWithoutListener) {
    TempRoot root;
    std::string path = root.path("/opt/Quellar/var/run/dead.sock");
    ql::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ql::copyBounded(addr.sun_path, path);
    ASSERT_EQ(bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_EQ(QL_AvDaemonConnect(path.c_str()), -1);
    EXPECT_EQ(QL_AvDaemonConnect(root.path("/none").c_str()), -1);
    EXPECT_EQ(QL_AvDaemonConnect(nullptr), -1);
}

TEST_F(KavDaemonIfaceTest, LiveEngineGreetsAnswersInfoAndStops) {
    TempRoot root;
    ql::test::QorndInstance engine(root);
    ASSERT_TRUE(engine.start());
    KAVScannerConf conf{};
    ql::copyBounded(conf.socketPath, engine.socketPath());
    ql::copyBounded(conf.pidPath, engine.pidPath());
    EXPECT_EQ(QL_isDaemonRunning(&conf), 1);
    int sock = QL_AvDaemonConnect(conf.socketPath);
    ASSERT_GE(sock, 0);
    DaemonInfo info{};
    EXPECT_EQ(QL_GetDaemonInfo(sock, &info), 0);
    EXPECT_EQ(info.number2, engine.pid());
    QL_AvDaemonDisconnect(sock);
    EXPECT_EQ(QL_StopAvDaemon(&conf), 0);
    EXPECT_TRUE(ql::test::waitUntil([&] { return !ql::test::processRuns(engine.pid()); }, 5000));
    EXPECT_NE(access(conf.socketPath, F_OK), 0);
    EXPECT_NE(access(conf.pidPath, F_OK), 0);
}

}  // namespace
