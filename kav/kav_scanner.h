// The KAV quick and buffer scans: one SCAN command for a path, or for a temporary file that
// gathers the chunks of a memory buffer, and the mapping of the engine daemon's reply to events
// and one scan result.
//
// Results: the QL_RES_* bit set, or -1 with the last error set. A reply that ends before its
// final line (end of stream, read error, reply bound) is a failure with error 906, never a
// result. An engine error (241, 4xx, 5xx) is QL_RES_ERROR with the engine's text in a
// QL_EV_FAILED event. Paths carrying CR or LF are refused with error 22 before anything is sent.
#ifndef QL_KAV_KAV_SCANNER_H
#define QL_KAV_KAV_SCANNER_H

#include <stdint.h>

#include "kav/kav_daemon_iface.h"
#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// Scan modes of QL_KAVQuickFileScanner.
#define QL_KAV_MODE_BUFFER 0
#define QL_KAV_MODE_PATH 2

// The option letters of every buffer scan.
#define QL_KAV_BUFFER_OPTIONS "bMpqrstW"

// What the line callback of one quick scan keeps (second context of QL_KAVQuickReturnMessage).
typedef struct QuickReplyContext {
    char errorText[QL_PATH_MAX]; /* text of a 4xx or 5xx line, at most 255 characters */
    EventCallback *events;       /* the caller's */
    uint8_t bufferScan;          /* 1: events carry QL_OBJ_BUFFER, else QL_OBJ_FILE */
} QuickReplyContext;

// Scan request->object over a bare connection: a path (QL_REQ_PATH), a BufferObject
// (QL_REQ_BUFFER) or a DescriptorObject (QL_REQ_DESCRIPTOR: the engine daemon reads the file
// through /proc/<this process>/fd/<fd>, so it must be allowed to open that, as root is). Unset
// types fail with error 38; NULL arguments and a descriptor of -1 with 22.
int QL_KAVQuickScan(int connection, QuickRequest *request, EventCallback *events);

// Append the BufferObject's chunk to its temporary file QL_ROOT/var/Quellar/var/tmp/scan_<id>.tmp
// (created on the first chunk) and scan everything gathered so far. When more is 0 the file is
// removed and the object reset. Concurrent buffer scans need distinct ids.
int QL_KAVBufferScan(int connection, QuickRequest *request, EventCallback *events);

// Create (or truncate) the temporary file at path with mode 0600, never through a symbolic link,
// as buffer->accum. Requires app_buf, app_buf_size >= 0 and accum NULL. 0, or -1 with the error.
int QL_KAVcreateTempFile(BufferObject *buffer, const char *path);
// Append app_buf_size bytes of app_buf to accum and flush. Returns app_buf_size, or -1: error 907
// for an empty chunk, 22 for bad fields, the system error of the write otherwise.
int QL_KAVwriteTempFile(BufferObject *buffer);
// Close accum, remove the file at path and reset the object (QL_InitBufferObject). The object is
// reset even when closing or removing fails; then -1 with that error.
int QL_KAVdeleteTempFile(BufferObject *buffer, const char *path);

// Send "SCAN <options> <path>" on connection, read the reply and map it to a result (mode
// QL_KAV_MODE_PATH or QL_KAV_MODE_BUFFER picks the events' object kind).
int QL_KAVQuickFileScanner(int connection, const char *path, int mode, const char *options,
                           EventCallback *events);

// A ReplyLineFn for quick scans: context1 is the scanned path, context2 a QuickReplyContext.
// Reports 322 and 328 lines to onEvent and keeps a 4xx or 5xx line's text. Returns the line's
// code; -1 with error 903 for a line shorter than 4 characters.
int QL_KAVQuickReturnMessage(char *line, void *context1, void *context2);

#ifdef __cplusplus
}

#include <cstddef>

namespace ql::kav {

class Channel;

// The option letters of a path scan: room for the longest (19 letters) and the terminator.
inline constexpr int kOptionTextSize = 21;

// A SCAN command line fits in this.
inline constexpr std::size_t kCommandSize = 2048;

// Write "SCAN <options> <path>\r\n" into command. False, with error 22, when either text holds
// a line end (it would carry a second command) or the line does not fit.
[[nodiscard]] bool scanCommand(const char *options, const char *path,
                               char (&command)[kCommandSize]);

// Build the option letters of a path scan from scanOpts into out.
void quickOptionText(uint32_t scanOpts, char (&out)[kOptionTextSize]);

// The scans of this unit over any channel (a bare descriptor or a leased pooled connection).
[[nodiscard]] int quickScan(Channel &channel, QuickRequest *request, EventCallback *events);
[[nodiscard]] int bufferScan(Channel &channel, QuickRequest *request, EventCallback *events);
[[nodiscard]] int quickFileScan(Channel &channel, const char *path, int mode, const char *options,
                                EventCallback *events);

}  // namespace ql::kav

#endif

#endif  // QL_KAV_KAV_SCANNER_H
