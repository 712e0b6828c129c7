// The KAV object scans: the full file scanner (counters, events, infected-file actions and the
// prompt) here, and the walks of a file or directory and of a scan tree in
// kav/kav_object_walk.h.
//
// A file whose path cannot go on a command line (it holds a line end, or is QL_PATH_MAX
// characters or longer) is sent as the /proc alias of a descriptor held for the conversation
// (ql::descriptorAlias); events and actions still name its path. A file that cannot be sent or
// gets no complete reply is reported with QL_EV_FAILED, counts in scanErrors and gives
// QL_RES_ERROR, never a clean file. A stop asked during a per-object line ends the scan only
// when the reply breaks off right after that line; otherwise the final line decides.
#ifndef QL_KAV_KAV_OBJECT_SCANNER_H
#define QL_KAV_KAV_OBJECT_SCANNER_H

#include <stdint.h>

#include "kav/kav_object_walk.h"
#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// What the line callback of one file scan keeps (second context of QL_KAVProcessReturnMessage).
typedef struct FileReplyContext {
    char infectionNames[QL_PATH_MAX]; /* the names of the 322 lines, ':'-separated */
    char errorText[QL_PATH_MAX];      /* a 4xx or 5xx line's text up to its LF, at most 255 */
    ScanReport *report;               /* the caller's: counters and events */
    uint8_t archiveSeen;              /* a 325, 326 or 329 line came */
} FileReplyContext;

// Scan one regular file with "SCAN <options> <path>" on connection, count the outcome in report,
// send its events to report->events and apply action (QL_ACT_*; QL_ACT_PROMPT asks prompt, and
// without a prompt leaves the file) to an infected or suspicious file, with extra->actionArg as
// the rename extension or quarantine directory. -1 with error 22 for a negative connection, a
// NULL path, options or report, or options carrying CR or LF; extra may be NULL when the action
// needs no argument.
int QL_KAVFileScanner(int connection, const char *path, const char *options, int action,
                      ExtraData *extra, ScanReport *report, QL_PromptFn prompt);

// A ReplyLineFn for file scans: context1 is the scanned path, context2 a FileReplyContext.
// Counts and reports the per-object lines and keeps a 4xx or 5xx line's text. Returns the line's
// code (64 when onEvent asked to stop); -1 with error 903 for a line shorter than 4 characters.
int QL_KAVProcessReturnMessage(char *line, void *context1, void *context2);

// Ask prompt for the action on path. For quarantine (3) argument becomes the default quarantine
// directory QL_ROOT/var/Quellar/var/quarantine/kestra, for rename (2) the extension "qlt".
// argument holds QL_PATH_MAX characters. Returns the prompt's answer; -1 with error 22 for a
// NULL argument.
int QL_KAVpromptInfectedAction(QL_PromptFn prompt, const char *path, char *argument);

// The text after the last '.' of the last component of path, pointing into path; NULL when path
// is NULL, the component has no '.', or the '.' ends it.
const char *QL_KAVgetFileExtension(const char *path);

#ifdef __cplusplus
}

#include <fcntl.h>

namespace ql::kav {

class Channel;

// Where the file is opened when it has to be sent as a descriptor alias: name (NULL: the path)
// relative to the directory open as dirfd, a final symbolic link followed or not.
struct FileAt {
    int dirfd = AT_FDCWD;
    const char *name = nullptr;
    bool followLink = true;
};

// QL_KAVFileScanner over any channel.
[[nodiscard]] int fileScan(Channel &channel, const char *path, const char *options, int action,
                           ExtraData *extra, ScanReport *report, QL_PromptFn prompt,
                           FileAt at = {});

}  // namespace ql::kav

#endif

#endif  // QL_KAV_KAV_OBJECT_SCANNER_H
