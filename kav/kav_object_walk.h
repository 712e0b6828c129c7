// The KAV walks of the object scans: a file or directory given as one object, and a scan tree,
// each file handed to the file scanner of kav/kav_object_scanner.h.
//
// Results: the QL_RES_* bit set OR-ed over every file scanned, or -1 with the last error set
// (bad arguments, or a top object that cannot be examined or opened). QL_RES_STOPPED is
// returned alone, as soon as onEvent answers QL_CB_STOP.
//
// Nothing below the top is passed over in silence: the walk goes through directory descriptors,
// so paths of any length are reached, and an entry that cannot be examined or opened, or a
// directory nested deeper than ql::kMaxWalkLevels, is reported with QL_EV_FAILED, counted in
// scanErrors and gives QL_RES_ERROR. Entries the options leave out (links without QL_OPT_LINK,
// other devices, extensions, sizes, depth, excluded directories) are not reported.
#ifndef QL_KAV_KAV_OBJECT_WALK_H
#define QL_KAV_KAV_OBJECT_WALK_H

#include <stdint.h>

#include "common/scan_tree.h"
#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

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
// its path is changed. 0 for a NULL node or request; -1 when the root of the tree fails; a
// directory below it that fails is reported as not scanned.
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

// The walks over any channel; a walk keeps one channel for its whole length.
[[nodiscard]] int scanObject(Channel &channel, ObjectRequest *request, ExtraData *extra,
                             ScanReport *report);
[[nodiscard]] int traverseScanTree(Channel &channel, ScanTreeNode *node, ObjectRequest *request,
                                   ExtraData *extra, ScanReport *report);

}  // namespace ql::kav

#endif

#endif  // QL_KAV_KAV_OBJECT_WALK_H
