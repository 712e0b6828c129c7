#include "common/backend_ops.h"

#include "bd/bd_iface.h"
#include "kav/kav_iface.h"

namespace ql {

namespace {

KAVHandle *kav(void *backend) {
    return static_cast<KAVHandle *>(backend);
}
BDHandle *bd(void *backend) {
    return static_cast<BDHandle *>(backend);
}

constexpr BackendOps kKavOps = {
    [](void *b) { return QL_KAVGetLogger(kav(b)); },
    [](void *b, QLLogger *logger) { QL_KAVSetLogger(kav(b), logger); },
    [](void *b) { QL_KAVClearLogger(kav(b)); },
    [](void *b, QL_EventFn onEvent) { QL_DeinitKAVHandle(kav(b), onEvent); },
    [](void *b, QuickRequest *request, EventCallback *callback) {
        return QL_KAVIFQuickScan(kav(b), request, callback);
    },
    [](void *b, ObjectRequest *request, ExtraData *extra, ScanReport *report) {
        return QL_KAVIFScanObject(kav(b), request, extra, report);
    },
    [](void *b, ObjectRequest *request, ExtraData *extra, ScanReport *report) {
        return QL_KAVIFScanTree(kav(b), request, extra, report);
    },
    [](void *b, int32_t *pidSlot, uint8_t scanOpenFiles, QL_EventFn onEvent, void *userData) {
        // The KAV walk takes the slot as unsigned; the pid it stores is the same number.
        return QL_KAVIFScanProcesses(kav(b), reinterpret_cast<uint32_t *>(pidSlot), scanOpenFiles,
                                     onEvent, userData);
    },
};

constexpr BackendOps kBdOps = {
    [](void *b) { return QL_BDGetLogger(bd(b)); },
    [](void *b, QLLogger *logger) { QL_BDSetLogger(bd(b), logger); },
    [](void *b) { QL_BDClearLogger(bd(b)); },
    [](void *b, QL_EventFn onEvent) { QL_DeinitBDHandle(bd(b), onEvent); },
    [](void *b, QuickRequest *request, EventCallback *callback) {
        return QL_BDIFQuickScan(bd(b), request, callback);
    },
    [](void *b, ObjectRequest *request, ExtraData *extra, ScanReport *report) {
        return QL_BDIFScanObject(bd(b), request, report, extra);
    },
    [](void *b, ObjectRequest *request, ExtraData *extra, ScanReport *report) {
        return QL_BDIFScanTree(bd(b), request, report, extra);
    },
    [](void *b, int32_t *pidSlot, uint8_t scanOpenFiles, QL_EventFn onEvent, void *userData) {
        return QL_BDIFScanProcesses(bd(b), pidSlot, scanOpenFiles, onEvent, userData);
    },
};

constexpr BackendOps kNoOps = {
    [](void *) -> QLLogger * { return nullptr; },
    [](void *, QLLogger *) {},
    [](void *) {},
    [](void *, QL_EventFn) {},
    [](void *, QuickRequest *, EventCallback *) { return QL_SetError(QLE_UNKNOWN_SYSTEM); },
    [](void *, ObjectRequest *, ExtraData *, ScanReport *) {
        return QL_SetError(QLE_UNKNOWN_SYSTEM);
    },
    [](void *, ObjectRequest *, ExtraData *, ScanReport *) {
        return QL_SetError(QLE_UNKNOWN_SYSTEM);
    },
    [](void *, int32_t *, uint8_t, QL_EventFn, void *) { return QL_SetError(QLE_UNKNOWN_SYSTEM); },
};

}  // namespace

const BackendOps &backendOps(AVType kind) {
    switch (kind) {
        case AV_KAV:
            return kKavOps;
        case AV_BD:
            return kBdOps;
        default:
            return kNoOps;
    }
}

}  // namespace ql
