#include "common/scan_tree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/iface_utils.h"
#include "common/object_reach.h"
#include "common/unique_fd.h"

namespace {

// The code the library reports when a node cannot be allocated.
constexpr int kNodeAllocationFailed = 14;

// Device first: inode numbers repeat across file systems.
using DirId = std::pair<uint64_t, uint64_t>;

bool identify(const char *path, DirId &id) {
    struct stat st;
    if (::stat(path, &st) != 0) {
        return false;
    }
    id = {st.st_dev, st.st_ino};
    return true;
}

std::vector<DirId> excludedDirectories(const char *list) {
    std::vector<DirId> ids;
    if (list == nullptr) {
        return ids;
    }
    std::string copy(std::string_view(list).substr(0, QL_PATH_MAX - 1));
    std::size_t start = 0;
    while (start < copy.size()) {
        std::size_t end = copy.find(':', start);
        if (end == std::string::npos) {
            end = copy.size();
        }
        std::string piece = copy.substr(start, end - start);
        DirId id;
        if (!piece.empty() && piece[0] == '/' && identify(piece.c_str(), id)) {
            ids.push_back(id);
        }
        start = end + 1;
    }
    return ids;
}

const ScanTreeNode *rootOf(const ScanTreeNode *node) {
    while (node->parent != nullptr) {
        node = node->parent;
    }
    return node;
}

// Visits node, the nodes after it in its sibling list and everything below them, until visit
// returns true; an explicit stack keeps deep and wide trees off the call stack.
template <typename Visit>
bool anyNode(const ScanTreeNode *node, Visit visit) {
    std::vector<const ScanTreeNode *> pending;
    if (node != nullptr) {
        pending.push_back(node);
    }
    while (!pending.empty()) {
        const ScanTreeNode *current = pending.back();
        pending.pop_back();
        if (visit(current)) {
            return true;
        }
        if (current->firstChild != nullptr) {
            pending.push_back(current->firstChild);
        }
        if (current->nextSibling != nullptr) {
            pending.push_back(current->nextSibling);
        }
    }
    return false;
}

// Entry names of a directory in reading order, without "." and "..".
int listDirectory(const char *path, std::vector<std::string> &names) {
    struct stat st;
    if (::stat(path, &st) != 0) {
        return ql::setErrnoError();
    }
    if (!S_ISDIR(st.st_mode)) {
        return QL_SetError(ENOTDIR);
    }
    ql::UniqueDir dir(::opendir(path));
    if (!dir) {
        return ql::setErrnoError();
    }
    while (const dirent *entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    return 0;
}

// QL_SCAN_TREE_MAX_NODES, or the smaller positive limit QL_SCAN_TREE_LIMIT gives.
int nodeLimit() {
    const char *text = std::getenv("QL_SCAN_TREE_LIMIT");
    char *end = nullptr;
    long value = text != nullptr ? std::strtol(text, &end, 10) : 0;
    bool lower = text != nullptr && *text != '\0' && *end == '\0' && value > 0 &&
                 value < QL_SCAN_TREE_MAX_NODES;
    return lower ? static_cast<int>(value) : QL_SCAN_TREE_MAX_NODES;
}

struct Build {
    std::vector<DirId> excluded;
    std::set<DirId> inTree;
    int nodes = 0;
    int nodeLimit = QL_SCAN_TREE_MAX_NODES;
    int maxDepth = 0;
    bool followLinks = false;
    bool crossDevices = false;
    std::vector<ql::LeftOutDirectory> *leftOut = nullptr;

    void leaveOut(const std::string &path, const char *reason) const {
        if (leftOut != nullptr) {
            leftOut->push_back({path, reason});
        }
    }
};

// One directory being listed: the walk is depth first, in reading order, like a recursion
// that enters each accepted subdirectory before looking at the next entry.
struct Frame {
    ScanTreeNode *node;
    std::string path;
    uint64_t device;
    int depth;
    std::vector<std::string> names;
    std::size_t next = 0;
    ScanTreeNode *lastChild = nullptr;
};

Build startBuild(const ScanTreeNode *node, const char *excludeDirs, int maxDepth, bool followLinks,
                 bool crossDevices) {
    Build build;
    build.nodeLimit = nodeLimit();
    build.excluded = excludedDirectories(excludeDirs);
    build.maxDepth = maxDepth;
    build.followLinks = followLinks;
    build.crossDevices = crossDevices;
    anyNode(rootOf(node), [&build](const ScanTreeNode *member) {
        DirId id;
        if (identify(member->dirPath, id)) {
            build.inTree.insert(id);
        }
        ++build.nodes;
        return false;
    });
    return build;
}

bool isExcluded(const Build &build, const DirId &id) {
    for (const DirId &excluded : build.excluded) {
        if (excluded == id) {
            return true;
        }
    }
    return false;
}

// Whether an entry is a directory that belongs in the tree; if so, its resolved path,
// identity and device. A directory of the scan whose path does not fit a node is left out.
bool acceptEntry(Build &build, const Frame &frame, const std::string &name,
                 char (&resolved)[QL_PATH_MAX], DirId &id) {
    std::string child = frame.path + "/" + name;
    struct stat own, target;
    if (::lstat(child.c_str(), &own) != 0 || ::stat(child.c_str(), &target) != 0) {
        return false;
    }
    if ((S_ISLNK(own.st_mode) && !build.followLinks) || !S_ISDIR(target.st_mode)) {
        return false;
    }
    if (target.st_dev != frame.device && !build.crossDevices) {
        return false;
    }
    id = {target.st_dev, target.st_ino};
    if (build.inTree.count(id) != 0 || isExcluded(build, id)) {
        return false;
    }
    int length = child.size() < QL_PATH_MAX ? QL_ResolveSymlink(child.c_str(), resolved) : 0;
    if (length < 0) {
        return false;
    }
    // A cut path would name some other directory.
    if (child.size() >= QL_PATH_MAX || length >= QL_PATH_MAX) {
        build.inTree.insert(id);
        build.leaveOut(child, ql::systemErrorText(ENAMETOOLONG));
        return false;
    }
    return true;
}

ScanTreeNode *appendChild(Frame &frame, const char *path) {
    ScanTreeNode *child = QL_addScanDirChild(nullptr, path);
    if (child == nullptr) {
        return nullptr;
    }
    child->parent = frame.node;
    if (frame.lastChild != nullptr) {
        frame.lastChild->nextSibling = child;
    } else {
        frame.node->firstChild = child;
    }
    frame.lastChild = child;
    return child;
}

ScanTreeNode *lastChildOf(const ScanTreeNode *node) {
    ScanTreeNode *child = node->firstChild;
    while (child != nullptr && child->nextSibling != nullptr) {
        child = child->nextSibling;
    }
    return child;
}

int grow(Build &build, std::vector<Frame> &stack) {
    int added = 0;
    while (!stack.empty()) {
        Frame &frame = stack.back();
        if (frame.next == frame.names.size()) {
            stack.pop_back();
            continue;
        }
        char resolved[QL_PATH_MAX];
        DirId id;
        if (!acceptEntry(build, frame, frame.names[frame.next++], resolved, id)) {
            continue;
        }
        if (build.nodes >= build.nodeLimit) {
            // Full: the entries already listed are still looked at, so that every directory
            // left out is told.
            QL_SetError(ENOMEM);
            build.inTree.insert(id);
            build.leaveOut(resolved, ql::kTreeFullText);
            continue;
        }
        ScanTreeNode *child = appendChild(frame, resolved);
        if (child == nullptr) {
            continue;
        }
        build.inTree.insert(id);
        ++build.nodes;
        ++added;
        int depth = frame.depth + 1;
        std::vector<std::string> names;
        if ((build.maxDepth > 0 && depth >= build.maxDepth) ||
            listDirectory(child->dirPath, names) < 0) {
            continue;
        }
        stack.push_back(Frame{child, child->dirPath, id.first, depth, std::move(names)});
    }
    return added;
}

// QL_CreateChildScanTree, telling leftOut (when given) what it leaves out.
int growChildren(ScanTreeNode *node, const char *path, const char *excludeDirs, uint64_t device,
                 int depth, int maxDepth, bool followLinks, bool crossDevices, int count,
                 std::vector<ql::LeftOutDirectory> *leftOut) {
    if (node == nullptr || path == nullptr || (maxDepth > 0 && depth >= maxDepth)) {
        return count;
    }
    std::vector<std::string> names;
    if (listDirectory(path, names) < 0) {
        return -1;
    }
    Build build = startBuild(node, excludeDirs, maxDepth, followLinks, crossDevices);
    build.leftOut = leftOut;
    std::vector<Frame> stack;
    stack.push_back(Frame{node, path, device, depth, std::move(names)});
    stack.back().lastChild = lastChildOf(node);
    return count + grow(build, stack);
}

int createTree(ScanTreeNode **root, const char *path, const char *excludeDirs, int maxDepth,
               bool followLinks, bool crossDevices, std::vector<ql::LeftOutDirectory> *leftOut) {
    struct stat st;
    if (root == nullptr || path == nullptr || maxDepth < 0 || ::stat(path, &st) != 0) {
        return QL_SetError(EINVAL);
    }
    char absolute[QL_PATH_MAX];
    if (QL_GetAbsolutePath(path, nullptr, absolute) < 0) {
        return -1;
    }
    ScanTreeNode *top = QL_addScanDirChild(nullptr, absolute);
    if (top == nullptr) {
        return QL_SetError(kNodeAllocationFailed);
    }
    *root = top;
    int added = growChildren(top, absolute, excludeDirs, st.st_dev, 0, maxDepth, followLinks,
                             crossDevices, 0, leftOut);
    return 1 + (added > 0 ? added : 0);
}

}  // namespace

int ql::createScanTree(ScanTreeNode **root, const char *path, const char *excludeDirs, int maxDepth,
                       bool followLinks, bool crossDevices,
                       std::vector<LeftOutDirectory> &leftOut) {
    return createTree(root, path, excludeDirs, maxDepth, followLinks, crossDevices, &leftOut);
}

bool ql::isInExcludeDir(const struct stat &dir, const char *excludeDirs) {
    DirId id{dir.st_dev, dir.st_ino};
    for (const DirId &excluded : excludedDirectories(excludeDirs)) {
        if (excluded == id) {
            return true;
        }
    }
    return false;
}

int QL_CreateScanTree(ScanTreeNode **root, const char *path, const char *excludeDirs, int maxDepth,
                      uint8_t followLinks, uint8_t crossDevices) {
    return createTree(root, path, excludeDirs, maxDepth, followLinks != 0, crossDevices != 0,
                      nullptr);
}

int QL_CreateChildScanTree(ScanTreeNode *node, const char *path, const char *excludeDirs,
                           uint64_t device, int depth, int maxDepth, uint8_t followLinks,
                           uint8_t crossDevices, int count) {
    return growChildren(node, path, excludeDirs, device, depth, maxDepth, followLinks != 0,
                        crossDevices != 0, count, nullptr);
}

ScanTreeNode *QL_addScanDirChild(ScanTreeNode *parent, const char *path) {
    if (path == nullptr) {
        QL_SetError(EINVAL);
        return nullptr;
    }
    auto *node = static_cast<ScanTreeNode *>(std::calloc(1, sizeof(ScanTreeNode)));
    if (node == nullptr) {
        QL_SetError(kNodeAllocationFailed);
        return nullptr;
    }
    ql::copyBounded(node->dirPath, path);
    if (parent != nullptr) {
        node->parent = parent;
        ScanTreeNode *last = lastChildOf(parent);
        (last != nullptr ? last->nextSibling : parent->firstChild) = node;
    }
    return node;
}

int QL_isInScanTree(const ScanTreeNode *node, const char *path) {
    return node != nullptr ? QL_SearchDirList(rootOf(node), path) : 0;
}

int QL_SearchDirList(const ScanTreeNode *node, const char *path) {
    DirId wanted;
    if (node == nullptr || path == nullptr || !identify(path, wanted)) {
        return 0;
    }
    return anyNode(node, [&wanted](const ScanTreeNode *member) {
        DirId id;
        return identify(member->dirPath, id) && id == wanted;
    });
}

int QL_isInExcludeDir(const char *path, const char *excludeDirs) {
    struct stat st;
    if (path == nullptr || excludeDirs == nullptr || ::stat(path, &st) != 0) {
        return 0;
    }
    return ql::isInExcludeDir(st, excludeDirs) ? 1 : 0;
}

int QL_ClearScanTree(ScanTreeNode **root) {
    if (root == nullptr) {
        return QL_SetError(EINVAL);
    }
    int freed = QL_ClearScanSubTree(*root);
    *root = nullptr;
    return freed;
}

int QL_ClearScanSubTree(ScanTreeNode *node) {
    // Rotating each first child up into the sibling chain frees the tree in one pass with no
    // stack at all, however deep it is.
    int freed = 0;
    while (node != nullptr) {
        if (ScanTreeNode *child = node->firstChild; child != nullptr) {
            node->firstChild = child->nextSibling;
            child->nextSibling = node;
            node = child;
        } else {
            ScanTreeNode *next = node->nextSibling;
            std::free(node);
            ++freed;
            node = next;
        }
    }
    return freed;
}
