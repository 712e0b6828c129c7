// Design of the pool and the hand-over.
//
// The entry owns a fixed array of Instance records and one thread per record, created once. An
// instance's sockFd is the whole hand-over, without a lock or a queue: the entry stores an
// accepted descriptor only while the field holds -1, and the worker stores -1 only after it has
// answered and closed that connection, so each field has one writer at a time. After storing, the
// entry bumps the record's wakeUps word; an idle worker sleeps on that word (a futex wait with no
// timeout and no spinning), having read it before looking at sockFd and the stop flag, so no
// wake-up is lost. On stop the entry wakes every worker the same way. A worker that frees its
// record bumps the pool's ReleaseSignal, on which the entry waits (at most 500 microseconds a
// pass) while every instance is busy; that wait logs its passes when it starts and then at most
// once a second, and reopens the log when asked to. Workers block the termination signals, so
// only the entry sees them through the stop flag. A connection can still land in a record whose
// worker has just seen the stop flag; after joining, the entry closes whatever a record still
// holds.
#include "daemon/instance.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <new>

#include "common/unique_fd.h"
#include "daemon/daemon_state.h"

namespace ql::daemon {

namespace {

constexpr auto kReleaseWait = std::chrono::microseconds(500);
// While every instance stays busy, how often the wait's passes are logged again.
constexpr auto kBusyLogInterval = std::chrono::seconds(1);

void *instanceThread(void *record) {
    return instanceMain(static_cast<Instance *>(record));
}

}  // namespace

void wakeInstance(Instance &instance) {
    instance.wakeUps.bump(false);
}

Instance *instanceMain(Instance *instance) {
    if (instance == nullptr || instance->handle == nullptr) {
        return nullptr;
    }
    RequestServer server(*instance);
    instance->success.store(true, std::memory_order_release);
    instance->released->notify();
    for (;;) {
        uint32_t seen = instance->wakeUps.value();
        if (stopRequested()) {
            break;
        }
        int fd = instance->sockFd.load(std::memory_order_acquire);
        if (fd < 0) {
            // Without a bound: a hand-over wakes this instance, and the stop wakes every one.
            instance->wakeUps.waitWhile(seen);
            continue;
        }
        server.serve(fd);
        close(fd);
        instance->sockFd.store(-1, std::memory_order_release);
        instance->busyCount->fetch_sub(1, std::memory_order_relaxed);
        instance->released->notify();
    }
    instance->ended.store(true, std::memory_order_release);
    instance->released->notify();
    return instance;
}

InstancePool::~InstancePool() {
    for (int32_t i = 0; i < started_; ++i) {
        wakeInstance(records_[i]);
        pthread_join(threads_[i], nullptr);
    }
}

bool InstancePool::allocate(int32_t count) {
    records_.reset(new (std::nothrow) Instance[count]);
    if (!records_) {
        daemonLog("MemAllocErr(malloc)\n");
        return false;
    }
    threads_.reset(new (std::nothrow) pthread_t[count]);
    if (!threads_) {
        daemonLog("MemAllocErr(malloc)\n");
        records_.reset();
        return false;
    }
    count_ = count;
    return true;
}

bool InstancePool::start(AVHandle handle, int32_t requestTimeout, ClientAccess clientAccess,
                         const ReplyRules &replies) {
    sigset_t termSignals;
    sigset_t previous;
    sigemptyset(&termSignals);
    sigaddset(&termSignals, SIGTERM);
    sigaddset(&termSignals, SIGINT);
    sigaddset(&termSignals, SIGHUP);  // the log reopen is the entry's, like the stop
    pthread_sigmask(SIG_BLOCK, &termSignals, &previous);
    bool all = true;
    for (int32_t i = 0; i < count_; ++i) {
        Instance &record = records_[i];
        record.instanceNo = i;
        record.handle = handle;
        record.busyCount = &busyCount_;
        record.released = &released_;
        record.requestTimeout = requestTimeout;
        record.replies = replies;
        record.clientAccess = clientAccess;
        if (pthread_create(&threads_[i], nullptr, instanceThread, &record) != 0) {
            all = false;
            break;
        }
        ++started_;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return all;
}

void InstancePool::waitReady(std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        uint32_t ticket = released_.ticket();
        int32_t ready = 0;
        for (int32_t i = 0; i < started_; ++i) {
            ready += records_[i].success.load(std::memory_order_acquire) ? 1 : 0;
        }
        auto now = std::chrono::steady_clock::now();
        if (ready == started_ || now >= deadline || stopRequested()) {
            return;
        }
        released_.waitFor(ticket, deadline - now);
    }
}

int32_t InstancePool::findFree(bool logged) {
    for (int32_t i = 0; i < count_; ++i) {
        Instance &record = records_[i];
        int32_t fd = record.sockFd.load(std::memory_order_acquire);
        bool ready = record.success.load(std::memory_order_acquire);
        if (logged) {
            daemonLog("Instance %d (sockFd = %d, success = %d)\n", i, fd, ready ? 1 : 0);
        }
        if (fd < 0 && ready) {
            return i;
        }
    }
    return -1;
}

bool InstancePool::handOver(int fd) {
    ql::UniqueFd connection(fd);
    // The first pass is always logged; while every instance stays busy, one pass a second.
    auto nextLogged = std::chrono::steady_clock::time_point::min();
    while (!stopRequested()) {
        uint32_t ticket = released_.ticket();
        auto now = nextLogged == std::chrono::steady_clock::time_point::min()
                       ? nextLogged
                       : std::chrono::steady_clock::now();
        bool logged = now >= nextLogged;
        int32_t i = findFree(logged);
        if (i >= 0) {
            daemonLog("Instance %d free to process\n", i);
            busyCount_.fetch_add(1, std::memory_order_relaxed);
            records_[i].sockFd.store(connection.release(), std::memory_order_release);
            wakeInstance(records_[i]);
            return true;
        }
        if (logged) {
            daemonLog("No instance free to process, waiting to release one.\n");
            nextLogged = std::chrono::steady_clock::now() + kBusyLogInterval;
        }
        released_.waitFor(ticket, kReleaseWait);
        serviceLogReopen();
    }
    return false;
}

void InstancePool::waitRelease(std::chrono::microseconds bound) {
    released_.waitFor(released_.ticket(), bound);
}

int32_t InstancePool::endedCount() const {
    int32_t ended = 0;
    for (int32_t i = 0; i < started_; ++i) {
        ended += records_[i].ended.load(std::memory_order_acquire) ? 1 : 0;
    }
    return ended;
}

int32_t InstancePool::stopAll(std::chrono::seconds bound) {
    for (int32_t i = 0; i < started_; ++i) {
        wakeInstance(records_[i]);
    }
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        uint64_t ticket = released_.ticket();
        auto now = std::chrono::steady_clock::now();
        if (endedCount() == started_ || now >= deadline) {
            break;
        }
        released_.waitFor(ticket, deadline - now);
    }
    int32_t abandoned = 0;
    for (int32_t i = 0; i < started_; ++i) {
        if (!records_[i].ended.load(std::memory_order_acquire)) {
            daemonLog("Instance %d still busy after %d s, abandoned\n", i,
                      static_cast<int>(bound.count()));
            ++abandoned;
        }
    }
    if (abandoned > 0) {
        return abandoned;  // the records stay for the threads that still use them
    }
    for (int32_t i = 0; i < started_; ++i) {
        pthread_join(threads_[i], nullptr);
    }
    started_ = 0;
    for (int32_t i = 0; i < count_; ++i) {
        int32_t fd = records_[i].sockFd.exchange(-1, std::memory_order_acq_rel);
        if (fd >= 0) {
            close(fd);
        }
    }
    return 0;
}

}  // namespace ql::daemon
