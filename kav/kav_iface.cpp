#include "kav/kav_iface.h"

#include <cerrno>
#include <memory>
#include <new>

#include "common/iface_conf.h"
#include "common/iface_utils.h"
#include "kav/kav_daemon_pool.h"
#include "kav/kav_object_scanner.h"
#include "kav/kav_process_scanner.h"
#include "kav/kav_scanner.h"

namespace {

void sendEngineEvent(QL_EventFn onEvent, int event) {
    if (onEvent == nullptr) {
        return;
    }
    const char *message = event == QL_EV_ENGINE_FAILED ? QL_GetErrorText() : nullptr;
    (void)onEvent(nullptr, QL_OBJ_ENGINE, event, nullptr, message, nullptr);
}

bool readPaths(const char *confPath, KAVScannerConf &paths) {
    char block[QL_CONF_BLOCK_SIZE] = {};
    if (QL_getKAVScannerConf(confPath, block) < 0) {
        return false;
    }
    ql::copyBounded(paths.socketPath, block);
    ql::copyBounded(paths.pidPath, block + QL_VALUE_MAX);
    return true;
}

// Makes sure the engine daemon runs; sets started when it was started here.
bool ensureDaemon(const char *confPath, const KAVScannerConf &paths, bool mayStart, bool &started) {
    started = false;
    if (QL_isDaemonRunning(&paths) != 0) {
        return true;
    }
    if (!mayStart || QL_StartAvDaemon(confPath) < 0) {
        return false;
    }
    started = true;
    return true;
}

bool isValid(const KAVHandle *handle) {
    return handle != nullptr && handle->daemonSocket >= 0 && handle->pool != nullptr;
}

// The checks both object-scan entry points make; logs and sets the error when one fails.
bool readyForObjectScan(KAVHandle *handle, const void *request, const void *extra,
                        const void *report, const char *caller) {
    QLLogger *logger = handle != nullptr ? handle->logger : nullptr;
    if (request == nullptr || extra == nullptr || report == nullptr || !isValid(handle)) {
        (void)ql::failLogged(logger, caller, __LINE__, EINVAL);
        return false;
    }
    if (QL_isDaemonRunning(&handle->paths) == 0) {
        QL_Log(logger, QL_LOG_ERROR, "%s [%d]%s\n", caller, __LINE__, "AV Connection refused");
        QL_SetError(QLE_AV_CONNECT);
        return false;
    }
    return true;
}

// The tree walk both tree entry points make, once their checks passed.
int walkTree(KAVHandle *handle, ScanTreeNode *root, const ObjectRequest *request, ExtraData *extra,
             ScanReport *report) {
    ObjectRequest working{nullptr, request->scanOpts, request->actOpts, request->prompt};
    ql::kav::PoolChannel channel(*handle->pool);
    return ql::kav::traverseScanTree(channel, root, &working, extra, report);
}

}  // namespace

int ql::kav::scanTree(KAVHandle *handle, ScanTreeNode *root, const ObjectRequest *request,
                      ExtraData *extra, ScanReport *report) {
    if (!readyForObjectScan(handle, request, extra, report, "QL_KAVIFScanTree")) {
        return -1;
    }
    return walkTree(handle, root, request, extra, report);
}

extern "C" {

KAVHandle *QL_InitKAVHandle(const char *confPath, QL_EventFn onEvent, uint8_t startDaemon) {
    if (confPath == nullptr || confPath[0] != '/') {
        QL_SetError(EINVAL);
        return nullptr;
    }
    std::unique_ptr<KAVHandle> handle(new (std::nothrow) KAVHandle{});
    if (handle == nullptr) {
        QL_SetError(EAGAIN);
        return nullptr;
    }
    handle->daemonSocket = -1;
    if (!readPaths(confPath, handle->paths)) {
        return nullptr;
    }
    sendEngineEvent(onEvent, QL_EV_ENGINE_INIT);
    bool started = false;
    if (!ensureDaemon(confPath, handle->paths, startDaemon != 0, started)) {
        sendEngineEvent(onEvent, QL_EV_ENGINE_FAILED);
        return nullptr;
    }
    handle->startedHere = started ? 1 : 0;
    std::unique_ptr<ql::kav::ConnectionPool> pool(
        new (std::nothrow) ql::kav::ConnectionPool(handle->paths.socketPath));
    std::unique_ptr<ql::kav::Connection> first =
        pool != nullptr ? ql::kav::Connection::open(handle->paths.socketPath) : nullptr;
    if (first == nullptr) {
        if (pool == nullptr) {
            QL_SetError(EAGAIN);
        }
        if (started) {
            (void)QL_StopAvDaemon(&handle->paths);
        }
        sendEngineEvent(onEvent, QL_EV_ENGINE_FAILED);
        return nullptr;
    }
    handle->daemonSocket = first->fd();
    pool->adopt(std::move(first));
    handle->pool = pool.release();
    handle->logger = nullptr;
    sendEngineEvent(onEvent, QL_EV_ENGINE_READY);
    return handle.release();
}

void QL_DeinitKAVHandle(KAVHandle *handle, QL_EventFn onEvent) {
    if (handle == nullptr || handle->daemonSocket < 0) {
        return;
    }
    if (handle->pool != nullptr) {
        handle->pool->closeAll();
        delete handle->pool;
    }
    if (handle->startedHere != 0) {
        (void)QL_StopAvDaemon(&handle->paths);
    }
    delete handle;
    sendEngineEvent(onEvent, QL_EV_ENGINE_DOWN);
}

void QL_KAVBufferToQuickRequest(const QuickRequest *source, QuickRequest *destination) {
    if (source != nullptr && destination != nullptr) {
        *destination = *source;
    }
}

void QL_KAVInterfaceToObjectRequest(const ObjectRequest *source, ObjectRequest *destination) {
    if (source != nullptr && destination != nullptr) {
        *destination = *source;
    }
}

int QL_KAVIFQuickScan(KAVHandle *handle, QuickRequest *request, EventCallback *callback) {
    if (request == nullptr || callback == nullptr || !isValid(handle)) {
        return QL_SetError(EINVAL);
    }
    if (QL_isDaemonRunning(&handle->paths) == 0) {
        return QL_SetError(QLE_AV_CONNECT);
    }
    QuickRequest copy{};
    QL_KAVBufferToQuickRequest(request, &copy);
    ql::kav::PoolChannel channel(*handle->pool);
    return ql::kav::quickScan(channel, &copy, callback);
}

int QL_KAVIFScanObject(KAVHandle *handle, ObjectRequest *request, ExtraData *extra,
                       ScanReport *report) {
    if (!readyForObjectScan(handle, request, extra, report, __func__)) {
        return -1;
    }
    ObjectRequest copy{};
    QL_KAVInterfaceToObjectRequest(request, &copy);
    ql::kav::PoolChannel channel(*handle->pool);
    return ql::kav::scanObject(channel, &copy, extra, report);
}

int QL_KAVIFScanTree(KAVHandle *handle, ObjectRequest *request, ExtraData *extra,
                     ScanReport *report) {
    if (!readyForObjectScan(handle, request, extra, report, __func__)) {
        return -1;
    }
    if (request->path == nullptr) {
        return QL_FAIL_LOGGED(handle->logger, EINVAL);
    }
    // The path slot holds the address of the tree's root pointer.
    return walkTree(handle, *reinterpret_cast<ScanTreeNode *const *>(request->path), request, extra,
                    report);
}

int QL_KAVIFScanProcesses(KAVHandle *handle, uint32_t *infectedPid, uint8_t scanOpenFiles,
                          QL_EventFn onEvent, void *userData) {
    if (infectedPid == nullptr || !isValid(handle)) {
        return QL_SetError(EINVAL);
    }
    ql::kav::PoolChannel channel(*handle->pool);
    return ql::kav::scanProcesses(channel, infectedPid, scanOpenFiles, onEvent, userData);
}

QLLogger *QL_KAVGetLogger(KAVHandle *handle) {
    return handle != nullptr ? handle->logger : nullptr;
}

void QL_KAVSetLogger(KAVHandle *handle, QLLogger *logger) {
    if (handle != nullptr) {
        handle->logger = logger;
    }
}

void QL_KAVClearLogger(KAVHandle *handle) {
    if (handle != nullptr) {
        handle->logger = nullptr;
    }
}

}  // extern "C"
