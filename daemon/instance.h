// The daemon's worker instances: a fixed pool of threads, each serving one client connection at a
// time, and the hand-over of accepted connections from the entry to the lowest-numbered free one.
//
// Client protocol (one request per connection): the client sends a file path, optionally followed
// by CR and LF characters; one read of at most kRequestMax bytes is taken, bounded by the request
// timeout. The daemon answers one line and closes: "0\n" for a file found clean, "1 <text>\n"
// for an infection (its name), a failed or stopped scan, or a request that could not be served.
#ifndef QL_DAEMON_INSTANCE_H
#define QL_DAEMON_INSTANCE_H

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "daemon/interface_conf.h"
#include "ql/qlscan.h"

namespace ql::daemon {

inline constexpr int kRequestMax = 1049;  // bytes of one request
inline constexpr int kReplyMax = 256;     // characters of a reply, terminator included
// Options of every scan: links are followed to their target, which is scanned.
inline constexpr uint32_t kScanOptions = 0x0001 | QL_OPT_LINK;

// Tells the entry that an instance became ready or free. Waiting on it is bounded by the caller.
class ReleaseSignal {
  public:
    // The count of signals so far; pass it to waitFor to wait for the next one.
    [[nodiscard]] uint64_t ticket() const;
    // Wait until a signal after ticket was given, or until bound has passed.
    void waitFor(uint64_t ticket, std::chrono::microseconds bound) const;
    void notify();

  private:
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    uint64_t count_ = 0;  // guarded by mu_
};

// One worker instance's record.
struct Instance {
    // Constant once the thread runs.
    int32_t instanceNo = 0;
    AVHandle handle = nullptr;  // the one engine handle, shared by all instances
    std::atomic<int32_t> *busyCount = nullptr;
    ReleaseSignal *released = nullptr;
    int32_t requestTimeout = 30;  // seconds
    ClientAccess clientAccess = ClientAccess::kCheck;

    // The hand-over: the entry stores a descriptor only while this is -1; the worker stores -1
    // only after it has closed that connection.
    std::atomic<int32_t> sockFd{-1};
    // Set once by the worker when it is ready to serve.
    std::atomic<bool> success{false};
    // Bumped by the entry to wake the worker (a connection, or the stop).
    std::atomic<uint32_t> wakeUps{0};
    // Set by the worker as the last thing it does.
    std::atomic<bool> ended{false};
};

// Wake the worker of instance to look at its sockFd and the stop flag.
void wakeInstance(Instance &instance);

// Thread body of one instance: serves the connections handed to it until the stop flag is set.
// Returns instance, or NULL when instance or its handle is NULL. Requires the termination signals
// to be blocked in the calling thread.
Instance *instanceMain(Instance *instance);

// The event function of every scan: stores an allocated copy of infectionName, or else of
// message, in the slot userData points at (a UniqueText), replacing what it held. Returns
// QL_CB_STOP once the stop flag is set, else 0.
int onScanEvent(const char *objectName, int32_t objectKind, int32_t event,
                const char *infectionName, const char *message, void *userData);

// Remove every CR and LF from the end of text in place. 0, or -1 for NULL.
int stripLineEnd(char *text);

struct FreeDeleter {
    void operator()(char *text) const;
};
using UniqueText = std::unique_ptr<char, FreeDeleter>;

// The reply to a scan's result: "0\n" for results without the infected and error bits; "1 %s\n"
// with reported (or "Infected" / "Scan error" when NULL or empty) for those with either bit, "1
// Scan stopped\n" for a stopped scan, "1 %s\n" with the last error's text for -1. Texts are cut so
// that the reply ends with "\n"; line ends inside them become blanks.
void replyForResult(int result, const char *reported, char (&reply)[kReplyMax]);

// "1 %s\n" with text, cut and cleaned like replyForResult's.
void replyWithText(const char *text, char (&reply)[kReplyMax]);

// One read of at most kRequestMax bytes from fd into request (NUL-terminated after the bytes),
// waiting at most timeoutSeconds for the first byte. The bytes read, or -1 with errno set
// (ETIMEDOUT when nothing came in time).
[[nodiscard]] int readRequest(int fd, int32_t timeoutSeconds, char (&request)[kRequestMax + 1]);

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
    [[nodiscard]] bool start(AVHandle handle, int32_t requestTimeout, ClientAccess clientAccess);
    // Wait until every started instance is ready, at most bound.
    void waitReady(std::chrono::milliseconds bound);

    // Give fd to the lowest-numbered free instance, logging each pass over the records; while
    // none is free, wait for a release (at most 500 microseconds a pass). When the stop flag is
    // set the connection is closed instead and false is returned.
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
    // Index of the first free instance, -1 when none; logs each record examined.
    int32_t findFree();
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
