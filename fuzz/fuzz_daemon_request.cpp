// The interface daemon's request handling up to the scan, through a real instance of its pool
// over a socket pair: the client's arbitrary bytes are read, checked and answered with exactly
// one reply line, "0\n" or "1 <text>\n".
//
// The installation root has no version file, so a request that passes every check reaches the
// engine-neutral scan, which refuses it before any engine is involved. The daemon log is a real
// file at its fixed path (the daemon refuses a link there), so every log line is formatted and
// written; it is emptied after each input to keep a long run small.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/engine.h"
#include "daemon/daemon_state.h"
#include "daemon/instance.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace ql::daemon;

struct Daemon {
    ql::fuzz::TempRoot root{"/opt/Quellar/etc", "/var/Quellar/var/log"};
    AVEngine engine{AV_NONE, nullptr};
    InstancePool pool;
    std::string logPath = root.path("/var/Quellar/var/log/interface.log");

    Daemon() {
        QL_FUZZ_CHECK(openDaemonLog());
        QL_FUZZ_CHECK(pool.allocate(1));
        // libFuzzer's timer signal must not interrupt the worker's send of a reply.
        sigset_t timer;
        sigset_t previous;
        sigemptyset(&timer);
        sigaddset(&timer, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &timer, &previous);
        QL_FUZZ_CHECK(pool.start(&engine, 1, ql::daemon::ClientAccess::kCheck));
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pool.waitReady(std::chrono::seconds(5));
        QL_FUZZ_CHECK(pool[0].success.load());
    }
};

Daemon *daemonInstance = nullptr;

void stopDaemon() {
    stopFlag.store(SIGTERM);
    (void)daemonInstance->pool.stopAll(std::chrono::seconds(30));
    closeDaemonLog();
    delete daemonInstance;
}

// Everything the daemon sends until it closes. A request longer than the daemon's one read
// leaves bytes unread there, so its close resets the stream after the reply. libFuzzer's timer
// signal may interrupt a read.
std::string readAll(int fd) {
    std::string text;
    char buf[512];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno == ECONNRESET) {
            return text;
        } else {
            QL_FUZZ_CHECK(errno == EINTR);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    daemonInstance = new Daemon;
    std::atexit(stopDaemon);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ql::fuzz::SocketPair pair;
    // The client's side stays open for the reply; only its sending ends.
    if (size > 0) {
        QL_FUZZ_CHECK(::send(pair.peer.get(), data, size, MSG_NOSIGNAL) ==
                      static_cast<ssize_t>(size));
    }
    QL_FUZZ_CHECK(::shutdown(pair.peer.get(), SHUT_WR) == 0);
    QL_FUZZ_CHECK(daemonInstance->pool.handOver(pair.local.release()));
    std::string reply = readAll(pair.peer.get());

    QL_FUZZ_CHECK(reply.size() < static_cast<std::size_t>(kReplyMax));
    QL_FUZZ_CHECK(!reply.empty() && reply.back() == '\n');
    QL_FUZZ_CHECK(reply.find('\n') == reply.size() - 1);
    QL_FUZZ_CHECK(reply.find('\0') == std::string::npos);
    QL_FUZZ_CHECK(reply == "0\n" || reply.rfind("1 ", 0) == 0);
    // Appends land at the end whatever the length, so emptying it under the writer is safe.
    QL_FUZZ_CHECK(::truncate(daemonInstance->logPath.c_str(), 0) == 0);
    return 0;
}
