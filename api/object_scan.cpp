#include "api/object_scan.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "api/engine.h"
#include "common/iface_utils.h"
#include "common/object_reach.h"
#include "common/scan_tree.h"
#include "common/unique_fd.h"

namespace {

// Everything one object scan owns: its parsed extra data, its scan tree and the directories
// the tree had to leave out.
struct ObjectScanState {
    ExtraData extra{};
    ScanTreeNode *tree = nullptr;
    std::vector<ql::LeftOutDirectory> leftOut;
    ~ObjectScanState() {
        std::free(extra.excludeDirs);
        QL_ClearScanTree(&tree);
    }
};

// Make request->path the absolute, link-resolved path in path[QL_PATH_MAX]. Returns 1 to
// scan, 0 for a link that is not to be scanned, -1 on failure.
int prepareObjectPath(ObjectRequest *request, QLLogger *logger, char *path, struct stat &status) {
    if (QL_GetAbsolutePath(request->path, nullptr, path) < 0) {
        int code = ql::lastErrorCode();
        QL_Log(logger, QL_LOG_ERROR, "%s [%d]%s\n", "QL_ScanObject", __LINE__,
               "Error getting absolute path");
        return QL_SetError(code);
    }
    if (lstat(path, &status) != 0) {
        return ql::failLogged(logger, "QL_ScanObject", __LINE__, errno);
    }
    if (S_ISLNK(status.st_mode)) {
        if ((request->scanOpts & QL_OPT_LINK) == 0) {
            QL_Log(logger, QL_LOG_INFO, "%s is link but link not to scan\n", path);
            return 0;
        }
        if (QL_ResolveSymlink(path, path) < 0) {
            return ql::failLogged(logger, "QL_ScanObject", __LINE__, ql::lastErrorCode());
        }
    }
    request->path = path;
    if (stat(path, &status) != 0) {
        return ql::failLogged(logger, "QL_ScanObject", __LINE__, errno);
    }
    return 1;
}

// Report every directory the scan tree left out as not scanned, after the tree was walked.
int reportLeftOut(const std::vector<ql::LeftOutDirectory> &leftOut, ScanReport *report,
                  int result) {
    for (const ql::LeftOutDirectory &dir : leftOut) {
        if (result < 0 || result == QL_RES_STOPPED) {
            break;
        }
        int part =
            ql::reportNotScanned(report, dir.path.c_str(), QL_OBJ_DIRECTORY, dir.reason.c_str());
        result = part == QL_RES_STOPPED ? part : result | part;
    }
    return result;
}

}  // namespace

extern "C" int QL_ScanObject(AVHandle handle, ObjectRequest *request, ScanReport *report, int count,
                             const char *const *texts) {
    ObjectScanState state;
    const ql::Backend *backend = ql::backendForScan(handle, [&] {
        return request != nullptr && request->path != nullptr && report != nullptr;
    });
    if (backend == nullptr) {
        return -1;
    }
    QLLogger *logger = backend->getLogger(handle->backend);
    QL_ExtraDataList(logger, count, texts, request->scanOpts, request->actOpts, &state.extra);
    QL_FilterOptions(logger, request, &state.extra);

    char path[QL_PATH_MAX];
    struct stat status {};
    const char *callersPath = request->path;
    ql::ScopeGuard restorePath([&] { request->path = callersPath; });
    int prepared = prepareObjectPath(request, logger, path, status);
    if (prepared <= 0) {
        return prepared;
    }
    if (S_ISDIR(status.st_mode) && (request->scanOpts & QL_OPT_LINK) != 0) {
        uint8_t crossDevices = (request->scanOpts & QL_OPT_XDEV) != 0 ? 1 : 0;
        if (ql::createScanTree(&state.tree, path, state.extra.excludeDirs, state.extra.maxDepth,
                               true, crossDevices != 0, state.leftOut) < 0) {
            QL_Log(logger, QL_LOG_ERROR, "%s [%d]Error Creating Scan tree - %s\n", "QL_ScanObject",
                   __LINE__, QL_GetErrorText());
            return -1;
        }
    }
    QL_Log(logger, QL_LOG_INFO, "Installed AV Version is %s\n", backend->name);
    int result;
    if (state.tree != nullptr) {
        // Each directory of the tree is scanned on its own, without descending.
        ObjectRequest treeRequest{nullptr, request->scanOpts | QL_OPT_NO_RECURSE, request->actOpts,
                                  request->prompt};
        result = reportLeftOut(
            state.leftOut, report,
            backend->scanTree(handle->backend, state.tree, &treeRequest, &state.extra, report));
    } else {
        result = backend->scanObject(handle->backend, request, &state.extra, report);
    }
    ql::closeTraceStream();
    return result;
}
