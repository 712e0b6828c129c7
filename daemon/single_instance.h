// The single-instance guard and the daemon's pid file.
//
// Before start-up goes on, the guard looks at two signs of a running daemon: the pid file naming
// a live process, and a server on the socket path answering the probe "CHECK\r\n" (with its NUL)
// with a text whose leading number is 100. The pid file holds the decimal pid, no line end.
#ifndef QL_DAEMON_SINGLE_INSTANCE_H
#define QL_DAEMON_SINGLE_INSTANCE_H

#include <cstdint>

namespace ql::daemon {

// Decide from both signs whether start-up may go on: 0 when neither is present; 1 when both are
// ("Another instance of qornd already running."); 1 when only the socket answers (the pid file is
// removed); -1 when only the pid file names a live process, or for a NULL path. The decision is
// logged.
[[nodiscard]] int32_t checkSingleInstance(const char *sockPath, const char *pidFilePath);

// 0 when path is absolute, names a file, and that file names a live process (one this process may
// signal); otherwise -1. A pid of 0 or below names no process.
[[nodiscard]] int32_t checkPidFile(const char *path);

// 0 when a server on the absolute socket path answers the probe with 100 within a few seconds;
// otherwise -1.
[[nodiscard]] int32_t probeSocket(const char *path);

// The leading decimal number of the file's first 16 bytes (0 when they hold no number); -1 when
// the file cannot be opened or read, is empty, or the number is out of the pid range.
[[nodiscard]] int32_t readPidFile(const char *path);

// Replace the file at path by one holding this process's pid. 0, or -1 when path is NULL or the
// file cannot be written.
[[nodiscard]] int32_t writePidFile(const char *path);

// Remove the file at path; nothing for NULL.
void removePidFile(const char *path);

}  // namespace ql::daemon

#endif  // QL_DAEMON_SINGLE_INSTANCE_H
