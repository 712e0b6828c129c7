// The KAV back end's table: the engine-neutral calls' view of kav/kav_iface.h.
#include "common/iface_conf.h"
#include "kav/kav_iface.h"

namespace ql::kav {

namespace {

KAVHandle *kav(void *handle) {
    return static_cast<KAVHandle *>(handle);
}

constexpr Backend kTable = {
    "KAV",
    [](const char *confPath, QL_EventFn onEvent, uint8_t startDaemon) -> void * {
        return QL_InitKAVHandle(confPath, onEvent, startDaemon);
    },
    QL_getKAVScannerConf,
    [](void *h) { return QL_KAVGetLogger(kav(h)); },
    [](void *h, QLLogger *logger) { QL_KAVSetLogger(kav(h), logger); },
    [](void *h) { QL_KAVClearLogger(kav(h)); },
    [](void *h, QuickRequest *request, EventCallback *callback) {
        return QL_KAVIFQuickScan(kav(h), request, callback);
    },
    [](void *h, ObjectRequest *request, ExtraData *extra, ScanReport *report) {
        return QL_KAVIFScanObject(kav(h), request, extra, report);
    },
    [](void *h, ScanTreeNode *root, const ObjectRequest *request, ExtraData *extra,
       ScanReport *report) { return scanTree(kav(h), root, request, extra, report); },
    [](void *h, int32_t *pidSlot, uint8_t scanOpenFiles, QL_EventFn onEvent, void *userData) {
        // The KAV walk takes the slot as unsigned; the pid it stores is the same number.
        return QL_KAVIFScanProcesses(kav(h), reinterpret_cast<uint32_t *>(pidSlot), scanOpenFiles,
                                     onEvent, userData);
    },
    [](void *h, QL_EventFn onEvent) { QL_DeinitKAVHandle(kav(h), onEvent); },
};

}  // namespace

const Backend &backend() {
    return kTable;
}

}  // namespace ql::kav
