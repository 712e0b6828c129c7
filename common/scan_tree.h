// The scan tree: every directory an object scan with QL_OPT_LINK visits, each listed once after
// links are followed, built up front so that link loops, directories reached twice and excluded
// directories stay out of the scan. The back ends walk it and scan each directory on its own.
//
// Two directories are the same when device and inode are equal. Building and freeing walk the
// tree without recursion, so a deep or wide tree cannot exhaust the stack; a tree holds at most
// QL_SCAN_TREE_MAX_NODES nodes (fewer when the environment variable QL_SCAN_TREE_LIMIT holds a
// smaller positive number, for tests). Not thread-safe: a tree belongs to the call that built
// it.
#ifndef QL_COMMON_SCAN_TREE_H
#define QL_COMMON_SCAN_TREE_H

#include <stdint.h>

#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// The most nodes one tree holds; directories beyond it are left out (last error 12).
#define QL_SCAN_TREE_MAX_NODES 100000

// One directory. dirPath comes first: walkers treat a node pointer as its path text.
typedef struct ScanTreeNode {
    char dirPath[QL_PATH_MAX];         // absolute, links resolved
    struct ScanTreeNode *parent;       // NULL for the root
    struct ScanTreeNode *nextSibling;  // next child of the same parent, in reading order
    struct ScanTreeNode *firstChild;   // NULL for a leaf
} ScanTreeNode;

// Build the tree of path (made absolute) into *root: path, then every directory below it down
// to maxDepth levels (0: no limit), skipping links unless followLinks, other file systems unless
// crossDevices, directories already in the tree and those in excludeDirs (':'-separated
// absolute paths, NULL for none). Returns the number of nodes (1 or more). Fails with 22 when
// root or path is NULL, maxDepth is negative or path does not exist, with the error of
// QL_GetAbsolutePath, or with 14 when the root node cannot be allocated. Directories below the
// root that cannot be listed stay leaves; a root that is no directory gives a tree of one node.
// Free the tree with QL_ClearScanTree.
int QL_CreateScanTree(ScanTreeNode **root, const char *path, const char *excludeDirs, int maxDepth,
                      uint8_t followLinks, uint8_t crossDevices);

// Add the subdirectories of path below node, as QL_CreateScanTree does; node sits depth levels
// below the root and path lies on device. Returns count plus the number of nodes added (count
// when node or path is NULL or depth has reached maxDepth); -1 with errno, or 20 when it is no
// directory, when path itself cannot be listed. Entries whose path would not fit QL_PATH_MAX are
// left out (last error 36).
int QL_CreateChildScanTree(ScanTreeNode *node, const char *path, const char *excludeDirs,
                           uint64_t device, int depth, int maxDepth, uint8_t followLinks,
                           uint8_t crossDevices, int count);

// A new node for path (cut to QL_PATH_MAX - 1 characters) without children, appended as the
// last child of parent when parent is not NULL. NULL with error 22 for a NULL path, 14 when
// memory runs out.
ScanTreeNode *QL_addScanDirChild(ScanTreeNode *parent, const char *path);

// 1 when path is the same directory as any node of the tree node belongs to, else 0.
int QL_isInScanTree(const ScanTreeNode *node, const char *path);

// 1 when path is the same directory as node, a node after it in its sibling list or a node
// below those; 0 otherwise, and when node or path is NULL or path does not exist.
int QL_SearchDirList(const ScanTreeNode *node, const char *path);

// 1 when path is the same directory as an entry of excludeDirs (':'-separated, the first 1023
// characters; entries not beginning with '/' are ignored), else 0.
int QL_isInExcludeDir(const char *path, const char *excludeDirs);

// Free the whole tree at *root, set *root to NULL and return the number of nodes freed (0 for
// an empty tree); -1 with error 22 when root is NULL.
int QL_ClearScanTree(ScanTreeNode **root);

// Free node, everything below it and every node after it in its sibling list; returns their
// number (0 for NULL). The caller unlinks node from its parent first if the parent stays.
int QL_ClearScanSubTree(ScanTreeNode *node);

#ifdef __cplusplus
}

#include <sys/stat.h>

#include <string>
#include <vector>

namespace ql {

// A directory a scan tree leaves out, with everything below it, although it belongs to the
// scan: its path does not fit a node, or the tree is full. reason is the text to report.
struct LeftOutDirectory {
    std::string path;
    std::string reason;
};

// The text reported for the directories a full tree leaves out.
inline constexpr const char *kTreeFullText = "Too many directories";

// QL_CreateScanTree, appending to leftOut every directory it leaves out as above.
[[nodiscard]] int createScanTree(ScanTreeNode **root, const char *path, const char *excludeDirs,
                                 int maxDepth, bool followLinks, bool crossDevices,
                                 std::vector<LeftOutDirectory> &leftOut);

// Whether dir (the status of a directory) is the same directory as an entry of excludeDirs, as
// QL_isInExcludeDir decides for a path.
[[nodiscard]] bool isInExcludeDir(const struct stat &dir, const char *excludeDirs);

}  // namespace ql

#endif

#endif  // QL_COMMON_SCAN_TREE_H
