// The BD walks of a scan tree: each directory of the tree scanned on its own, file by file,
// through the file scanner of bd/bd_scanner.h (subdirectories come from the tree).
//
// Nothing is passed over in silence: a file that cannot be examined or scanned, and a directory
// of the tree that cannot be read, is reported with QL_EV_FAILED, counted in scanErrors and
// gives QL_RES_ERROR. Entries that vanish while the directory is read, and links that lead
// nowhere, are no objects and are not reported.
#ifndef QL_BD_BD_TREE_SCANNER_H
#define QL_BD_BD_TREE_SCANNER_H

#include "bd/bd_iface.h"
#include "common/scan_tree.h"
#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// Scan the regular files (links by their targets) directly in directory path, each with
// QL_BDScanner; subdirectories are left to the scan tree. Adds 1 to dirsScanned. request->path
// points at each file while it is scanned and is NULL on return. Returns the union of the
// files' results, QL_RES_STOPPED after a stop (the remaining files are not scanned), or -1 with
// error 22 for a missing argument or the error of reading the directory.
int QL_BDDirectoryScanner(BDInstance *instance, const char *path, ObjectRequest *request,
                          ScanReport *report, const char *actionArg);

// Scan the directory of node, then the subtrees of its children, then those of its following
// siblings, each with QL_BDDirectoryScanner. A directory that cannot be read is reported, and a
// stop in one directory ends only that directory. Returns the union of the results (0 for a
// NULL node), or -1 with error 22 for a missing instance, request or report.
int QL_BDTraverseScanTree(BDInstance *instance, const ScanTreeNode *node, ObjectRequest *request,
                          ScanReport *report, const char *actionArg);

#ifdef __cplusplus
}
#endif

#endif  // QL_BD_BD_TREE_SCANNER_H
