// The BD back end's table: the engine-neutral calls' view of bd/bd_iface.h, and the check of
// the core library and its folders.
#include <dlfcn.h>
#include <unistd.h>

#include <string>

#include "bd/bd_core.h"
#include "bd/bd_iface.h"
#include "common/iface_conf.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"

namespace ql::bd {

namespace {

constexpr const char *kCoreEntryPoints[] = {"CoreInit5",          "CoreUninit", "CoreNewInstance",
                                            "CoreDeleteInstance", "CoreSet",    "CoreGet"};

// The core library below the installation root: there, loadable, with every entry point.
bool checkCoreLibrary(CheckReport &report) {
    char rooted[QL_PATH_MAX];
    std::string path = rootedPath(QL_BD_CORE_LIBRARY, rooted) < 0 ? std::string() : rooted;
    report.value("core library", path);
    if (path.empty() || access(path.c_str(), F_OK) != 0) {
        report.error("the core library " + path + " is missing");
        return false;
    }
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *why = dlerror();
        report.error(std::string("the core library does not load: ") + (why ? why : "?"));
        return false;
    }
    ScopeGuard unload([library] { dlclose(library); });
    std::string missing;
    for (const char *entry : kCoreEntryPoints) {
        if (coreSymbol(library, entry) == nullptr) {
            missing += std::string(" ") + entry;
        }
    }
    if (!missing.empty()) {
        report.error("the core library lacks the entry points" + missing);
        return false;
    }
    return true;
}

// The plug-ins and temporary folders from confPath, then the core library.
bool checkInstallation(const char *confPath, CheckReport &report) {
    std::string conf = confPath;
    char block[QL_CONF_BLOCK_SIZE] = {};
    if (QL_getBDScannerConf(confPath, block) < 0) {
        report.error(conf + ": " + QL_GetErrorText());
        return false;
    }
    std::string plugins = block;
    std::string temp = block + QL_VALUE_MAX;
    report.value("plug-ins folder", plugins);
    report.value("TempPath", orNone(temp.c_str()));
    bool usable = true;
    // An absent BasesPath leaves the field empty; an empty one gets just the "/Plugins".
    if (plugins.empty() || plugins == "/Plugins") {
        report.error("BasesPath is empty in the section [path] of " + conf);
        usable = false;
    } else if (!isDirectory(plugins)) {
        report.warning("the plug-ins folder " + plugins + " is missing");
    }
    if (temp.empty()) {
        report.error("TempPath is empty in the section [path] of " + conf);
        usable = false;
    } else if (!isDirectory(temp)) {
        report.warning("the temporary folder " + temp + " is missing");
    }
    return checkCoreLibrary(report) && usable;
}

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
    checkInstallation,
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
