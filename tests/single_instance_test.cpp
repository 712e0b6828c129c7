#include "daemon/single_instance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "daemon/daemon_state.h"
#include "tests/support/temp_root.h"

namespace {

using namespace ql::daemon;
using ql::test::readFile;
using ql::test::writeFile;

// A server on a Unix socket that answers one connection with a fixed text (or closes at once
// when the text is empty) and remembers what it received.
class ScriptedServer {
  public:
    ScriptedServer(const std::string &path, std::string answer) : answer_(std::move(answer)) {
        listen_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ql::copyBounded(address.sun_path, path);
        EXPECT_EQ(0, bind(listen_.get(), reinterpret_cast<sockaddr *>(&address), sizeof address));
        EXPECT_EQ(0, listen(listen_.get(), 4));
        thread_ = std::thread([this] { ServeOne(); });
    }
    ~ScriptedServer() {
        shutdown(listen_.get(), SHUT_RDWR);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // What the server received from its one client; waits until it has answered.
    std::string received() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return received_;
    }

  private:
    void ServeOne() {
        ql::UniqueFd peer(accept(listen_.get(), nullptr, nullptr));
        if (!peer) {
            return;
        }
        char buf[64];
        ssize_t n = recv(peer.get(), buf, sizeof buf, 0);
        if (n > 0) {
            received_.assign(buf, static_cast<size_t>(n));
        }
        if (!answer_.empty()) {
            (void)!send(peer.get(), answer_.data(), answer_.size(), MSG_NOSIGNAL);
        }
    }

    ql::UniqueFd listen_;
    std::string answer_;
    std::string received_;
    std::thread thread_;
};

class SingleInstanceTest : public ::testing::Test {
  protected:
    void SetUp() override { openDaemonLog(); }
    void TearDown() override { closeDaemonLog(); }

    std::string Log() const { return readFile(root_.path("/var/Quellar/var/log/interface.log")); }
    std::string PidPath() const { return root_.path("/opt/Quellar/var/run/interface.pid"); }
    std::string SockPath() const { return root_.path("/opt/Quellar/var/run/interface"); }

    // A pid that named a process which has ended and been reaped.
    static pid_t DeadPid() {
        pid_t pid = fork();
        if (pid == 0) {
            _exit(0);
        }
        waitpid(pid, nullptr, 0);
        return pid;
    }

    ql::test::TempRoot root_;
};

TEST_F(SingleInstanceTest, ReadPidFileTakesTheLeadingNumberOfSixteenBytes) {
    struct Case {
        const char *text;
        int32_t pid;
    };
    const Case cases[] = {
        {"1234", 1234},
        {" 42\n", 42},
        {"77abc", 77},
        {"abc", 0},
        {"", -1},
        {"-3", -3},
        {"12345678901234567", -1},
        {"000000000000001299", 12},
    };
    for (const Case &c : cases) {
        writeFile(PidPath(), c.text);
        EXPECT_EQ(c.pid, readPidFile(PidPath().c_str())) << c.text;
    }
    EXPECT_EQ(-1, readPidFile(root_.path("/missing").c_str()));
    EXPECT_EQ(-1, readPidFile(nullptr));
}

TEST_F(SingleInstanceTest, CheckPidFileAnswersOnlyForALiveProcess) {
    struct Case {
        std::string text;
        int32_t expected;
    };
    const Case cases[] = {
        {std::to_string(getpid()), 0},
        {std::to_string(DeadPid()), -1},
        {"0", -1},
        {"no number", -1},
        {"-1", -1},
    };
    for (const Case &c : cases) {
        writeFile(PidPath(), c.text);
        EXPECT_EQ(c.expected, checkPidFile(PidPath().c_str())) << c.text;
    }
    EXPECT_EQ(-1, checkPidFile("relative.pid"));
    EXPECT_EQ(-1, checkPidFile(""));
    EXPECT_EQ(-1, checkPidFile(root_.path("/missing").c_str()));
}

TEST_F(SingleInstanceTest, WritePidFileReplacesTheFileWithTheBarePidNeverThroughALink) {
    writeFile(PidPath(), "old content that is longer");
    ASSERT_EQ(0, writePidFile(PidPath().c_str()));
    EXPECT_EQ(std::to_string(getpid()), readFile(PidPath()));
    EXPECT_EQ(-1, writePidFile(nullptr));
    EXPECT_EQ(-1, writePidFile(root_.path("/no/such/dir/x.pid").c_str()));
    removePidFile(PidPath().c_str());
    EXPECT_NE(0, access(PidPath().c_str(), F_OK));
    removePidFile(nullptr);

    std::string target = root_.path("/target");
    writeFile(target, "keep");
    ASSERT_EQ(0, symlink(target.c_str(), PidPath().c_str()));
    ASSERT_EQ(0, writePidFile(PidPath().c_str()));
    EXPECT_EQ("keep", readFile(target));
    EXPECT_EQ(std::to_string(getpid()), readFile(PidPath()));
}

TEST_F(SingleInstanceTest, ProbeSendsCheckToAnAbsoluteSocketAndAcceptsOnlyOneHundred) {
    struct Case {
        const char *answer;
        int32_t expected;
    };
    const Case cases[] = {
        {"100\n", 0},   {"100 OK\r\n", 0}, {"1 No such file or directory\n", -1},
        {"1000\n", -1}, {"", -1},
    };
    for (const Case &c : cases) {
        unlink(SockPath().c_str());
        ScriptedServer server(SockPath(), c.answer);
        EXPECT_EQ(c.expected, probeSocket(SockPath().c_str())) << c.answer;
        EXPECT_EQ(std::string("CHECK\r\n\0", 8), server.received()) << c.answer;
    }
    unlink(SockPath().c_str());
    writeFile(SockPath(), "a regular file");
    EXPECT_EQ(-1, probeSocket(SockPath().c_str()));
    EXPECT_EQ(-1, probeSocket("relative/socket"));
    EXPECT_EQ(-1, probeSocket(""));
    EXPECT_EQ(-1, probeSocket(root_.path("/missing").c_str()));
}

TEST_F(SingleInstanceTest, DecisionTableOfPidFileAndSocket) {
    struct Case {
        bool pidLive;
        bool socketAnswers;
        int32_t expected;
        const char *line;  // nullptr: nothing logged
        bool pidFileRemoved;
    };
    const Case cases[] = {
        {false, false, 0, nullptr, false},
        {true, true, 1, "Another instance of qornd already running.\n", false},
        {false, true, 1, "Invalid pid path. Clearing existing pid file (if any)\n", true},
        {true, false, -1, "Invalid sock path or some file already existing on path\n", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "pid live " << c.pidLive << ", socket " << c.socketAnswers);
        unlink(SockPath().c_str());
        writeFile(PidPath(), std::to_string(c.pidLive ? getpid() : DeadPid()));
        std::string before = Log();
        int32_t result;
        if (c.socketAnswers) {
            ScriptedServer server(SockPath(), "100\n");
            result = checkSingleInstance(SockPath().c_str(), PidPath().c_str());
        } else {
            result = checkSingleInstance(SockPath().c_str(), PidPath().c_str());
        }
        EXPECT_EQ(c.expected, result);
        EXPECT_EQ(before + (c.line != nullptr ? c.line : ""), Log());
        EXPECT_EQ(c.pidFileRemoved, access(PidPath().c_str(), F_OK) != 0);
    }
    EXPECT_EQ(-1, checkSingleInstance(nullptr, PidPath().c_str()));
    EXPECT_EQ(-1, checkSingleInstance(SockPath().c_str(), nullptr));
}

}  // namespace
