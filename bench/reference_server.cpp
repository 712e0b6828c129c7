// The reference server: the least a scanning service must do per request, used as the machine's
// practical limit for the daemon's client protocol. The main thread accepts on a Unix socket and
// queues each connection; a fixed pool of threads takes them with blocking waits, reads the
// path, stats, opens and reads the file, searches it for the signatures in one pass, answers
// "0\n" or "1 <name>\n" and closes. No log, no engine, no per-request allocation beyond the
// matcher's result.
//
//   ql_reference_server --socket PATH [--threads N] [--signatures FILE]
// Runs in the foreground until SIGTERM or SIGINT.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "standins/common/byte_source.h"
#include "standins/common/matcher.h"
#include "standins/common/signatures.h"

namespace {

constexpr std::size_t kRequestMax = 1049;

volatile sig_atomic_t stopSignal = 0;

extern "C" void onStop(int signal) {
    stopSignal = signal;
}

// Accepted connections waiting for a worker; -1 tells a worker to end.
class ConnectionQueue {
  public:
    void push(int fd) {
        {
            std::lock_guard lock(mu_);
            fds_.push_back(fd);
        }
        ready_.notify_one();
    }
    int pop() {
        std::unique_lock lock(mu_);
        ready_.wait(lock, [this] { return !fds_.empty(); });
        int fd = fds_.front();
        fds_.pop_front();
        return fd;
    }

  private:
    std::mutex mu_;
    std::condition_variable ready_;
    std::deque<int> fds_;  // guarded by mu_
};

void answer(int fd, const ql::standin::Matcher &matcher) {
    char request[kRequestMax + 1];
    ssize_t n;
    do {
        n = read(fd, request, kRequestMax);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return;
    }
    std::size_t len = static_cast<std::size_t>(n);
    request[len] = '\0';
    len = std::strlen(request);
    while (len > 0 && (request[len - 1] == '\n' || request[len - 1] == '\r')) {
        request[--len] = '\0';
    }
    std::string reply = "0\n";
    struct stat st {};
    if (stat(request, &st) != 0 || !S_ISREG(st.st_mode)) {
        reply = "1 Invalid file\n";
    } else {
        ql::standin::FdSource source(request);
        ql::standin::MatchResult found;
        if (source.ok()) {
            found = matcher.scan(source);
        }
        const ql::standin::Match *decider = ql::standin::decidingMatch(found.matches);
        if (!source.ok() || found.error != 0) {
            reply = "1 Read error\n";
        } else if (decider != nullptr) {
            reply = "1 " + decider->signature->name + "\n";
        }
    }
    (void)send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
}

void work(ConnectionQueue &queue, const ql::standin::Matcher &matcher) {
    for (int fd = queue.pop(); fd >= 0; fd = queue.pop()) {
        ql::UniqueFd connection(fd);
        answer(fd, matcher);
    }
}

ql::UniqueFd listenOn(const std::string &path, int backlog) {
    ql::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    if (!fd || path.size() >= sizeof address.sun_path) {
        return ql::UniqueFd();
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    (void)unlink(path.c_str());
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd.get(), backlog) != 0) {
        return ql::UniqueFd();
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    std::string socketPath;
    std::string signatureFile;
    int threads = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string_view arg = argv[i];
        if (arg == "--socket") {
            socketPath = argv[i + 1];
        } else if (arg == "--threads") {
            threads = std::max(1, std::atoi(argv[i + 1]));
        } else if (arg == "--signatures") {
            signatureFile = argv[i + 1];
        }
    }
    if (socketPath.empty()) {
        std::fprintf(stderr,
                     "usage: ql_reference_server --socket PATH [--threads N] "
                     "[--signatures FILE]\n");
        return 2;
    }
    ql::standin::SignatureSet signatures =
        signatureFile.empty() ? ql::standin::SignatureSet()
                              : ql::standin::loadSignatureFile(signatureFile.c_str(), nullptr);
    ql::standin::Matcher matcher(signatures);

    // Only the accepting thread takes the stop signals, so they interrupt its accept.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ConnectionQueue queue;
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i) {
        pool.emplace_back(work, std::ref(queue), std::cref(matcher));
    }
    struct sigaction action {};
    action.sa_handler = onStop;  // no SA_RESTART: accept returns EINTR
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

    ql::UniqueFd listener = listenOn(socketPath, threads);
    if (!listener) {
        std::perror("ql_reference_server: listen");
        stopSignal = SIGTERM;
    }
    while (stopSignal == 0) {
        int fd = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            queue.push(fd);
        } else if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
            std::perror("ql_reference_server: accept");
            break;
        }
    }
    for (std::size_t i = 0; i < pool.size(); ++i) {
        queue.push(-1);
    }
    for (std::thread &t : pool) {
        t.join();
    }
    if (listener) {
        (void)unlink(socketPath.c_str());
    }
    return listener ? 0 : 1;
}
