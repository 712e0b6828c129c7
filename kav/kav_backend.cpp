// The KAV back end's table: the engine-neutral calls' view of kav/kav_iface.h, and the check
// of the engine daemon's paths.
#include <string>

#include "common/iface_conf.h"
#include "common/iface_utils.h"
#include "kav/kav_daemon_iface.h"
#include "kav/kav_iface.h"

namespace ql::kav {

namespace {

// The engine daemon's socket and pid file from confPath, and whether the daemon runs there.
bool checkInstallation(const char *confPath, CheckReport &report) {
    std::string conf = confPath;
    char block[QL_CONF_BLOCK_SIZE] = {};
    if (QL_getKAVScannerConf(confPath, block) < 0) {
        report.error(conf + ": " + QL_GetErrorText());
        return false;
    }
    KAVScannerConf paths{};
    copyBounded(paths.socketPath, block);
    copyBounded(paths.pidPath, block + QL_VALUE_MAX);
    report.value("LocalSocketPath", orNone(paths.socketPath));
    report.value("AVSpidPATH", orNone(paths.pidPath));
    bool usable = true;
    if (paths.socketPath[0] == '\0') {
        report.error("LocalSocketPath is empty in the section [path] of " + conf);
        usable = false;
    }
    if (paths.pidPath[0] == '\0') {
        report.error("AVSpidPATH is empty in the section [path] of " + conf);
        usable = false;
    }
    if (usable && QL_isDaemonRunning(&paths) == 0) {
        report.error(
            "the engine daemon does not run (no live pid in AVSpidPATH, or no socket at "
            "LocalSocketPath); the interface daemon does not start it");
        usable = false;
    }
    return usable;
}

KAVHandle *kav(void *handle) {
    return static_cast<KAVHandle *>(handle);
}

constexpr Backend kTable = {
    "KAV",
    [](const char *confPath, QL_EventFn onEvent, uint8_t startDaemon) -> void * {
        return QL_InitKAVHandle(confPath, onEvent, startDaemon);
    },
    QL_getKAVScannerConf,
    checkInstallation,
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
