// The interface daemon's entry: start-up in named steps, the accept loop and the orderly stop.
// Every step that can fail is checked before the starting process is released; the starting
// process ends with the detached one's verdict on bind, listen and the pid file.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "api/engine_handle.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "daemon/daemon_state.h"
#include "daemon/instance.h"
#include "daemon/interface_conf.h"
#include "daemon/single_instance.h"
#include "support/detach.h"

namespace {

using namespace ql::daemon;

constexpr const char *kEngineConfFile = "/opt/Quellar/etc/qorn.conf";
constexpr int kAcceptPollMs = 5;  // 5000 microseconds
constexpr auto kReadyBound = std::chrono::milliseconds(1000);

const char *errnoText() {
    QL_SetError(errno);
    return QL_GetErrorText();
}

extern "C" void onTermSignal(int signal) {
    stopFlag.store(signal, std::memory_order_release);
}

// Log rotation: the entry reopens the log when it next looks at the flag.
extern "C" void onHangupSignal(int /*signal*/) {
    logReopenFlag.store(true, std::memory_order_release);
}

// A daemon started with a standard stream closed would get that number for its socket, and
// detaching would then put /dev/null over it.
void occupyStandardStreams() {
    for (;;) {
        int fd = open("/dev/null", O_RDWR);
        if (fd < 0 || fd > STDERR_FILENO) {
            if (fd >= 0) {
                close(fd);
            }
            return;
        }
    }
}

void installSignals() {
    struct sigaction action {};
    action.sa_handler = onTermSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = onHangupSignal;
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
    action.sa_flags = 0;
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}

bool readSettings(InterfaceSettings &settings) {
    char path[QL_PATH_MAX];
    if (ql::rootedPath(kInterfaceConfFile, path) < 0 || readInterfaceConf(path, &settings) < 0) {
        daemonLog("Config error\n");
        return false;
    }
    return true;
}

// A path the socket address cannot hold would have another path bound and probed; an empty one
// would bind a hidden abstract name that no client finds.
bool checkSocketPathFits(const InterfaceSettings &settings) {
    std::size_t length = std::strlen(settings.sockPath);
    if (length == 0 || length >= sizeof(sockaddr_un{}.sun_path)) {
        errno = length == 0 ? EINVAL : ENAMETOOLONG;
        daemonLog("SockErr(bind): %s\n", errnoText());
        return false;
    }
    return true;
}

ClientAccess clientAccessSetting(const InterfaceSettings &settings) {
    ClientAccess access = ClientAccess::kCheck;
    if (!clientAccessOf(settings.clientAccess, access)) {
        daemonLog("ConfErr(ClientAccess): invalid value %s, using check\n", settings.clientAccess);
    }
    return access;
}

ql::EngineHandle openEngine() {
    char path[QL_PATH_MAX];
    AVHandle handle = nullptr;
    if (ql::rootedPath(kEngineConfFile, path) >= 0) {
        handle = QL_InitAVHandle(path, nullptr, 0);
    }
    if (handle == nullptr) {
        daemonLog("Error Initializing AV\n");
    }
    return ql::EngineHandle(handle);
}

ql::UniqueFd createSocket() {
    ql::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        daemonLog("SockErr(socket): %s\n", errnoText());
    }
    return fd;
}

// Like daemon(0, 0), but the starting process waits for the verdict of the detached one (without
// a bound: the steps up to it do not block) and ends with it; the engine handle belongs to the
// detached process then. A failed step after this closes readiness unsaid, after its log line.
bool detach(ql::support::Readiness &readiness) {
    const char *failedCall = nullptr;
    readiness = ql::support::detach(-1, failedCall);
    if (!readiness || chdir("/") != 0) {
        daemonLog("Failed daemonizing\n");
        return false;
    }
    ql::support::redirectStandardStreams();
    return true;
}

// Without the access keys every local user may connect, as always. With them the socket gets the
// group first and then the mode; an unusable value is logged and its default taken.
void applySocketAccess(const InterfaceSettings &settings) {
    if (!socketAccessConfigured(settings)) {
        (void)chmod(settings.sockPath, kDefaultSockMode);
        return;
    }
    gid_t group = 0;
    if (settings.sockGroup[0] != '\0') {
        if (!socketGroupOf(settings.sockGroup, &group)) {
            daemonLog("SockErr(group): no group %s, socket group left as is\n", settings.sockGroup);
        } else if (chown(settings.sockPath, static_cast<uid_t>(-1), group) != 0) {
            daemonLog("SockErr(chown): %s\n", errnoText());
        }
    }
    int32_t mode = socketModeOf(settings.sockMode);
    if (mode < 0) {
        daemonLog("SockErr(mode): invalid mode %s, using 0777\n", settings.sockMode);
        mode = kDefaultSockMode;
    }
    if (chmod(settings.sockPath, static_cast<mode_t>(mode)) != 0) {
        daemonLog("SockErr(chmod): %s\n", errnoText());
    }
}

bool bindSocket(int fd, const InterfaceSettings &settings) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ql::copyBounded(address.sun_path, settings.sockPath);
    (void)unlink(settings.sockPath);
    auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(settings.sockPath));
    // A restricted socket is born owner-only, so it is never wider open than asked for. No other
    // thread runs yet to be surprised by the process-wide mask.
    bool restricted = socketAccessConfigured(settings);
    mode_t previousMask = restricted ? umask(0177) : 0;
    int bound = bind(fd, reinterpret_cast<sockaddr *>(&address), length);
    int bindError = errno;
    if (restricted) {
        (void)umask(previousMask);
    }
    if (bound != 0) {
        errno = bindError;
        daemonLog("SockErr(bind): %s\n", errnoText());
        return false;
    }
    applySocketAccess(settings);
    return true;
}

bool listenSocket(int fd, const InterfaceSettings &settings) {
    if (listen(fd, settings.maxInstances) != 0) {
        daemonLog("SockErr(listen): %s\n", errnoText());
        return false;
    }
    return true;
}

bool startInstances(InstancePool &pool, AVHandle handle, const InterfaceSettings &settings) {
    if (!pool.start(handle, settings.requestTimeout, clientAccessSetting(settings),
                    settings.replies)) {
        stopFlag.store(kStoppedByDaemon, std::memory_order_release);
        return false;
    }
    pool.waitReady(kReadyBound);
    return true;
}

bool makeNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool connectionWaiting(int listenFd) {
    pollfd waiting{listenFd, POLLIN, 0};
    return poll(&waiting, 1, kAcceptPollMs) > 0;
}

bool isTransientAcceptError(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED ||
           error == EPROTO;
}

// Out of descriptors or memory: give an instance the chance to close one before trying again.
bool isResourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void serve(int listenFd, InstancePool &pool) {
    while (!stopRequested()) {
        serviceLogReopen();
        if (!connectionWaiting(listenFd)) {
            continue;
        }
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            pool.handOver(fd);
        } else if (isResourceShortage(errno)) {
            pool.waitRelease(std::chrono::microseconds(5000));
        } else if (!isTransientAcceptError(errno)) {
            daemonLog("SockErr(accept): %s\n", errnoText());
            return;
        }
    }
}

void stop(InstancePool &pool, const InterfaceSettings &settings) {
    int seen = 0;
    if (!stopFlag.compare_exchange_strong(seen, kStoppedByDaemon) && seen > 0) {
        daemonLog("Term ditected\n");
    }
    int32_t abandoned = pool.stopAll(std::chrono::seconds(settings.stopTimeout));
    (void)unlink(settings.sockPath);
    removePidFile(settings.pidFilePath);
    if (abandoned > 0) {
        // Threads still inside the engine use the pool, the engine and the log: end the process
        // without releasing what they hold.
        _exit(0);
    }
}

// Closes the log when the entry ends, after everything declared later has been released.
struct DaemonLogGuard {
    DaemonLogGuard() { openDaemonLog(); }
    ~DaemonLogGuard() { closeDaemonLog(); }
    DaemonLogGuard(const DaemonLogGuard &) = delete;
    DaemonLogGuard &operator=(const DaemonLogGuard &) = delete;
};

int run() {
    occupyStandardStreams();
    InterfaceSettings settings = defaultSettings();
    installSignals();
    DaemonLogGuard log;
    if (!readSettings(settings) || !checkSocketPathFits(settings)) {
        return 1;
    }
    if (checkSingleInstance(settings.sockPath, settings.pidFilePath) != 0) {
        return 1;
    }
    ql::EngineHandle engine = openEngine();
    if (!engine) {
        return 1;
    }
    InstancePool pool;
    if (!pool.allocate(settings.maxInstances)) {
        return 1;
    }
    ql::UniqueFd listenFd = createSocket();
    if (!listenFd) {
        return 1;
    }
    ql::support::Readiness readiness;
    if (!detach(readiness)) {
        return 1;
    }
    if (!bindSocket(listenFd.get(), settings) || !listenSocket(listenFd.get(), settings)) {
        return 1;
    }
    (void)writePidFile(settings.pidFilePath);
    readiness.ready();
    if (startInstances(pool, engine.get(), settings) && makeNonBlocking(listenFd.get())) {
        serve(listenFd.get(), pool);
    }
    stop(pool, settings);
    return 0;
}

}  // namespace

int main() {
    return run();
}
