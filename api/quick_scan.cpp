#include "api/quick_scan.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "api/engine.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"

namespace {

constexpr uint32_t kBufferSwitches = 0x8001;

// Make request->object an absolute, link-resolved path in path[QL_PATH_MAX]. Returns 1 to
// scan, 0 for a link that is not to be scanned, -1 on failure.
int preparePath(QuickRequest *request, QLLogger *logger, char *path) {
    ql::copyBounded(path, QL_PATH_MAX, static_cast<const char *>(request->object));
    if (QL_GetAbsolutePath(path, nullptr, path) < 0) {
        return ql::failLogged(logger, "QL_QuickScan", __LINE__, ql::lastErrorCode());
    }
    struct stat followed {};
    struct stat itself {};
    if (stat(path, &followed) != 0 || lstat(path, &itself) != 0) {
        return ql::failLogged(logger, "QL_QuickScan", __LINE__, errno);
    }
    if (!S_ISREG(followed.st_mode)) {
        return ql::failLogged(logger, "QL_QuickScan", __LINE__, QLE_INVALID_OBJECT);
    }
    if (S_ISLNK(itself.st_mode) && (request->scanOpts & QL_OPT_LINK) == 0) {
        QL_Log(logger, QL_LOG_INFO, "%s is link but link not to scan\n", path);
        return 0;
    }
    // A path that is no link is its own target: its status was looked up just above. A chain
    // that climbs above the root leaves a partial path: refuse it rather than scan something the
    // client did not name.
    if (S_ISLNK(itself.st_mode) && QL_ResolveSymlink(path, path) < 0) {
        return ql::failLogged(logger, "QL_QuickScan", __LINE__, ql::lastErrorCode());
    }
    request->object = path;
    return 1;
}

const char *describedObject(const QuickRequest *request) {
    switch (request->type) {
        case QL_REQ_PATH:
            return static_cast<const char *>(request->object);
        case QL_REQ_BUFFER:
            return "(buffer)";
        case QL_REQ_DESCRIPTOR:
            return static_cast<const DescriptorObject *>(request->object)->name != nullptr
                       ? static_cast<const DescriptorObject *>(request->object)->name
                       : "(descriptor)";
        default:
            return "(unknown request type)";
    }
}

}  // namespace

extern "C" {

int QL_FilterQuickOptions(QuickRequest *request) {
    if (request == nullptr || request->object == nullptr) {
        return -1;
    }
    const uint32_t entry = request->scanOpts;
    if (entry == QL_OPT_INVALID) {
        request->scanOpts = 0;
        return 0;
    }
    uint32_t opts = entry;
    if ((entry & 0x0002) != 0) {
        opts &= ~(0x8000U | 0x0001U);
    }
    if ((entry & QL_OPT_XDEV) != 0 && (entry & QL_OPT_LINK) == 0) {
        opts &= ~static_cast<uint32_t>(QL_OPT_XDEV);
    }
    request->scanOpts = opts;
    return 0;
}

int QL_QuickScan(AVHandle handle, QuickRequest *request, EventCallback *callback) {
    const ql::Backend *backend = ql::backendForScan(
        handle, [&] { return QL_FilterQuickOptions(request) == 0 && callback != nullptr; });
    if (backend == nullptr) {
        return -1;
    }
    QLLogger *logger = backend->getLogger(handle->backend);
    char path[QL_PATH_MAX];
    // The engine sees the resolved copy; afterwards the caller's own pointer is put back, so
    // the request never points at this call's stack.
    void *callersObject = request->object;
    ql::ScopeGuard restoreObject([&] { request->object = callersObject; });
    if (request->type == QL_REQ_PATH) {
        int prepared = preparePath(request, logger, path);
        if (prepared <= 0) {
            return prepared;
        }
    } else if (request->type == QL_REQ_BUFFER) {
        request->scanOpts |= kBufferSwitches;
    }
    QL_Log(logger, QL_LOG_INFO, "Quick Scan Request for the file (%s)\n", describedObject(request));
    return backend->quickScan(handle->backend, request, callback);
}

}  // extern "C"
