#include "bd/bd_iface.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#include "bd/bd_buf_iface.h"
#include "bd/bd_core.h"
#include "bd/bd_process_scanner.h"
#include "bd/bd_scanner.h"
#include "bd/bd_tree_scanner.h"
#include "common/iface_conf.h"
#include "common/iface_utils.h"

namespace {

void sendEngineEvent(QL_EventFn onEvent, int32_t event) {
    if (onEvent != nullptr) {
        onEvent(nullptr, QL_OBJ_ENGINE, event, nullptr, nullptr, nullptr);
    }
}

bool hasCore(const BDInstance *instance) {
    return instance != nullptr && instance->handle != nullptr &&
           instance->handle->coreLibrary != nullptr;
}

QLLogger *loggerOf(const BDInstance *instance) {
    return instance != nullptr ? QL_BDGetLogger(instance->handle) : nullptr;
}

void setSwitches(CoreSetFn set, void *core, uint32_t scanOpts, const ExtraData *extra) {
    set(core, CORE_OPT_SWITCH26, (scanOpts & 0x40) == 0 ? 1 : 0);
    set(core, CORE_OPT_SWITCH25, (scanOpts & 0x20) == 0 ? 1 : 0);
    set(core, CORE_OPT_SWITCH27, (scanOpts & 0x100) == 0 ? 1 : 0);
    set(core, CORE_OPT_SWITCH33, (scanOpts & 0x200) == 0 ? 1 : 0);
    if ((scanOpts & QL_OPT_NO_RECURSE) != 0) {
        set(core, CORE_OPT_NO_RECURSE);
    } else if ((scanOpts & QL_OPT_DEPTH) != 0 && extra != nullptr) {
        set(core, CORE_OPT_DEPTH, extra->maxDepth + 1);
    }
    if ((scanOpts & QL_OPT_SCAN_EXT) != 0 && extra != nullptr) {
        set(core, CORE_OPT_SCAN_EXT, extra->extList);
    } else if ((scanOpts & QL_OPT_SKIP_EXT) != 0 && extra != nullptr) {
        set(core, CORE_OPT_SKIP_EXT, extra->extList);
    }
    if ((scanOpts & QL_OPT_SIZE) != 0 && extra != nullptr && extra->sizeLimit != 0) {
        set(core, CORE_OPT_SIZE_LIMIT, static_cast<int>(extra->sizeLimit));
    }
    if ((scanOpts & QL_OPT_SKIP_DIRS) != 0 && extra != nullptr && extra->excludeDirs != nullptr) {
        set(core, CORE_OPT_SKIP_DIRS, static_cast<const char *>(extra->excludeDirs));
    }
}

// Quarantine into dir: the core is told the directory twice unless switch 33 is off.
void setQuarantineDirs(CoreSetFn set, void *core, uint32_t scanOpts, const char *dir) {
    set(core, CORE_OPT_QUARANTINE_DIR, dir);
    if ((scanOpts & 0x200) == 0) {
        set(core, CORE_OPT_SWITCH_DIR, dir);
    }
}

void setAction(CoreSetFn set, void *core, uint32_t scanOpts, int32_t actOpts,
               const ExtraData *extra) {
    if (actOpts == QL_ACT_DELETE) {
        set(core, CORE_OPT_ACTION, 4);
        return;
    }
    if (actOpts == QL_ACT_NONE ||
        (extra == nullptr && actOpts >= QL_ACT_RENAME && actOpts <= QL_ACT_PROMPT)) {
        set(core, CORE_OPT_ACTION, 0);
        return;
    }
    if (extra == nullptr) {
        return;
    }
    switch (actOpts) {
        case QL_ACT_PROMPT: {
            char dir[QL_PATH_MAX];
            if (ql::rootedPath(QL_BD_QUARANTINE_DIR, dir) >= 0) {
                setQuarantineDirs(set, core, scanOpts, dir);
            }
            set(core, CORE_OPT_RENAME_EXT, QL_BD_RENAME_EXT);
            set(core, CORE_OPT_ACTION, 0);
            break;
        }
        case QL_ACT_QUARANTINE:
            setQuarantineDirs(set, core, scanOpts, extra->actionArg);
            set(core, CORE_OPT_ACTION, 6);
            break;
        case QL_ACT_RENAME:
            set(core, CORE_OPT_RENAME_EXT, static_cast<const char *>(extra->actionArg));
            set(core, CORE_OPT_ACTION, 7);
            break;
        default:
            break;
    }
}

// The action argument the path scan hands on: only renaming and quarantining take one.
const char *actionArgOf(const ObjectRequest *request, const ExtraData *extra) {
    bool takesArgument = request->actOpts == QL_ACT_RENAME || request->actOpts == QL_ACT_QUARANTINE;
    return takesArgument ? extra->actionArg : nullptr;
}

bool objectScanArgumentsGiven(const BDHandle *handle, const ObjectRequest *request,
                              const ScanReport *report, const ExtraData *extra) {
    return handle != nullptr && handle->coreLibrary != nullptr && request != nullptr &&
           report != nullptr && extra != nullptr;
}

}  // namespace

extern "C" BDHandle *QL_InitBDHandle(const char *confPath, QL_EventFn onEvent) {
    if (confPath == nullptr || confPath[0] != '/') {
        QL_SetError(EINVAL);
        return nullptr;
    }
    char conf[QL_CONF_BLOCK_SIZE] = {};
    if (QL_getBDScannerConf(confPath, conf) < 0) {
        return nullptr;
    }
    sendEngineEvent(onEvent, QL_EV_ENGINE_INIT);
    BDHandle *handle = QL_BDCreateHandle(conf);
    sendEngineEvent(onEvent, handle != nullptr ? QL_EV_ENGINE_READY : QL_EV_ENGINE_FAILED);
    return handle;
}

extern "C" void QL_DeinitBDHandle(BDHandle *handle, QL_EventFn onEvent) {
    QL_BDDestroyHandle(handle);
    sendEngineEvent(onEvent, QL_EV_ENGINE_DOWN);
}

extern "C" BDHandle *QL_BDCreateHandle(const char *conf) {
    auto *handle = new (std::nothrow) BDHandle{};
    if (handle == nullptr) {
        QL_SetError(EAGAIN);
        return nullptr;
    }
    handle->coreLibrary = QL_BDLoadCore(conf);
    if (handle->coreLibrary == nullptr) {
        delete handle;
        return nullptr;
    }
    return handle;
}

extern "C" void QL_BDDestroyHandle(BDHandle *handle) {
    if (handle == nullptr) {
        return;
    }
    QL_BDUnloadCore(handle->coreLibrary);
    delete handle;
}

extern "C" void QL_BDSetLogger(BDHandle *handle, QLLogger *logger) {
    if (handle != nullptr) {
        handle->logger = logger;
    }
}

extern "C" QLLogger *QL_BDGetLogger(const BDHandle *handle) {
    return handle != nullptr ? handle->logger : nullptr;
}

extern "C" void QL_BDClearLogger(BDHandle *handle) {
    if (handle != nullptr) {
        handle->logger = nullptr;
    }
}

extern "C" int QL_BDCreateInstance(BDInstance *instance, uint32_t scanOpts, int32_t actOpts,
                                   const ExtraData *extra) {
    if (QL_BDNewInstance(instance) < 0) {
        return -1;
    }
    // An instance whose options could not be set still scans, with the core's defaults.
    (void)QL_BDSetOptions(instance, scanOpts, actOpts, extra);
    return 0;
}

extern "C" int QL_BDNewInstance(BDInstance *instance) {
    if (!hasCore(instance)) {
        return QL_SetError(EINVAL);
    }
    auto make =
        ql::bd::coreEntry<CoreNewInstanceFn>(instance->handle->coreLibrary, "CoreNewInstance");
    if (make == nullptr) {
        return -1;
    }
    void *core = make();
    if (core == nullptr) {
        return QL_SetError(EBUSY);
    }
    instance->coreInstance = core;
    return 0;
}

extern "C" int QL_BDSetOptions(BDInstance *instance, uint32_t scanOpts, int32_t actOpts,
                               const ExtraData *extra) {
    if (!hasCore(instance)) {
        return QL_FAIL_LOGGED(loggerOf(instance), EINVAL);
    }
    auto set = ql::bd::coreEntry<CoreSetFn>(instance->handle->coreLibrary, "CoreSet");
    if (set == nullptr) {
        QL_LOG_FAILURE(loggerOf(instance));
        return -1;
    }
    setSwitches(set, instance->coreInstance, scanOpts, extra);
    setAction(set, instance->coreInstance, scanOpts, actOpts, extra);
    return 0;
}

extern "C" void QL_BDDeleteInstance(BDInstance *instance) {
    if (!hasCore(instance)) {
        return;
    }
    auto remove = ql::bd::coreEntry<CoreDeleteInstanceFn>(instance->handle->coreLibrary,
                                                          "CoreDeleteInstance");
    if (remove != nullptr) {
        remove(instance->coreInstance);
        instance->coreInstance = nullptr;
    }
}

extern "C" void QL_BDDestroyInstance(BDInstance *instance) {
    QL_BDDeleteInstance(instance);
}

extern "C" int QL_BDIFQuickScan(BDHandle *handle, QuickRequest *request, EventCallback *callback) {
    if (handle == nullptr || handle->coreLibrary == nullptr || request == nullptr ||
        callback == nullptr) {
        return QL_FAIL_LOGGED(QL_BDGetLogger(handle), EINVAL);
    }
    BDInstance instance{handle, nullptr};
    if (QL_BDCreateInstance(&instance, request->scanOpts, QL_ACT_NONE, nullptr) < 0) {
        QL_Log(handle->logger, QL_LOG_ERROR, "%s [%d]Error creating AV Instance (%s)\n", __func__,
               __LINE__, QL_GetErrorText());
        return -1;
    }
    int result = QL_BDBufferScan(&instance, request, callback);
    QL_BDDestroyInstance(&instance);
    return result;
}

namespace {

// One object or tree scan: the arguments checked, a core instance made for the request, scan
// run on it, the result logged, the instance deleted.
template <typename Scan>
int withObjectInstance(BDHandle *handle, const ObjectRequest *request, ScanReport *report,
                       ExtraData *extra, bool argumentsGiven, Scan scan) {
    if (!argumentsGiven || !objectScanArgumentsGiven(handle, request, report, extra)) {
        return QL_FAIL_LOGGED(QL_BDGetLogger(handle), EINVAL);
    }
    BDInstance instance{handle, nullptr};
    if (QL_BDCreateInstance(&instance, request->scanOpts, request->actOpts, extra) < 0) {
        return -1;
    }
    int result = scan(instance);
    QL_Log(handle->logger, QL_LOG_RESULT, "Scanner Returned (%d)\n", result);
    QL_BDDestroyInstance(&instance);
    return result;
}

}  // namespace

extern "C" int QL_BDIFScanObject(BDHandle *handle, ObjectRequest *request, ScanReport *report,
                                 ExtraData *extra) {
    return withObjectInstance(handle, request, report, extra, true, [&](BDInstance &instance) {
        return QL_BDScanner(&instance, request, report, actionArgOf(request, extra));
    });
}

extern "C" int QL_BDIFScanTree(BDHandle *handle, ObjectRequest *request, ScanReport *report,
                               ExtraData *extra) {
    // The tree request's path slot holds the address of the tree's root pointer.
    const ScanTreeNode *root = request != nullptr && request->path != nullptr
                                   ? *reinterpret_cast<ScanTreeNode *const *>(request->path)
                                   : nullptr;
    return ql::bd::scanTree(handle, root, request, report, extra);
}

int ql::bd::scanTree(BDHandle *handle, const ScanTreeNode *root, const ObjectRequest *request,
                     ScanReport *report, ExtraData *extra) {
    return withObjectInstance(
        handle, request, report, extra, root != nullptr, [&](BDInstance &instance) {
            // The directory scanner points the request at each file in turn: the caller's
            // stays as is.
            ObjectRequest working{nullptr, request->scanOpts, request->actOpts, request->prompt};
            QL_Log(handle->logger, QL_LOG_INFO, "Starting Tree Scan with %s as root\n",
                   root->dirPath);
            return QL_BDTraverseScanTree(&instance, root, &working, report,
                                         actionArgOf(request, extra));
        });
}

extern "C" int QL_BDIFScanProcesses(BDHandle *handle, int32_t *processSlot, uint8_t scanOpenFiles,
                                    QL_EventFn onEvent, void *userData) {
    if (handle == nullptr || handle->coreLibrary == nullptr || processSlot == nullptr) {
        return QL_FAIL_LOGGED(QL_BDGetLogger(handle), EINVAL);
    }
    // Switches 0x20, 0x40 and 0x100 off, with engine switch 0x1.
    constexpr uint32_t kProcessScanOptions = 0x161;
    BDInstance instance{handle, nullptr};
    if (QL_BDCreateInstance(&instance, kProcessScanOptions, QL_ACT_NONE, nullptr) < 0) {
        return QL_SetError(EAGAIN);
    }
    int result = QL_BDScanProcess(&instance, processSlot, scanOpenFiles, onEvent, userData);
    QL_BDDestroyInstance(&instance);
    return result;
}
