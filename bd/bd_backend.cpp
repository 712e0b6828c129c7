// The BD back end's table: the engine-neutral calls' view of bd/bd_iface.h.
#include "bd/bd_iface.h"
#include "common/iface_conf.h"

namespace ql::bd {

namespace {

BDHandle *bd(void *handle) {
    return static_cast<BDHandle *>(handle);
}

constexpr Backend kTable = {
    "BDE",
    // The core is loaded, not started: there is no engine daemon to start.
    [](const char *confPath, QL_EventFn onEvent, uint8_t /*startDaemon*/) -> void * {
        return QL_InitBDHandle(confPath, onEvent);
    },
    QL_getBDScannerConf,
    [](void *h) { return QL_BDGetLogger(bd(h)); },
    [](void *h, QLLogger *logger) { QL_BDSetLogger(bd(h), logger); },
    [](void *h) { QL_BDClearLogger(bd(h)); },
    [](void *h, QuickRequest *request, EventCallback *callback) {
        return QL_BDIFQuickScan(bd(h), request, callback);
    },
    [](void *h, ObjectRequest *request, ExtraData *extra, ScanReport *report) {
        return QL_BDIFScanObject(bd(h), request, report, extra);
    },
    [](void *h, ScanTreeNode *root, const ObjectRequest *request, ExtraData *extra,
       ScanReport *report) { return scanTree(bd(h), root, request, report, extra); },
    [](void *h, int32_t *pidSlot, uint8_t scanOpenFiles, QL_EventFn onEvent, void *userData) {
        return QL_BDIFScanProcesses(bd(h), pidSlot, scanOpenFiles, onEvent, userData);
    },
    [](void *h, QL_EventFn onEvent) { QL_DeinitBDHandle(bd(h), onEvent); },
};

}  // namespace

const Backend &backend() {
    return kTable;
}

}  // namespace ql::bd
