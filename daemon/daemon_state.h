// State every thread of the interface daemon shares: the stop flag, the log reopen request and
// the log.
#ifndef QL_DAEMON_DAEMON_STATE_H
#define QL_DAEMON_DAEMON_STATE_H

#include <atomic>
#include <cstddef>

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

// The daemon's log. Each line is formatted into a buffer of its own call and written with one
// append write, so lines of different threads never mix and none waits for another; a line longer
// than kLogLineMax is cut and still ends with its line end. The file is created with mode 0640,
// and never opened through a symbolic link or as anything but a regular file.
inline constexpr std::size_t kLogLineMax = 8192;

// Reopen the log when a SIGHUP asked for it since the last look.
void serviceLogReopen();

// Open the log file (the fixed log path below QL_ROOT) for appending, unless one is open. Returns
// false when none is open afterwards; the daemon then runs without a log.
bool openDaemonLog();

// Close the log; later lines are dropped. A line being written goes whole to the old file. Safe
// while other threads log.
void closeDaemonLog();

// Open the log path anew for appending (after a rotation moved the old file away) and put the new
// file in place of the old one. Every line goes whole to the old file or whole to the new one; the
// old descriptor is closed only once no line is being written to it. When the new file cannot be
// opened the old one stays and "LogErr(reopen): <reason>" is written to it. Call from one thread
// at a time (the entry); safe while other threads log.
void reopenDaemonLog();

// Write one line to the log; nothing when no log is open. Safe from every thread at once (not
// from a signal handler); takes no lock.
void daemonLog(const char *format, ...) QL_PRINTF(1, 2);

// Client text as it may go into a log line: text itself when it holds no control character;
// otherwise a copy in out[cap] that writes CR as \r, LF as \n and every other control character
// as \xNN (a backslash and letters), cut to fit, so that a request can never start a line of its
// own.
const char *logSafeText(const char *text, char *out, std::size_t cap);

template <std::size_t N>
const char *logSafeText(const char *text, char (&out)[N]) {
    return logSafeText(text, out, N);
}

}  // namespace ql::daemon

#endif  // QL_DAEMON_DAEMON_STATE_H
