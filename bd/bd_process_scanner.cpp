#include "bd/bd_process_scanner.h"

#include <cstdlib>

#include "bd/bd_buf_iface.h"
#include "common/iface_utils.h"
#include "common/object_reach.h"
#include "common/proc_walk.h"

namespace {

// The label of an open file: "(<pid>)FD:<descriptor>".
constexpr std::size_t kLabelSize = 64;

QLLogger *loggerOf(const BDInstance *instance) {
    return instance != nullptr ? QL_BDGetLogger(instance->handle) : nullptr;
}

struct Walk {
    BDInstance *instance;
    int32_t *slot;
    QL_EventFn onEvent;
    void *userData;
    int result = QL_RES_CLEAN;  // of the last object scanned
    bool stopped = false;

    // Scan one object; returns its result, or -1 when the core could not scan it (reported).
    int scan(const char *name, const char *path, uint32_t kind) {
        int outcome = QL_BDProcessScanner(instance, name, path, kind, slot, onEvent, userData);
        if (outcome < 0) {
            // One object that cannot be scanned (an executable deleted while it runs, a file
            // gone) is that object's failure, not the walk's.
            if (onEvent != nullptr && onEvent(name, static_cast<int32_t>(kind), QL_RES_ERROR,
                                              nullptr, QL_GetErrorText(), userData) == QL_CB_STOP) {
                stopped = true;
            }
            return -1;
        }
        result = outcome;
        if ((outcome & QL_RES_STOPPED) != 0) {
            stopped = true;
        }
        return outcome;
    }
};

// Scan the regular files process pidText holds open, until one is infected.
void scanOpenFiles(Walk &walk, const char *pidText) {
    ql::OpenFileWalk files;
    if (!files.open(pidText)) {
        return;
    }
    for (const char *link = files.next(); link != nullptr; link = files.next()) {
        char target[QL_PATH_MAX];
        ql::processObjectPath(link, target);
        char label[kLabelSize];
        ql::formatBounded(label, sizeof label, "(%s)FD:%s", pidText, files.fdName());
        int outcome = walk.scan(label, target, QL_OBJ_PROCESS_FILE);
        if (walk.stopped) {
            return;
        }
        if (outcome > 0 && (outcome & QL_RES_INFECTED) != 0) {
            *walk.slot = static_cast<int32_t>(std::strtol(pidText, nullptr, 10));
            QL_Log(loggerOf(walk.instance), QL_LOG_RESULT, "Process (%d) infected\n",
                   static_cast<int>(*walk.slot));
            return;
        }
    }
}

void scanProcess(Walk &walk, const char *pidText, uint8_t withOpenFiles) {
    char link[QL_PATH_MAX];
    char target[QL_PATH_MAX];
    if (!ql::processExecutable(pidText, link, target)) {
        return;
    }
    int outcome = walk.scan(pidText, target, QL_OBJ_PROCESS);
    if (walk.stopped) {
        return;
    }
    if (outcome > 0 && (outcome & QL_RES_INFECTED) != 0) {
        *walk.slot = static_cast<int32_t>(std::strtol(pidText, nullptr, 10));
    }
    if (withOpenFiles != 0) {
        scanOpenFiles(walk, pidText);
    }
}

}  // namespace

extern "C" int QL_BDScanProcess(BDInstance *instance, int32_t *processSlot, uint8_t scanOpenFiles,
                                QL_EventFn onEvent, void *userData) {
    if (instance == nullptr || instance->handle == nullptr ||
        instance->handle->coreLibrary == nullptr || processSlot == nullptr) {
        QL_SetError(EINVAL);
        QL_LOG_FAILURE(loggerOf(instance));
        return -1;
    }
    ql::ProcessWalk processes;
    if (!processes.open()) {
        QL_LOG_FAILURE(loggerOf(instance));
        return -1;
    }
    *processSlot = 0;
    if (onEvent != nullptr && onEvent(nullptr, QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_START, nullptr,
                                      nullptr, userData) == QL_CB_STOP) {
        return QL_RES_STOPPED;
    }
    Walk walk{instance, processSlot, onEvent, userData};
    for (const char *pidText = nullptr; !walk.stopped && (pidText = processes.next()) != nullptr;) {
        scanProcess(walk, pidText, scanOpenFiles);
    }
    processes.close();
    if (onEvent != nullptr) {
        (void)onEvent(nullptr, QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_END, nullptr, nullptr, userData);
    }
    return walk.stopped ? QL_RES_STOPPED : walk.result;
}
