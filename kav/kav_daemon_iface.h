// The engine daemon as the KAV back end sees it: whether it runs, starting and stopping it, and
// its line protocol on a bare descriptor (connect and greeting, one command, one reply).
//
// Protocol: commands end in CR LF; every reply line starts with a three-digit code and ends in
// CR LF. Lines with 1xx and 3xx codes come before the final line; 2xx, 4xx and 5xx end a reply.
// One command and its whole reply use a connection at a time. A whole reply (or greeting) must
// come within ql::kav::engineTimeoutMs(), however its lines trickle in. The pooled, buffered
// connections the scans use are in kav/kav_daemon_pool.h.
#ifndef QL_KAV_KAV_DAEMON_IFACE_H
#define QL_KAV_KAV_DAEMON_IFACE_H

#include <stdint.h>

#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// The engine daemon's two paths, as read from the engine configuration file.
typedef struct KAVScannerConf {
    char socketPath[QL_VALUE_MAX]; /* LocalSocketPath */
    char pidPath[QL_VALUE_MAX];    /* AVSpidPATH */
} KAVScannerConf;

// Turns one reply line (writable, terminated; may be split in place) into a code. The reply
// reader goes by the returned code, not by the line's own digits.
typedef int (*ReplyLineFn)(char *line, void *context1, void *context2);

// What a greeting or an INFO reply tells about the engine (its 201 line). The two texts are
// fixed-width fields, zero-filled and NOT terminated when full.
typedef struct DaemonInfo {
    int32_t number1;   /* field 2 */
    uint8_t byteValue; /* field 4, low 8 bits */
    char shortText[8]; /* field 5 */
    int32_t number2;   /* field 6 */
    char longText[19]; /* field 7 */
} DaemonInfo;

/* ---- Lifecycle ---- */

// 1 when the engine daemon can be counted as running: its socket is readable and writable, its
// pid file is readable, and the pid names a live process (a missing or zombie /proc entry does
// not). Otherwise 0. Sets no error of its own.
int QL_isDaemonRunning(const KAVScannerConf *conf);

// Run QL_ROOT/opt/Quellar/sbin/qornd as "qorn -c confPath" in QL_ROOT/opt/Quellar and wait for
// that first process to end (the daemon detaches once it serves). 0 when it was run, whatever
// its exit status; -1 when confPath is NULL (error 22) or the fork failed. Call it only while the
// process has a single thread.
int QL_StartAvDaemon(const char *confPath);

// Send SIGTERM and SIGKILL to the pid of conf's pid file, then remove the socket and the pid
// file. 0, also for a NULL conf; -1 (nothing signalled, nothing removed) when the pid file holds
// no positive pid.
int QL_StopAvDaemon(const KAVScannerConf *conf);

// The leading decimal number of the pid file's first line (at most 11 characters of it are
// read): 0 for an empty or non-numeric line; -1 with errno as last error when it cannot be opened.
int QL_readProcessPid(const char *path);

// Put a heap copy of text (NULL for a NULL text) in args[index]; returns index + 1, so that calls
// chain. -1 with error 22 for a NULL vector or negative index, error 12 when the copy fails.
int QL_addArgs(char **args, int index, const char *text);
// Free the first count slots of args (NULL slots allowed) and set them to NULL.
void QL_freeArgs(char **args, int count);

/* ---- Protocol on a bare descriptor ---- */

// Connect to the engine daemon's socket and consume its greeting (however the greeting ends).
// Returns the connected socket (close-on-exec), owned by the caller; -1 when the path is NULL,
// not readable and writable, too long for a socket address, or nobody listens.
int QL_AvDaemonConnect(const char *socketPath);

// Send QUIT, read its reply and close the socket; nothing for a negative socket.
void QL_AvDaemonDisconnect(int sock);

// Write the whole command (it already ends in CR LF): short writes are resumed, EINTR and a
// bounded number of EPIPE are retried, SIGPIPE is never raised, and waiting for room is bounded.
// 0 when every byte went out; -1 with the last error set (22 for a NULL command or negative
// socket) otherwise, in which case the stream may hold part of the command and must be dropped.
int QL_SendDaemonCommand(int sock, const char *command);

// Read reply lines until one ends the reply. Each line's code is fn(line, context1, context2)
// when fn is given, else its leading number; a class-2 code above 0 or a class 4 or 5 code ends
// the reply and is returned. A line of 4 bytes or fewer, the end of the stream, a read error or
// the reply bound (for the whole reply) end the reading early: the last code seen is returned,
// or -1 (error 906) when no line came. Reads byte by byte, so nothing past the reply is taken
// from the socket.
int QL_ProcessDaemonReturnMessage(int sock, ReplyLineFn fn, void *context1, void *context2);

// Read one line of at most limit - 1 bytes into buf, terminated, byte by byte. Returns the byte
// count including the LF for a whole line; bytes stored plus 1 for a line cut by the limit or
// by the end of the stream; 0 at the end of the stream before any byte (buf untouched); -1 on a
// read error (errno as last error), when no byte came within the reply bound (error 110), or
// for a NULL buf or limit 0 (error 22).
int QL_readline(int sock, char *buf, unsigned int limit);

// Send INFO and fill info from its 201 line. 0 when a reply came (a 4xx or 5xx one too); -1
// for a negative socket or NULL info (error 22), a failed send, or no reply.
int QL_GetDaemonInfo(int sock, DaemonInfo *info);

// A ReplyLineFn: for a 201 line fill the DaemonInfo at context2 from fields 2, 4, 5, 6 and 7
// (runs of blanks separate fields; missing fields are left alone). Returns the line's code.
int QL_daemonInfoCallback(char *line, void *context1, void *context2);

#ifdef __cplusplus
}

#include <chrono>

namespace ql::kav {

using Clock = std::chrono::steady_clock;

// The fixed path of the engine daemon program and of its working directory.
inline constexpr const char *kDaemonProgram = "/opt/Quellar/sbin/qornd";
inline constexpr const char *kDaemonWorkDir = "/opt/Quellar";

// The bound on waiting for reply bytes (and for room to write a command), in milliseconds:
// QL_ENGINE_TIMEOUT_MS when it holds a positive number, else 120 seconds.
[[nodiscard]] int engineTimeoutMs();

// A close-on-exec stream socket connected to socketPath, owned by the caller; -1 with the last
// error set (ENAMETOOLONG for a path too long for a socket address).
[[nodiscard]] int connectSocket(const char *socketPath);

// How a reply ended.
struct ReplyOutcome {
    int code = -1;          // the code that ended it, or the last code seen, or -1
    bool complete = false;  // a final line was read
    // The stream ended (or was reset): the engine closed the connection.
    bool closed = false;
    // It did so before the first byte of the reply: a connection the engine closed while it
    // lay idle, where the command may safely be sent again.
    bool endedBeforeFirstByte = false;
};

// A reply line's code: its leading number, saturated at the limits of int (ql::leadingInt).
[[nodiscard]] int leadingNumber(const char *text);

// Whether code ends a reply: class 2 above 0, class 4 or 5.
[[nodiscard]] bool isFinalCode(int code);

// Whether text may go into a command line: no CR or LF.
[[nodiscard]] bool isLineSafe(const char *text);

// QL_readline with the wait bounded by deadline instead of the reply bound from now.
[[nodiscard]] int readLineBy(int fd, char *buf, unsigned limit, Clock::time_point deadline);

// A source of reply lines with QL_readline's results and errors; a line not complete by
// deadline fails with error 110.
class LineReader {
  public:
    virtual ~LineReader() = default;
    [[nodiscard]] virtual int readLine(char *buf, unsigned limit, Clock::time_point deadline) = 0;
};

// A bare descriptor read byte by byte.
class FdLineReader final : public LineReader {
  public:
    explicit FdLineReader(int fd) : fd_(fd) {}
    [[nodiscard]] int readLine(char *buf, unsigned limit, Clock::time_point deadline) override {
        return readLineBy(fd_, buf, limit, deadline);
    }

  private:
    int fd_;
};

// The reply loop of QL_ProcessDaemonReturnMessage over any line reader, the whole reply bounded
// by engineTimeoutMs() from the call. Sets error 906 when the reply ended before its first line.
[[nodiscard]] ReplyOutcome readReply(LineReader &reader, ReplyLineFn fn, void *context1,
                                     void *context2);

}  // namespace ql::kav

#endif

#endif  // QL_KAV_KAV_DAEMON_IFACE_H
