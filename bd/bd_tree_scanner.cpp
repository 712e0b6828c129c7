#include "bd/bd_tree_scanner.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "bd/bd_scanner.h"
#include "common/iface_utils.h"
#include "common/object_reach.h"
#include "common/unique_fd.h"

namespace {

QLLogger *loggerOf(const BDInstance *instance) {
    return instance != nullptr ? QL_BDGetLogger(instance->handle) : nullptr;
}

// One entry of the directory open as dirfd: the file's result, 0 for anything but a regular
// file, or its report when it cannot be examined or scanned.
int scanEntry(BDInstance *instance, int dirfd, const char *name, const std::string &path,
              ObjectRequest *request, ScanReport *report, const char *actionArg) {
    struct stat info {};
    if (fstatat(dirfd, name, &info, 0) != 0) {
        // Removed since the directory was read, or a link that leads nowhere: no object.
        return errno == ENOENT || errno == ELOOP
                   ? 0
                   : ql::reportNotScanned(report, path.c_str(), QL_OBJ_FILE,
                                          ql::systemErrorText(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return 0;
    }
    request->path = path.c_str();
    int result = QL_BDScanner(instance, request, report, actionArg);
    return result >= 0 ? result
                       : ql::reportNotScanned(report, path.c_str(), QL_OBJ_FILE, QL_GetErrorText());
}

}  // namespace

extern "C" int QL_BDDirectoryScanner(BDInstance *instance, const char *path, ObjectRequest *request,
                                     ScanReport *report, const char *actionArg) {
    QLLogger *logger = loggerOf(instance);
    if (instance == nullptr || path == nullptr || request == nullptr || report == nullptr) {
        return QL_FAIL_LOGGED(logger, EINVAL);
    }
    ql::UniqueFd dir(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        ql::setErrnoError();
    }
    std::vector<std::string> names;
    if (!dir || ql::entryNamesAt(dir.get(), names) < 0) {
        QL_LOG_FAILURE(logger);
        return -1;
    }
    ++report->dirsScanned;
    QL_Log(logger, QL_LOG_INFO, "Scanning Directory %s\n", path);
    int result = 0;
    for (const std::string &name : names) {
        int fileResult = scanEntry(instance, dir.get(), name.c_str(),
                                   ql::entryPath(path, name.c_str()), request, report, actionArg);
        if (fileResult == QL_RES_STOPPED) {
            result = QL_RES_STOPPED;
            break;
        }
        result |= fileResult;
    }
    request->path = nullptr;
    return result;
}

extern "C" int QL_BDTraverseScanTree(BDInstance *instance, const ScanTreeNode *node,
                                     ObjectRequest *request, ScanReport *report,
                                     const char *actionArg) {
    if (instance == nullptr || request == nullptr || report == nullptr) {
        return QL_SetError(EINVAL);
    }
    QLLogger *logger = loggerOf(instance);
    if (node == nullptr) {
        QL_Log(logger, QL_LOG_INFO, "Leaf node reached on branch\n");
        return 0;
    }
    int result = 0;
    // Siblings in a loop and only children by recursion: the stack grows with the tree's depth,
    // never with the number of directories side by side.
    for (; node != nullptr; node = node->nextSibling) {
        QL_Log(logger, QL_LOG_INFO, "Scanning Diretctory (%s) in Tree\n", node->dirPath);
        int dirResult = QL_BDDirectoryScanner(instance, node->dirPath, request, report, actionArg);
        if (dirResult < 0) {
            dirResult =
                ql::reportNotScanned(report, node->dirPath, QL_OBJ_DIRECTORY, QL_GetErrorText());
        }
        result |= dirResult;
        if (node->firstChild != nullptr) {
            int below =
                QL_BDTraverseScanTree(instance, node->firstChild, request, report, actionArg);
            if (below > 0) {
                result |= below;
            }
        }
    }
    return result;
}
