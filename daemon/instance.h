// The daemon's worker instances: a fixed pool of threads, each serving one client connection at a
// time (daemon/request.h), and the hand-over of accepted connections from the entry to the
// lowest-numbered free one.
#ifndef QL_DAEMON_INSTANCE_H
#define QL_DAEMON_INSTANCE_H

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "daemon/interface_conf.h"
#include "daemon/request.h"
#include "daemon/wake_word.h"
#include "ql/qlscan.h"

namespace ql::daemon {

// Tells the entry that an instance became ready or free. Waiting on it is bounded by the caller.
class ReleaseSignal {
  public:
    // The count of signals so far; pass it to waitFor to wait for the next one.
    [[nodiscard]] uint32_t ticket() const { return word_.value(); }
    // Wait until a signal after ticket was given, or until bound has passed.
    void waitFor(uint32_t ticket, std::chrono::nanoseconds bound) const {
        word_.waitWhile(ticket, bound);
    }
    void notify() { word_.bump(true); }

  private:
    WakeWord word_;
};

// One worker instance's record.
struct Instance {
    // Constant once the thread runs.
    int32_t instanceNo = 0;
    AVHandle handle = nullptr;  // the one engine handle, shared by all instances
    std::atomic<int32_t> *busyCount = nullptr;
    ReleaseSignal *released = nullptr;
    int32_t requestTimeout = 30;  // seconds
    ReplyRules replies;
    ClientAccess clientAccess = ClientAccess::kCheck;

    // The hand-over: the entry stores a descriptor only while this is -1; the worker stores -1
    // only after it has closed that connection.
    std::atomic<int32_t> sockFd{-1};
    // Set once by the worker when it is ready to serve.
    std::atomic<bool> success{false};
    // Bumped by the entry to wake the worker (a connection, or the stop).
    WakeWord wakeUps;
    // Set by the worker as the last thing it does.
    std::atomic<bool> ended{false};
};

// Wake the worker of instance to look at its sockFd and the stop flag.
void wakeInstance(Instance &instance);

// Thread body of one instance: serves the connections handed to it until the stop flag is set.
// Returns instance, or NULL when instance or its handle is NULL. Requires the termination signals
// to be blocked in the calling thread.
Instance *instanceMain(Instance *instance);

// The fixed pool: the records, their threads, and the hand-over.
class InstancePool {
  public:
    InstancePool() = default;
    InstancePool(const InstancePool &) = delete;
    InstancePool &operator=(const InstancePool &) = delete;
    // Joins what still runs (setting the stop flag first would be the caller's job).
    ~InstancePool();

    // Allocate count records. False when memory runs out.
    [[nodiscard]] bool allocate(int32_t count);
    // Start one thread per record, each with the termination signals blocked. Stops at the first
    // thread that cannot be started and returns false.
    [[nodiscard]] bool start(AVHandle handle, int32_t requestTimeout, ClientAccess clientAccess,
                             const ReplyRules &replies = {});
    // Wait until every started instance is ready, at most bound.
    void waitReady(std::chrono::milliseconds bound);

    // Give fd to the lowest-numbered free instance. While none is free, wait for a release (at
    // most 500 microseconds a pass), reopening the log when asked to; the passes over the records
    // are logged when the wait starts and then at most once a second. When the stop flag is set
    // the connection is closed instead and false is returned.
    bool handOver(int fd);

    // Wait up to bound for an instance to release a connection.
    void waitRelease(std::chrono::microseconds bound);

    // Wake every instance, wait at most bound for their threads to end, and close any connection
    // left in a record. Returns the number of instances still busy after bound, each logged: they
    // are abandoned, and the pool's records must then outlive the process (end it without
    // destroying the pool or the engine they use). Requires the stop flag to be set.
    [[nodiscard]] int32_t stopAll(std::chrono::seconds bound);

    [[nodiscard]] int32_t size() const { return count_; }
    [[nodiscard]] Instance &operator[](int32_t i) { return records_[i]; }

  private:
    // Index of the first free instance, -1 when none; logs each record examined when logged.
    int32_t findFree(bool logged);
    // How many started instances have left their loop.
    [[nodiscard]] int32_t endedCount() const;

    std::unique_ptr<Instance[]> records_;
    std::unique_ptr<pthread_t[]> threads_;
    int32_t count_ = 0;
    int32_t started_ = 0;
    std::atomic<int32_t> busyCount_{0};
    ReleaseSignal released_;
};

}  // namespace ql::daemon

#endif  // QL_DAEMON_INSTANCE_H
