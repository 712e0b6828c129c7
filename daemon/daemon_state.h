// State every thread of the interface daemon shares: the stop flag, the log reopen request and
// the log stream.
#ifndef QL_DAEMON_DAEMON_STATE_H
#define QL_DAEMON_DAEMON_STATE_H

#include <atomic>

#include "ql/qlscan.h"

namespace ql::daemon {

// The log's fixed path (put under QL_ROOT).
inline constexpr const char *kDaemonLogFile = "/var/Quellar/var/log/interface.log";

// 0 while the daemon runs; the number of the termination signal once one arrived, or
// kStoppedByDaemon when the entry itself gave up serving. Never cleared. Lock-free, so the signal
// handler may store it.
extern std::atomic<int> stopFlag;
inline constexpr int kStoppedByDaemon = -1;
static_assert(std::atomic<int>::is_always_lock_free);

[[nodiscard]] inline bool stopRequested() {
    return stopFlag.load(std::memory_order_acquire) != 0;
}

// Set by the SIGHUP handler (and nothing else there); the entry takes it with
// takeLogReopenRequest and reopens the log.
extern std::atomic<bool> logReopenFlag;
static_assert(std::atomic<bool>::is_always_lock_free);

// True once per SIGHUP received since the last call (several signals may fold into one).
[[nodiscard]] inline bool takeLogReopenRequest() {
    return logReopenFlag.exchange(false, std::memory_order_acq_rel);
}

// Open the log file (the fixed log path below QL_ROOT) for appending. Returns false when it cannot
// be opened; the daemon then runs without a log. Call only while no other thread logs.
bool openDaemonLog();

// Close the log; later lines are dropped. Call only while no other thread logs.
void closeDaemonLog();

// Open the log path anew for appending (after a rotation moved the old file away) and put the new
// stream in place of the old one. Every line goes whole to the old file or whole to the new one.
// When the new file cannot be opened the old stream stays and the reason is logged there. Safe
// while other threads log.
void reopenDaemonLog();

// Write one line to the log with one stream call and flush it; nothing when no log is open. Safe
// from every thread (not from a signal handler); lines of different threads never mix.
void daemonLog(const char *format, ...) QL_PRINTF(1, 2);

}  // namespace ql::daemon

#endif  // QL_DAEMON_DAEMON_STATE_H
