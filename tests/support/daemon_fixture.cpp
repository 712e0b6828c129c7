#include "tests/support/daemon_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "common/iface_utils.h"
#include "tests/support/emulator.h"

namespace ql::test {

namespace {

constexpr int kStartBoundMs = 10000;

// Under user-mode emulation on a loaded CI machine a stop has once taken longer than 10 s.
int stopBoundMs() {
    return testEmulator() != nullptr ? 30000 : 10000;
}

// The child of this process (reaped daemons come back to it) whose command is name, or -1.
pid_t childNamed(const std::string &name) {
    std::error_code ec;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::istringstream children(readFile(task.path().string() + "/children"));
        pid_t pid;
        while (children >> pid) {
            if (processIsProgram(pid, name)) {
                return pid;
            }
        }
    }
    return -1;
}

// One line per thread of pid: its id, its state, where in the kernel it sleeps and the system
// call it is in (number and arguments), which shows what a stuck stop waits for.
std::string threadStates(pid_t pid) {
    std::string states;
    std::error_code ec;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto &task : std::filesystem::directory_iterator(tasks, ec)) {
        std::string dir = task.path().string();
        char state = stateIn(dir + "/stat");
        states += task.path().filename().string() + " " + (state != '\0' ? state : '?') + " " +
                  readFile(dir + "/wchan") + " " + readFile(dir + "/syscall");
        if (states.back() != '\n') {
            states += '\n';
        }
    }
    return states;
}

}  // namespace

DaemonFixture::DaemonFixture() {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    setenv("QL_ENGINE_TIMEOUT_MS", "3000", 1);
    WriteInterfaceConf("[postwicker]\nRequestTimeout=2\n");
}

DaemonFixture::~DaemonFixture() {
    StopDaemon(SIGKILL);
    engine_.stopEngine();
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

int DaemonFixture::StartDaemon() {
    int status = runProgram(builtProgram("interfaced"), {}, kStartBoundMs).status;
    if (status == 0) {
        daemonPid_ = childNamed("interfaced");
        if (daemonPid_ <= 0) {
            // A test signals daemonPid(): -1 would reach every process it may signal.
            ADD_FAILURE() << "the started interfaced is not among this process's children";
            status = -1;
        }
    }
    return status;
}

ql::UniqueFd listenAt(const std::string &path) {
    unlink(path.c_str());
    ql::UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    EXPECT_TRUE(ql::copyBounded(address.sun_path, path)) << "socket path too long: " << path;
    EXPECT_EQ(0, bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address));
    EXPECT_EQ(0, listen(listener.get(), 8));
    return listener;
}

std::string readReply(int fd) {
    std::string reply;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        reply.append(buf, static_cast<size_t>(n));
    }
    if (n == 0 || errno == ECONNRESET) {
        return reply;
    }
    return reply + "<" + std::strerror(errno) + ">";
}

std::string DaemonFixture::Ask(const std::string &request) {
    int fd = ConnectSilently();
    if (fd < 0) {
        return "";
    }
    std::string reply;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size()) &&
        shutdown(fd, SHUT_WR) == 0) {
        reply = readReply(fd);
    }
    close(fd);
    return reply;
}

// The child sends the replies back through a pipe, each ended by a NUL (replies hold none).
std::vector<std::string> DaemonFixture::AskAsNobody(const std::vector<std::string> &requests) {
    int ends[2];
    if (chmod(root_.root().c_str(), 0711) != 0 || pipe(ends) != 0) {
        ADD_FAILURE() << "cannot prepare a client of kNobody";
        return std::vector<std::string>(requests.size());
    }
    pid_t child = forkAsNobody([&] {
        close(ends[0]);
        for (const std::string &request : requests) {
            std::string reply = Ask(request) + '\0';
            if (write(ends[1], reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
                return 1;
            }
        }
        return 0;
    });
    close(ends[1]);
    std::istringstream sent(readReply(ends[0]));
    close(ends[0]);
    std::vector<std::string> replies(requests.size());
    for (std::string &reply : replies) {
        std::getline(sent, reply, '\0');
    }
    EXPECT_EQ(0, waitForExit(child, 60000)) << "the client of kNobody failed";
    return replies;
}

int DaemonFixture::ConnectSilently(bool queueOnly) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (queueOnly ? SOCK_NONBLOCK : 0), 0);
    timeval bound{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ql::copyBounded(address.sun_path, SockPath());
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    fcntl(fd, F_SETFL, 0);
    return fd;
}

int DaemonFixture::StopDaemon(int signal) {
    if (daemonPid_ <= 0) {
        return -1;
    }
    kill(daemonPid_, signal);
    int status = waitForExit(daemonPid_, stopBoundMs());
    if (status >= 0) {
        daemonPid_ = -1;
        return status;
    }
    // The threads and the log say where the stop got to; without them a slow stop on a loaded
    // machine and a hung one look alike.
    std::string log = Log();
    std::size_t from = log.size() > 4096 ? log.size() - 4096 : 0;
    ADD_FAILURE() << "interfaced " << daemonPid_ << " did not end within " << stopBoundMs()
                  << " ms of signal " << signal << "; its threads:\n"
                  << threadStates(daemonPid_) << "the end of its log:\n"
                  << log.substr(from);
    return status;
}

}  // namespace ql::test
