#include "kav/kav_daemon_iface.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "kav/kav_reply.h"

namespace ql::kav {

namespace {

constexpr int kDefaultTimeoutMs = 120000;
constexpr int kEpipeRetries = 2;
constexpr unsigned kLineLimit = 2048;
constexpr std::size_t kPidTextMax = 12;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Wait until fd is ready for events or the deadline passes. 1 ready, 0 timed out, -1 error.
int waitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, remainingMs(deadline));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 ? -1 : (n == 0 ? 0 : 1);
    }
}

bool isLiveProcess(int pid) {
    char statPath[64];
    formatBounded(statPath, sizeof statPath, "/proc/%d", pid);
    struct stat st {};
    if (::stat(statPath, &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        QL_Log(nullptr, QL_LOG_INFO, "qorn is dead. Invalid pid %d\n", pid);
        return false;
    }
    // A killed daemon nobody reaped still has its entry, but no program any more: it takes no
    // connection. (One look at its program link: reading its stat line costs several times more.)
    // A caller without the right to look at another user's process counts it as running.
    formatBounded(statPath, sizeof statPath, "/proc/%d/exe", pid);
    return ::stat(statPath, &st) == 0 || errno != ENOENT;
}

}  // namespace

int leadingNumber(const char *text) {
    return ql::leadingInt(text);
}

int connectSocket(const char *socketPath) {
    std::size_t len = std::strlen(socketPath);
    sockaddr_un addr{};
    if (len >= sizeof addr.sun_path) {
        QL_Log(nullptr, QL_LOG_INFO, "Connected Failed. %s\n", std::strerror(ENAMETOOLONG));
        return QL_SetError(ENAMETOOLONG);
    }
    UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        QL_Log(nullptr, QL_LOG_INFO, "create socket error: %s\n", std::strerror(errno));
        return setErrnoError();
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath, len);
    auto addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    if (::connect(sock.get(), reinterpret_cast<const sockaddr *>(&addr), addrLen) != 0) {
        QL_Log(nullptr, QL_LOG_INFO, "Connected Failed. %s\n", std::strerror(errno));
        return setErrnoError();
    }
    return sock.release();
}

int engineTimeoutMs() {
    const char *text = std::getenv("QL_ENGINE_TIMEOUT_MS");
    if (text == nullptr || *text == '\0') {
        return kDefaultTimeoutMs;
    }
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value <= 0 || value > INT_MAX) {
        return kDefaultTimeoutMs;
    }
    return static_cast<int>(value);
}

bool isFinalCode(int code) {
    int cls = code / 100;
    return (cls == 2 && code > 0) || cls == 4 || cls == 5;
}

bool isLineSafe(const char *text) {
    return std::strpbrk(text, "\r\n") == nullptr;
}

ReplyOutcome readReply(LineReader &reader, ReplyLineFn fn, void *context1, void *context2) {
    ReplyOutcome out;
    char line[kLineLimit] = {};
    // One bound for the whole reply: an engine that trickles lines must not hold a scan forever.
    auto deadline = Clock::now() + std::chrono::milliseconds(engineTimeoutMs());
    for (bool first = true;; first = false) {
        int count = reader.readLine(line, kLineLimit, deadline);
        if (count <= 4) {
            out.closed = count == 0 || (count < 0 && lastErrorCode() == ECONNRESET);
            out.endedBeforeFirstByte = first && out.closed;
            if (out.code < 0) {
                QL_SetError(QLE_AV_CONNECT);
            }
            return out;
        }
        out.code = fn != nullptr ? fn(line, context1, context2) : leadingNumber(line);
        if (isFinalCode(out.code)) {
            out.complete = true;
            return out;
        }
    }
}

int readLineBy(int sock, char *buf, unsigned limit, Clock::time_point deadline) {
    if (buf == nullptr || limit == 0) {
        return QL_SetError(EINVAL);
    }
    unsigned counter = 1;
    unsigned stored = 0;
    while (counter < limit) {
        int ready = waitReady(sock, POLLIN, deadline);
        if (ready <= 0) {
            return ready == 0 ? QL_SetError(ETIMEDOUT) : setErrnoError();
        }
        char byte = 0;
        ssize_t n = read(sock, &byte, 1);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return setErrnoError();
        }
        if (n == 0) {
            if (stored == 0) {
                return 0;
            }
            break;
        }
        buf[stored++] = byte;
        if (byte == '\n') {
            counter = stored;
            break;
        }
        ++counter;
    }
    buf[stored] = '\0';
    return static_cast<int>(counter);
}

}  // namespace ql::kav

using ql::kav::engineTimeoutMs;

extern "C" {

int QL_readProcessPid(const char *path) {
    if (path == nullptr) {
        return QL_SetError(EINVAL);
    }
    ql::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return ql::setErrnoError();
    }
    // Only the first characters of the first line are kept: one read of that many is enough.
    char text[ql::kav::kPidTextMax] = {};
    ssize_t n;
    do {
        n = read(fd.get(), text, sizeof text - 1);
    } while (n < 0 && errno == EINTR);
    text[n > 0 ? n : 0] = '\0';
    text[std::strcspn(text, "\n")] = '\0';
    return ql::kav::leadingNumber(text);
}

int QL_isDaemonRunning(const KAVScannerConf *conf) {
    if (conf == nullptr) {
        return 0;
    }
    if (access(conf->socketPath, R_OK | W_OK) != 0 || access(conf->pidPath, R_OK) != 0) {
        QL_Log(nullptr, QL_LOG_INFO, "qorn is dead or closed\n");
        return 0;
    }
    int pid = QL_readProcessPid(conf->pidPath);
    if (pid == -1) {
        QL_Log(nullptr, QL_LOG_INFO, "Can not open pid file %s\n", conf->pidPath);
        return 0;
    }
    return pid > 0 && ql::kav::isLiveProcess(pid) ? 1 : 0;
}

int QL_addArgs(char **args, int index, const char *text) {
    if (args == nullptr || index < 0) {
        return QL_SetError(EINVAL);
    }
    args[index] = nullptr;
    if (text != nullptr) {
        args[index] = strdup(text);
        if (args[index] == nullptr) {
            return QL_SetError(ENOMEM);
        }
    }
    return index + 1;
}

void QL_freeArgs(char **args, int count) {
    if (args == nullptr) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        std::free(args[i]);
        args[i] = nullptr;
    }
}

int QL_StartAvDaemon(const char *confPath) {
    if (confPath == nullptr) {
        return QL_SetError(EINVAL);
    }
    char program[QL_PATH_MAX];
    char workDir[QL_PATH_MAX];
    if (ql::rootedPath(ql::kav::kDaemonProgram, program) < 0 ||
        ql::rootedPath(ql::kav::kDaemonWorkDir, workDir) < 0) {
        return -1;
    }
    char *args[4] = {};
    auto freeArgs = ql::ScopeGuard([&args] { QL_freeArgs(args, 4); });
    int next = QL_addArgs(args, 0, "qorn");
    next = next < 0 ? next : QL_addArgs(args, next, "-c");
    next = next < 0 ? next : QL_addArgs(args, next, confPath);
    next = next < 0 ? next : QL_addArgs(args, next, nullptr);
    if (next < 0) {
        return -1;
    }
    pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        // Only async-signal-safe calls here: the parent may have had other threads. The
        // diagnostic of a failed exec goes to no logger, so nothing is written.
        (void)!chdir(workDir);
        execv(program, args);
        _exit(255);
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

int QL_StopAvDaemon(const KAVScannerConf *conf) {
    if (conf == nullptr) {
        return 0;
    }
    int pid = QL_readProcessPid(conf->pidPath);
    if (pid <= 0) {
        QL_Log(nullptr, QL_LOG_INFO, "Error! Can not read pid of QORN\n");
        return -1;
    }
    kill(pid, SIGTERM);
    kill(pid, SIGKILL);
    unlink(conf->socketPath);
    unlink(conf->pidPath);
    return 0;
}

int QL_AvDaemonConnect(const char *socketPath) {
    if (socketPath == nullptr) {
        return -1;
    }
    if (access(socketPath, R_OK | W_OK) != 0) {
        QL_Log(nullptr, QL_LOG_INFO, "AV Services not started\n");
        return -1;
    }
    int sock = ql::kav::connectSocket(socketPath);
    if (sock < 0) {
        return -1;
    }
    QL_Log(nullptr, QL_LOG_INFO, "Connected to AV service...\n");
    DaemonInfo greeting{};
    (void)QL_ProcessDaemonReturnMessage(sock, QL_daemonInfoCallback, nullptr, &greeting);
    return sock;
}

void QL_AvDaemonDisconnect(int sock) {
    if (sock < 0) {
        return;
    }
    if (QL_SendDaemonCommand(sock, "QUIT\r\n") == 0) {
        (void)QL_ProcessDaemonReturnMessage(sock, nullptr, nullptr, nullptr);
    }
    close(sock);
    QL_Log(nullptr, QL_LOG_INFO, "Avp disconnected from to kavdaemon\n");
}

int QL_SendDaemonCommand(int sock, const char *command) {
    if (command == nullptr || sock < 0) {
        return QL_SetError(EINVAL);
    }
    std::string_view rest(command);
    auto deadline = ql::kav::Clock::now() + std::chrono::milliseconds(engineTimeoutMs());
    int epipes = 0;
    while (!rest.empty()) {
        ssize_t n = send(sock, rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            rest.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (errno == EINTR || (errno == EPIPE && ++epipes <= ql::kav::kEpipeRetries)) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return ql::setErrnoError();
        }
        int ready = ql::kav::waitReady(sock, POLLOUT, deadline);
        if (ready <= 0) {
            return ready == 0 ? QL_SetError(ETIMEDOUT) : ql::setErrnoError();
        }
    }
    return 0;
}

int QL_readline(int sock, char *buf, unsigned int limit) {
    return ql::kav::readLineBy(
        sock, buf, limit, ql::kav::Clock::now() + std::chrono::milliseconds(engineTimeoutMs()));
}

int QL_ProcessDaemonReturnMessage(int sock, ReplyLineFn fn, void *context1, void *context2) {
    if (sock < 0) {
        return QL_SetError(EINVAL);
    }
    ql::kav::FdLineReader reader(sock);
    return ql::kav::readReply(reader, fn, context1, context2).code;
}

int QL_GetDaemonInfo(int sock, DaemonInfo *info) {
    if (sock < 0 || info == nullptr) {
        return QL_SetError(EINVAL);
    }
    if (QL_SendDaemonCommand(sock, "INFO\r\n") < 0) {
        return -1;
    }
    return QL_ProcessDaemonReturnMessage(sock, QL_daemonInfoCallback, nullptr, info) < 0 ? -1 : 0;
}

}  // extern "C"

namespace {

// Fixed-width field: zero-filled, terminated only when shorter than the field.
template <std::size_t N>
void copyZeroFilled(char (&dst)[N], std::string_view src) {
    std::memset(dst, 0, N);
    std::memcpy(dst, src.data(), src.size() < N ? src.size() : N);
}

}  // namespace

extern "C" int QL_daemonInfoCallback(char *line, void * /*context1*/, void *context2) {
    if (line == nullptr) {
        return -1;
    }
    int code = ql::kav::leadingNumber(line);
    if (code != ql::kav::kReplyInfo || context2 == nullptr) {
        return code;
    }
    auto *info = static_cast<DaemonInfo *>(context2);
    int field = 0;
    for (char *save = nullptr, *word = strtok_r(line, " ", &save); word != nullptr;
         word = strtok_r(nullptr, " ", &save)) {
        switch (++field) {
            case 2:
                info->number1 = ql::kav::leadingNumber(word);
                break;
            case 4:
                info->byteValue = static_cast<uint8_t>(ql::kav::leadingNumber(word) & 0xFF);
                break;
            case 5:
                copyZeroFilled(info->shortText, word);
                break;
            case 6:
                info->number2 = ql::kav::leadingNumber(word);
                break;
            case 7:
                copyZeroFilled(info->longText, word);
                break;
            default:
                break;
        }
    }
    return ql::kav::kReplyInfo;
}
