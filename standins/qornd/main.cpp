// qornd: the stand-in engine daemon. Started as "qornd -c <engine configuration>", it reads
// LocalSocketPath, AVSpidPATH and BasesPath from the section [path], loads the signatures of
// <BasesPath>/Plugins/signatures.txt, listens, detaches, and serves every connection on a
// thread of its own until SIGTERM or SIGINT. The starting process exits 0 only once the socket
// listens and the pid file is written, 1 when anything before that fails.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/iface_conf.h"
#include "common/unique_fd.h"
#include "standins/common/matcher.h"
#include "standins/common/signatures.h"
#include "standins/qornd/session.h"
#include "support/detach.h"

namespace {

constexpr std::size_t kMaxClients = 256;
constexpr int kAcceptPollMs = 200;
constexpr int kReadyWaitMs = 10000;
constexpr auto kDrainBound = std::chrono::seconds(2);

std::atomic<bool> stopping{false};

void onStopSignal(int) {
    stopping.store(true);
}

struct Settings {
    std::string socketPath;
    std::string pidPath;
    std::string signatureFile;
};

bool readSettings(const char *confPath, Settings &settings) {
    char kav[QL_CONF_BLOCK_SIZE] = {};
    char bd[QL_CONF_BLOCK_SIZE] = {};
    if (QL_getKAVScannerConf(confPath, kav) < 0 || QL_getBDScannerConf(confPath, bd) < 0) {
        std::fprintf(stderr, "qornd: cannot read %s: %s\n", confPath, QL_GetErrorText());
        return false;
    }
    settings.socketPath = kav;
    settings.pidPath = kav + QL_VALUE_MAX;
    if (settings.socketPath.empty() || settings.pidPath.empty() || bd[0] == '\0') {
        std::fprintf(stderr, "qornd: %s lacks LocalSocketPath, AVSpidPATH or BasesPath in [path]\n",
                     confPath);
        return false;
    }
    settings.signatureFile = std::string(bd) + "/signatures.txt";  // bd holds BasesPath/Plugins
    return true;
}

// A socket file left by a daemon that died is removed; one somebody listens on is not.
bool clearStaleSocket(const std::string &path, const sockaddr_un &addr) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return true;
    }
    if (!S_ISSOCK(st.st_mode)) {
        std::fprintf(stderr, "qornd: %s exists and is not a socket\n", path.c_str());
        return false;
    }
    ql::UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe &&
        connect(probe.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) {
        std::fprintf(stderr, "qornd: another engine daemon listens on %s\n", path.c_str());
        return false;
    }
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

ql::UniqueFd listenOn(const std::string &path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "qornd: socket path too long: %s\n", path.c_str());
        return {};
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    if (!clearStaleSocket(path, addr)) {
        return {};
    }
    ql::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd || bind(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd.get(), 128) != 0) {
        std::fprintf(stderr, "qornd: cannot listen on %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return {};
    }
    return fd;
}

bool writePidFile(const std::string &path) {
    unlink(path.c_str());
    ql::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    std::string text = std::to_string(getpid()) + "\n";
    return fd && write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Fork; the starting process ends with 0 once the detached one is ready, 1 otherwise.
ql::support::Readiness detach() {
    const char *failedCall = "detach";
    ql::support::Readiness readiness = ql::support::detach(kReadyWaitMs, failedCall);
    if (!readiness) {
        std::fprintf(stderr, "qornd: %s: %s\n", failedCall, std::strerror(errno));
        _exit(1);
    }
    return readiness;
}

void installSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    // Blocked everywhere; the accept loop lets them in only while it waits in ppoll.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
}

// The connection threads: their count, and the descriptors to shut down at stop.
class Clients {
  public:
    bool waitForRoom() {
        std::unique_lock<std::mutex> lock(mu_);
        return changed_.wait_for(lock, std::chrono::milliseconds(kAcceptPollMs),
                                 [this] { return fds_.size() < kMaxClients; });
    }
    void start(int fd, const ql::standin::Matcher &matcher) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            fds_.insert(fd);
        }
        std::thread([this, fd, &matcher] {
            ql::qornd::serveConnection(fd, matcher, stopping);
            finished(fd);
        }).detach();
    }
    // Wake every connection thread and wait, within a bound, for all to end.
    void stopAll() {
        std::unique_lock<std::mutex> lock(mu_);
        for (int fd : fds_) {
            shutdown(fd, SHUT_RDWR);
        }
        changed_.wait_for(lock, kDrainBound, [this] { return fds_.empty(); });
    }

  private:
    void finished(int fd) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            fds_.erase(fd);
        }
        changed_.notify_all();
    }

    std::mutex mu_;
    std::condition_variable changed_;
    std::set<int> fds_;  // guarded by mu_
};

void serve(int listener, const ql::standin::Matcher &matcher, Clients &clients) {
    sigset_t waitMask;
    pthread_sigmask(SIG_SETMASK, nullptr, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    const timespec step{0, kAcceptPollMs * 1000000L};
    while (!stopping.load()) {
        if (!clients.waitForRoom()) {
            continue;
        }
        pollfd p{listener, POLLIN, 0};
        if (ppoll(&p, 1, &step, &waitMask) <= 0) {
            continue;
        }
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            clients.start(fd, matcher);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3 || std::strcmp(argv[1], "-c") != 0) {
        std::fprintf(stderr, "usage: qornd -c <engine configuration>\n");
        return 2;
    }
    Settings settings;
    if (!readSettings(argv[2], settings)) {
        return 1;
    }
    std::vector<ql::standin::SignatureProblem> problems;
    ql::standin::SignatureSet signatures =
        ql::standin::loadSignatureFile(settings.signatureFile.c_str(), &problems);
    for (const auto &problem : problems) {
        std::fprintf(stderr, "qornd: %s line %d skipped: %s\n", settings.signatureFile.c_str(),
                     problem.line, problem.reason.c_str());
    }
    ql::standin::Matcher matcher(signatures);
    ql::UniqueFd listener = listenOn(settings.socketPath);
    if (!listener) {
        return 1;
    }
    std::fflush(stderr);
    ql::support::Readiness readiness = detach();
    if (!writePidFile(settings.pidPath)) {
        unlink(settings.socketPath.c_str());
        return 1;
    }
    installSignals();
    ql::support::redirectStandardStreams();
    readiness.ready();

    Clients clients;
    serve(listener.get(), matcher, clients);
    listener.reset();
    unlink(settings.socketPath.c_str());
    unlink(settings.pidPath.c_str());
    clients.stopAll();
    // Threads that did not end within the bound must not run into static destructors.
    _exit(0);
}
