#include "daemon/single_instance.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "daemon/daemon_state.h"

namespace ql::daemon {

namespace {

constexpr char kProbe[] = "CHECK\r\n";  // sent with its NUL: 8 bytes
constexpr int kProbeAnswer = 100;
constexpr int kPidBytes = 16;
constexpr int kReplyBytes = 256;
// A running daemon answers the probe like a request; a server that never answers must not hold
// start-up for ever.
constexpr time_t kProbeBoundSeconds = 5;

bool isAbsolute(const char *path) {
    return path != nullptr && path[0] == '/';
}

ssize_t readRetrying(int fd, char *buf, size_t len) {
    ssize_t n;
    do {
        n = read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

void boundSocketWaits(int fd) {
    timeval bound{kProbeBoundSeconds, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
}

}  // namespace

int32_t readPidFile(const char *path) {
    if (path == nullptr) {
        return -1;
    }
    ql::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return -1;
    }
    char text[kPidBytes + 1] = {};
    ssize_t n = readRetrying(fd.get(), text, kPidBytes);
    if (n <= 0) {
        return -1;
    }
    long long pid = leadingNumber(text);
    if (pid > INT32_MAX || pid < INT32_MIN) {
        return -1;
    }
    return static_cast<int32_t>(pid);
}

int32_t checkPidFile(const char *path) {
    struct stat st;
    if (!isAbsolute(path) || stat(path, &st) != 0) {
        return -1;
    }
    int32_t pid = readPidFile(path);
    // kill(0, 0) would ask about our own process group and always succeed.
    if (pid <= 0) {
        return -1;
    }
    return kill(pid, 0) == 0 ? 0 : -1;
}

int32_t probeSocket(const char *path) {
    struct stat st;
    if (!isAbsolute(path) || access(path, R_OK | W_OK) != 0 || stat(path, &st) != 0 ||
        !S_ISSOCK(st.st_mode)) {
        return -1;
    }
    ql::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return -1;
    }
    boundSocketWaits(fd.get());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ql::copyBounded(address.sun_path, path);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        return -1;
    }
    if (send(fd.get(), kProbe, sizeof kProbe, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(sizeof kProbe)) {
        return -1;
    }
    char reply[kReplyBytes] = {};
    ssize_t n;
    do {
        n = recv(fd.get(), reply, sizeof reply, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return -1;
    }
    reply[n - 1] = '\0';
    return leadingNumber(reply) == kProbeAnswer ? 0 : -1;
}

int32_t checkSingleInstance(const char *sockPath, const char *pidFilePath) {
    if (sockPath == nullptr || pidFilePath == nullptr) {
        return -1;
    }
    bool pidLive = checkPidFile(pidFilePath) == 0;
    bool socketAnswers = probeSocket(sockPath) == 0;
    if (pidLive && socketAnswers) {
        daemonLog("Another instance of qornd already running.\n");
        return 1;
    }
    if (socketAnswers) {
        daemonLog("Invalid pid path. Clearing existing pid file (if any)\n");
        removePidFile(pidFilePath);
        return 1;
    }
    if (pidLive) {
        daemonLog("Invalid sock path or some file already existing on path\n");
        return -1;
    }
    return 0;
}

int32_t writePidFile(const char *path) {
    if (path == nullptr) {
        return -1;
    }
    (void)unlink(path);
    ql::UniqueFd fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        return -1;
    }
    char text[16];
    ql::formatBounded(text, sizeof text, "%d", static_cast<int>(getpid()));
    auto len = static_cast<ssize_t>(std::strlen(text));
    if (write(fd.get(), text, static_cast<size_t>(len)) != len) {
        return -1;
    }
    return close(fd.release()) == 0 ? 0 : -1;
}

void removePidFile(const char *path) {
    if (path != nullptr) {
        (void)unlink(path);
    }
}

}  // namespace ql::daemon
