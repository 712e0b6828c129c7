#include "kav/kav_object_walk.h"

#include <fcntl.h>
#include <libgen.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/iface_utils.h"
#include "common/object_reach.h"
#include "common/unique_fd.h"
#include "kav/kav_daemon_pool.h"
#include "kav/kav_object_scanner.h"
#include "kav/kav_reply.h"
#include "kav/kav_scanner.h"

namespace ql::kav {

namespace {

constexpr std::size_t kMaxExtension = 3;
constexpr std::size_t kMaxListEntry = 4;

// Option letters of an object scan: those of a quick scan without the trailing "m" or "M".
void objectOptionText(uint32_t scanOpts, char (&out)[kOptionTextSize]) {
    quickOptionText(scanOpts & ~0x8001U, out);
    std::size_t length = std::strlen(out);
    if (length > 0 && (out[length - 1] == 'm' || out[length - 1] == 'M')) {
        out[length - 1] = '\0';
    }
}

// Whether the file at path (with status known, when given) is left out by the extension rules
// or the size limit.
bool excludedFile(const char *path, uint32_t scanOpts, const char *extList, uint32_t sizeLimit,
                  const struct stat *known) {
    if ((scanOpts & QL_OPT_SCAN_EXT) != 0 && QL_KAVisInExtensionList(path, extList) == 0) {
        return true;
    }
    if ((scanOpts & QL_OPT_SKIP_EXT) != 0 && QL_KAVisInExtensionList(path, extList) != 0) {
        return true;
    }
    struct stat st {};
    if (sizeLimit == 0 || (known == nullptr && stat(path, &st) != 0)) {
        return false;
    }
    auto size = static_cast<uint64_t>((known != nullptr ? *known : st).st_size);
    return size > static_cast<uint64_t>(sizeLimit) * 1024U;
}

bool examine(const char *path, struct stat &followed, struct stat &own) {
    return lstat(path, &own) == 0 && stat(path, &followed) == 0;
}

bool linkedFileCrossesDevice(const char *path, const struct stat &target) {
    char copy[QL_PATH_MAX];
    copyBounded(copy, path);
    struct stat parent {};
    if (stat(dirname(copy), &parent) != 0) {
        return false;
    }
    return parent.st_dev != target.st_dev;
}

// The directories the walk is inside, innermost first: a followed link leading back into one of
// them would never end.
struct Ancestor {
    dev_t device;
    ino_t inode;
    const Ancestor *parent;
};

bool isAncestor(const Ancestor *chain, const struct stat &st) {
    for (; chain != nullptr; chain = chain->parent) {
        if (chain->device == st.st_dev && chain->inode == st.st_ino) {
            return true;
        }
    }
    return false;
}

// What one walk keeps from its start to its end.
struct Walk {
    Channel &channel;
    const ObjectRequest &request;  // its scanOpts, actOpts and prompt
    const char *options;
    ExtraData *extra;
    ScanReport *report;
};

int scanDirectoryAt(Walk &walk, int dirfd, const std::string &path, uint64_t startDevice,
                    unsigned depth, const Ancestor *ancestors);

// One entry of the directory open as dirfd: its result or QL_RES_STOPPED. What cannot be
// examined or opened is reported; what the options leave out gives 0.
int scanEntry(Walk &walk, int dirfd, const char *name, const std::string &path,
              uint64_t startDevice, unsigned depth, const Ancestor *ancestors) {
    uint32_t opts = walk.request.scanOpts;
    struct stat own {};
    if (fstatat(dirfd, name, &own, AT_SYMLINK_NOFOLLOW) != 0) {
        // An entry removed since the directory was read is no object any more.
        return errno == ENOENT ? 0
                               : reportNotScanned(walk.report, path.c_str(), QL_OBJ_FILE,
                                                  systemErrorText(errno));
    }
    struct stat followed = own;
    bool link = S_ISLNK(own.st_mode);
    if (link && (opts & QL_OPT_LINK) == 0) {
        return 0;
    }
    if (link && fstatat(dirfd, name, &followed, 0) != 0) {
        // A link that leads nowhere is no object; one whose target cannot be examined hides one.
        return errno == ENOENT || errno == ELOOP
                   ? 0
                   : reportNotScanned(walk.report, path.c_str(), QL_OBJ_FILE,
                                      systemErrorText(errno));
    }
    if (link && followed.st_dev != startDevice && (opts & QL_OPT_XDEV) == 0) {
        return 0;
    }
    if (S_ISREG(followed.st_mode)) {
        ExtraData *extra = walk.extra;
        if (excludedFile(path.c_str(), opts, extra->extList, extra->sizeLimit, &followed)) {
            return 0;
        }
        return fileScan(walk.channel, path.c_str(), walk.options, walk.request.actOpts, extra,
                        walk.report, walk.request.prompt, FileAt{dirfd, name, link});
    }
    if (!S_ISDIR(followed.st_mode) || (opts & QL_OPT_NO_RECURSE) != 0 ||
        (walk.extra->maxDepth != 0 && walk.extra->maxDepth <= depth) ||
        isAncestor(ancestors, followed)) {
        return 0;
    }
    if (depth > kMaxWalkLevels) {
        return reportNotScanned(walk.report, path.c_str(), QL_OBJ_DIRECTORY, kTooDeepText);
    }
    UniqueFd child(
        openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (link ? 0 : O_NOFOLLOW)));
    int outcome =
        child ? scanDirectoryAt(walk, child.get(), path, followed.st_dev, depth + 1, ancestors)
              : setErrnoError();
    return outcome >= 0
               ? outcome
               : reportNotScanned(walk.report, path.c_str(), QL_OBJ_DIRECTORY, QL_GetErrorText());
}

// The directory open as dirfd (named path) at depth: its event, then every entry. -1 with the
// last error set when it cannot be read.
int scanDirectoryAt(Walk &walk, int dirfd, const std::string &path, uint64_t startDevice,
                    unsigned depth, const Ancestor *ancestors) {
    struct stat self {};
    if (fstat(dirfd, &self) != 0) {
        return setErrnoError();
    }
    if (isInExcludeDir(self, walk.extra->excludeDirs)) {
        return 0;
    }
    std::vector<std::string> names;
    if (entryNamesAt(dirfd, names) < 0) {
        return -1;
    }
    const Ancestor here{self.st_dev, self.st_ino, ancestors};
    QL_Log(nullptr, QL_LOG_INFO, "Scanning directory %s\n", path.c_str());
    if (sendEvent(&walk.report->events, path.c_str(), QL_OBJ_DIRECTORY, QL_EV_CLEAN, nullptr,
                  nullptr) == QL_CB_STOP) {
        return QL_RES_STOPPED;
    }
    walk.report->dirsScanned++;
    int result = QL_RES_CLEAN;
    for (const std::string &name : names) {
        int outcome = scanEntry(walk, dirfd, name.c_str(), entryPath(path, name.c_str()),
                                startDevice, depth, &here);
        if (outcome == QL_RES_STOPPED) {
            return QL_RES_STOPPED;
        }
        result |= outcome > 0 ? outcome : 0;
    }
    return result;
}

}  // namespace

int scanObject(Channel &channel, ObjectRequest *request, ExtraData *extra, ScanReport *report) {
    if (request == nullptr || request->path == nullptr || request->path[0] != '/' ||
        report == nullptr || extra == nullptr) {
        return QL_SetError(EINVAL);
    }
    const char *path = request->path;
    struct stat followed {};
    struct stat own {};
    if (!examine(path, followed, own)) {
        return setErrnoError();
    }
    if (S_ISLNK(own.st_mode)) {
        if ((request->scanOpts & QL_OPT_LINK) == 0) {
            return 0;
        }
        if (S_ISREG(followed.st_mode) && (request->scanOpts & QL_OPT_XDEV) == 0 &&
            linkedFileCrossesDevice(path, followed)) {
            return 0;
        }
    }
    char options[kOptionTextSize];
    objectOptionText(request->scanOpts, options);
    if (S_ISREG(followed.st_mode)) {
        if (excludedFile(path, request->scanOpts, extra->extList, extra->sizeLimit, &followed)) {
            return 0;
        }
        return fileScan(channel, path, options, request->actOpts, extra, report, request->prompt);
    }
    if (!S_ISDIR(followed.st_mode)) {
        return 0;
    }
    UniqueFd dir(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        return setErrnoError();
    }
    Walk walk{channel, *request, options, extra, report};
    return scanDirectoryAt(walk, dir.get(), path, followed.st_dev, 1, nullptr);
}

int traverseScanTree(Channel &channel, ScanTreeNode *node, ObjectRequest *request, ExtraData *extra,
                     ScanReport *report) {
    if (node == nullptr || request == nullptr) {
        return 0;
    }
    // The whole sibling list is scanned first, then the directories below each of its nodes, so
    // only the depth of the tree, never its width, costs stack.
    int result = QL_RES_CLEAN;
    for (ScanTreeNode *at = node; at != nullptr; at = at->nextSibling) {
        request->path = at->dirPath;
        int part = scanObject(channel, request, extra, report);
        if (part < 0 && at->parent == nullptr) {
            return -1;
        }
        if (part < 0) {
            part = reportNotScanned(report, at->dirPath, QL_OBJ_DIRECTORY, QL_GetErrorText());
        }
        if (part == QL_RES_STOPPED) {
            return QL_RES_STOPPED;
        }
        result |= part;
    }
    for (ScanTreeNode *at = node; at != nullptr; at = at->nextSibling) {
        request->path = nullptr;
        int part = traverseScanTree(channel, at->firstChild, request, extra, report);
        if (part == QL_RES_STOPPED) {
            return QL_RES_STOPPED;
        }
        result |= part > 0 ? part : 0;
    }
    return result;
}

}  // namespace ql::kav

extern "C" {

int QL_KAVScanObject(int connection, ObjectRequest *request, ExtraData *extra, ScanReport *report) {
    if (connection < 0) {
        return QL_SetError(EINVAL);
    }
    ql::kav::FdChannel channel(connection);
    return ql::kav::scanObject(channel, request, extra, report);
}

int QL_KAVScanDirectory(int connection, ObjectRequest *request, const char *options,
                        ExtraData *extra, ScanReport *report, uint64_t startDevice,
                        unsigned depth) {
    if (connection < 0 || request == nullptr || request->path == nullptr || options == nullptr ||
        extra == nullptr || report == nullptr) {
        return QL_SetError(EINVAL);
    }
    if (QL_KAVisInExcludeDir(request->path, extra->excludeDirs) != 0) {
        return 0;
    }
    ql::UniqueFd dir(open(request->path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        return ql::setErrnoError();
    }
    ql::kav::FdChannel channel(connection);
    ql::kav::Walk walk{channel, *request, options, extra, report};
    return ql::kav::scanDirectoryAt(walk, dir.get(), request->path, startDevice, depth, nullptr);
}

int QL_KAVTraverseScanTree(int connection, ScanTreeNode *node, ObjectRequest *request,
                           ExtraData *extra, ScanReport *report) {
    if (node != nullptr && request != nullptr && connection < 0) {
        return QL_SetError(EINVAL);
    }
    ql::kav::FdChannel channel(connection);
    return ql::kav::traverseScanTree(channel, node, request, extra, report);
}

int QL_KAVExcludeFileScan(const char *path, uint32_t scanOpts, const char *extList,
                          uint32_t sizeLimit) {
    if (path == nullptr) {
        return 0;
    }
    return ql::kav::excludedFile(path, scanOpts, extList, sizeLimit, nullptr) ? 1 : 0;
}

int QL_KAVisInExtensionList(const char *path, const char *extList) {
    const char *extension = QL_KAVgetFileExtension(path);
    if (extList == nullptr || extension == nullptr ||
        std::strlen(extension) > ql::kav::kMaxExtension) {
        return 0;
    }
    char list[QL_PATH_MAX];
    ql::copyBounded(list, extList);
    std::string_view rest(list);
    while (!rest.empty()) {
        std::size_t colon = rest.find(':');
        std::string_view entry = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (entry.size() <= ql::kav::kMaxListEntry && entry.size() == std::strlen(extension) &&
            strncasecmp(entry.data(), extension, entry.size()) == 0) {
            return 1;
        }
    }
    return 0;
}

int QL_KAVisInExcludeDir(const char *path, const char *excludeDirs) {
    if (path == nullptr || excludeDirs == nullptr || excludeDirs[0] == '\0') {
        return 0;
    }
    return QL_isInExcludeDir(path, excludeDirs);
}

}  // extern "C"
