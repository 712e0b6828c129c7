// The KAV object scans: the full file scanner (counters, events, infected-file actions and the
// prompt), the walk of a file or directory given as one object, and the walk of a scan tree.
//
// Results: the QL_RES_* bit set OR-ed over every file scanned, or -1 with the last error set
// (bad arguments, or a top object that cannot be examined or opened). Files and directories
// below the top that fail are passed over. QL_RES_STOPPED is returned alone, as soon as onEvent
// answers QL_CB_STOP.
//
// A reply that ends before its final line counts in scanErrors and gives QL_RES_ERROR, never a
// clean file. A stop asked during a per-object line is honoured once the reply is read to its
// end, so the connection stays in step for the next file.
#ifndef QL_KAV_KAV_OBJECT_SCANNER_H
#define QL_KAV_KAV_OBJECT_SCANNER_H

#include <stdint.h>

#include "common/scan_tree.h"
#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// What the line callback of one file scan keeps (second context of QL_KAVProcessReturnMessage).
typedef struct FileReplyContext {
    char infectionNames[QL_PATH_MAX]; /* the names of the 322 lines, ':'-separated */
    char errorText[QL_PATH_MAX];      /* text of a 4xx or 5xx line, at most 255 characters */
    ScanReport *report;               /* the caller's: counters and events */
    uint8_t archiveSeen;              /* a 325, 326 or 329 line came */
    uint8_t stopAsked;                /* onEvent answered QL_CB_STOP to a per-object line */
} FileReplyContext;

// Scan one regular file with "SCAN <options> <path>" on connection, count the outcome in report,
// send its events to report->events and apply action (QL_ACT_*; QL_ACT_PROMPT asks prompt, and
// without a prompt leaves the file) to an infected or suspicious file, with extra->actionArg as
// the rename extension or quarantine directory. -1 with error 22 for a negative connection, a
// NULL path, options or report, or a path or options carrying CR or LF; extra may be NULL when
// the action needs no argument.
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

// Scan request->path (absolute): a regular file, or a directory with everything below it as
// the options, extra and limits allow. A symbolic link is followed only with QL_OPT_LINK, and to
// a file on another device than its directory only with QL_OPT_XDEV. Anything else gives 0.
int QL_KAVScanObject(int connection, ObjectRequest *request, ExtraData *extra, ScanReport *report);

// Scan the directory request->path at depth (1 for the first) and, unless QL_OPT_NO_RECURSE or
// extra->maxDepth says otherwise, the directories below it. Links are followed only with
// QL_OPT_LINK, to another device than startDevice only with QL_OPT_XDEV, and never back into a
// directory the walk is already inside. Sends QL_EV_CLEAN with QL_OBJ_DIRECTORY for each
// directory entered and counts it in dirsScanned. An excluded directory gives 0.
int QL_KAVScanDirectory(int connection, ObjectRequest *request, const char *options,
                        ExtraData *extra, ScanReport *report, uint64_t startDevice, unsigned depth);

// Scan node, the nodes after it in its sibling list and everything below them, each directory
// on its own (request->scanOpts should hold QL_OPT_NO_RECURSE). request is the working request;
// its path is changed. 0 for a NULL node or request; -1 when node itself fails.
int QL_KAVTraverseScanTree(int connection, ScanTreeNode *node, ObjectRequest *request,
                           ExtraData *extra, ScanReport *report);

// 1 when the file at path is left out by the extension rules (QL_OPT_SCAN_EXT, QL_OPT_SKIP_EXT
// with extList) or is larger than sizeLimit KB (0: no limit); else 0.
int QL_KAVExcludeFileScan(const char *path, uint32_t scanOpts, const char *extList,
                          uint32_t sizeLimit);

// 1 when the extension of path's last component (at most 3 characters) equals an entry of
// extList (':'-separated, the first 1023 characters), ignoring case; else 0.
int QL_KAVisInExtensionList(const char *path, const char *extList);

// 1 when path is the same directory (device and inode) as an entry of excludeDirs; else 0.
int QL_KAVisInExcludeDir(const char *path, const char *excludeDirs);

#ifdef __cplusplus
}

namespace ql::kav {

class Channel;

// The scans of this unit over any channel; a walk keeps one channel for its whole length.
[[nodiscard]] int fileScan(Channel &channel, const char *path, const char *options, int action,
                           ExtraData *extra, ScanReport *report, QL_PromptFn prompt);
[[nodiscard]] int scanObject(Channel &channel, ObjectRequest *request, ExtraData *extra,
                             ScanReport *report);
[[nodiscard]] int traverseScanTree(Channel &channel, ScanTreeNode *node, ObjectRequest *request,
                                   ExtraData *extra, ScanReport *report);

}  // namespace ql::kav

#endif

#endif  // QL_KAV_KAV_OBJECT_SCANNER_H
