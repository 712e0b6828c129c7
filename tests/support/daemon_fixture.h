// End-to-end fixture for the interface daemon: a temporary installation root with the settings
// and engine files, the real interfaced (and qornd for the KAV engine) started and stopped
// through it, and verbs to talk to the daemon and read its log.
#ifndef QL_TESTS_SUPPORT_DAEMON_FIXTURE_H
#define QL_TESTS_SUPPORT_DAEMON_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/programs.h"

namespace ql::test {

class DaemonFixture : public ::testing::Test {
  protected:
    // Makes this process the reaper of the detached daemons, so their exit status can be read.
    DaemonFixture();
    // Kills what still runs and reaps it.
    ~DaemonFixture() override;

    // The settings file; the default holds only the section header and a RequestTimeout of 2.
    void WriteInterfaceConf(const std::string &text) const {
        root_.writeFixed("/opt/Quellar/etc/postwick/interface.conf", text);
    }
    // The version file's text ("2" KAV, "3" BD).
    void WriteVersion(const std::string &text) { engine_.writeVersion(text); }
    // The engine up, with the stand-ins' extra signature lines (tab-separated).
    bool UseEngine(Engine engine, const std::string &signatures = "") {
        return engine_.up(engine, signatures);
    }

    // Start interfaced and return the starting process's exit status (-1: no status within
    // bounds). The detached daemon is then found among this process's children.
    int StartDaemon();
    // Send request as is on one connection, end the sending side and return the whole reply
    // (see readReply; "" when the connection failed).
    std::string Ask(const std::string &request);
    // Send each request on a connection of its own as kNobody (a forked child without groups)
    // and return the replies ("" for one that failed). Makes the root folder searchable first.
    std::vector<std::string> AskAsNobody(const std::vector<std::string> &requests);
    // Connect without sending; the descriptor (or -1) is the caller's to close. With queueOnly the
    // connect does not wait for room in the backlog: -1 with errno EAGAIN when it is full.
    int ConnectSilently(bool queueOnly = false);
    // Send signal to the daemon and return its exit status (-1: it did not end within bounds).
    // SIGKILL leaves its files behind.
    int StopDaemon(int signal);

    std::string LogPath() const { return root_.path("/var/Quellar/var/log/interface.log"); }
    std::string Log() const { return readFile(LogPath()); }
    bool LogHas(const std::string &text) const { return Log().find(text) != std::string::npos; }
    // Wait (bounded) until the log, or the file at path, holds text.
    bool WaitForLog(const std::string &text, const std::string &path = "") const {
        const std::string &file = path.empty() ? LogPath() : path;
        return waitUntil([&] { return readFile(file).find(text) != std::string::npos; }, 10000);
    }

    // A file under the root's sample folder with content; returns its absolute path.
    std::string WriteSample(const std::string &name, const std::string &content) const {
        return engine_.sample(name, content);
    }

    std::string SockPath() const { return root_.path("/opt/Quellar/var/run/interface"); }
    std::string PidPath() const { return root_.path("/opt/Quellar/var/run/interface.pid"); }
    pid_t daemonPid() const { return daemonPid_; }

    EngineRoot engine_;
    const TempRoot &root_ = engine_.root();

  private:
    pid_t daemonPid_ = -1;
};

// Two connected ends of a Unix stream socket: the daemon's (or engine's) and its client's.
struct SocketPair {
    SocketPair() {
        int fds[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
        daemonEnd.reset(fds[0]);
        clientEnd.reset(fds[1]);
    }
    ql::UniqueFd daemonEnd;
    ql::UniqueFd clientEnd;
};

// A listening Unix socket at path (whatever was there removed first); a test's own server.
ql::UniqueFd listenAt(const std::string &path);

// Everything the peer sends on fd until it closes or resets the connection (a peer that leaves
// bytes unread resets it), followed by "<error text>" when reading failed or timed out.
std::string readReply(int fd);

}  // namespace ql::test

#endif  // QL_TESTS_SUPPORT_DAEMON_FIXTURE_H
