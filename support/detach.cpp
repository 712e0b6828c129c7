#include "support/detach.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace ql::support {

namespace {

constexpr char kReady = '0';

[[noreturn]] void awaitVerdict(UniqueFd fromDetached, int waitMs) {
    char verdict = 0;
    ssize_t n = 0;
    pollfd entry{fromDetached.get(), POLLIN, 0};
    int readable;
    do {
        readable = poll(&entry, 1, waitMs < 0 ? -1 : waitMs);
    } while (readable < 0 && errno == EINTR);
    if (readable > 0) {
        do {
            n = read(fromDetached.get(), &verdict, 1);
        } while (n < 0 && errno == EINTR);
    }
    // What the starting process holds belongs to the detached one now: leave without releasing
    // any of it.
    _exit(n == 1 && verdict == kReady ? 0 : 1);
}

}  // namespace

void Readiness::ready() {
    if (fd_) {
        ssize_t ignored = write(fd_.get(), &kReady, 1);
        (void)ignored;
        fd_.reset();
    }
}

Readiness detach(int waitMs, const char *&failedCall) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        failedCall = "pipe";
        return {};
    }
    UniqueFd fromDetached(ends[0]);
    UniqueFd toStarter(ends[1]);
    pid_t pid = fork();
    if (pid < 0) {
        failedCall = "fork";
        return {};
    }
    if (pid > 0) {
        toStarter.reset();
        awaitVerdict(std::move(fromDetached), waitMs);
    }
    fromDetached.reset();
    if (setsid() < 0) {
        failedCall = "setsid";
        return {};
    }
    return Readiness(std::move(toStarter));
}

void redirectStandardStreams() {
    UniqueFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (null) {
        dup2(null.get(), STDIN_FILENO);
        dup2(null.get(), STDOUT_FILENO);
        dup2(null.get(), STDERR_FILENO);
    }
}

}  // namespace ql::support
