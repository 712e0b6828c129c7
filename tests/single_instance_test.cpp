#include "daemon/single_instance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <future>
#include <string>

#include "common/unique_fd.h"
#include "daemon/daemon_state.h"
#include "tests/support/daemon_fixture.h"

namespace {

using namespace ql::daemon;
using ql::test::readFile;
using ql::test::writeFile;

// A server on a Unix socket at path (replacing what was there) for one connection: it answers with
// answer (or closes at once when that is empty) and gives what it received, "" when nobody came
// within 5 s.
std::future<std::string> serveOnce(const std::string &path, const std::string &answer) {
    ql::UniqueFd listener = ql::test::listenAt(path);
    timeval bound{5, 0};
    setsockopt(listener.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    return std::async(std::launch::async, [listener = std::move(listener), answer] {
        ql::UniqueFd peer(accept(listener.get(), nullptr, nullptr));
        char buf[64];
        ssize_t n = peer ? recv(peer.get(), buf, sizeof buf, 0) : 0;
        if (peer && !answer.empty()) {
            (void)!send(peer.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    });
}

class SingleInstanceTest : public ql::test::DaemonFixture {
  protected:
    void SetUp() override { openDaemonLog(); }
    void TearDown() override { closeDaemonLog(); }

    // A pid that named a process which has ended and been reaped.
    static pid_t DeadPid() {
        pid_t pid = ql::test::forkAsNobody([] { return 0; });
        EXPECT_EQ(0, ql::test::waitForExit(pid, 10000));
        return pid;
    }
};

TEST_F(SingleInstanceTest, ReadPidFileTakesTheLeadingNumberOfSixteenBytes) {
    const std::pair<const char *, int32_t> rows[] = {{"1234", 1234},
                                                     {" 42\n", 42},
                                                     {"77abc", 77},
                                                     {"abc", 0},
                                                     {"", -1},
                                                     {"-3", -3},
                                                     {"12345678901234567", -1},
                                                     {"000000000000001299", 12}};
    for (const auto &[text, pid] : rows) {
        writeFile(PidPath(), text);
        EXPECT_EQ(pid, readPidFile(PidPath().c_str())) << text;
    }
    EXPECT_EQ(-1, readPidFile(root_.path("/missing").c_str()));
    EXPECT_EQ(-1, readPidFile(nullptr));
}

TEST_F(SingleInstanceTest, CheckPidFileAnswersOnlyForALiveProcess) {
    const std::pair<std::string, int32_t> rows[] = {{std::to_string(getpid()), 0},
                                                    {std::to_string(DeadPid()), -1},
                                                    {"0", -1},
                                                    {"no number", -1},
                                                    {"-1", -1}};
    for (const auto &[text, checked] : rows) {
        writeFile(PidPath(), text);
        EXPECT_EQ(checked, checkPidFile(PidPath().c_str())) << text;
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
    const std::pair<const char *, int32_t> rows[] = {
        {"100\n", 0},   {"100 OK\r\n", 0}, {"1 No such file or directory\n", -1},
        {"1000\n", -1}, {"", -1},
    };
    for (const auto &[answer, probed] : rows) {
        auto received = serveOnce(SockPath(), answer);
        EXPECT_EQ(probed, probeSocket(SockPath().c_str())) << answer;
        EXPECT_EQ(std::string("CHECK\r\n\0", 8), received.get()) << answer;
    }
    unlink(SockPath().c_str());
    writeFile(SockPath(), "a regular file");
    EXPECT_EQ(-1, probeSocket(SockPath().c_str()));
    EXPECT_EQ(-1, probeSocket("relative/socket"));
    EXPECT_EQ(-1, probeSocket(""));
    EXPECT_EQ(-1, probeSocket(root_.path("/missing").c_str()));
}

// With no live pid and no answer, and with a live pid but no answer, the checks are the
// daemon's own starts after a killed one and beside a running one (interfaced_test).
TEST_F(SingleInstanceTest, AnsweringSocketIsAnotherInstanceOrClearsAStalePidFile) {
    for (bool pidLive : {true, false}) {
        writeFile(PidPath(), std::to_string(pidLive ? getpid() : DeadPid()));
        std::string before = Log();
        auto received = serveOnce(SockPath(), "100\n");
        EXPECT_EQ(1, checkSingleInstance(SockPath().c_str(), PidPath().c_str())) << pidLive;
        received.get();
        EXPECT_EQ(before + (pidLive ? "Another instance of qornd already running.\n"
                                    : "Invalid pid path. Clearing existing pid file (if any)\n"),
                  Log());
        EXPECT_EQ(pidLive, access(PidPath().c_str(), F_OK) == 0) << pidLive;
    }
    EXPECT_EQ(-1, checkSingleInstance(nullptr, PidPath().c_str()));
    EXPECT_EQ(-1, checkSingleInstance(SockPath().c_str(), nullptr));
}

}  // namespace
