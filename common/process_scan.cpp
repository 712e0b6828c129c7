#include "common/process_scan.h"

#include <cerrno>

#include "common/backend_ops.h"
#include "common/engine.h"

extern "C" int QL_ScanProcesses(AVHandle handle, int32_t *pidSlot, uint8_t scanOpenFiles,
                                QL_EventFn onEvent, void *userData) {
    QL_SetError(0);
    int unreadable = 0;
    AVType installed = ql::readInstalledEngine(unreadable);
    if (handle == nullptr || pidSlot == nullptr) {
        return QL_SetError(EINVAL);
    }
    if (installed == AV_NONE || installed != handle->kind) {
        return ql::failNotInstalled(unreadable);
    }
    return ql::backendOps(installed).scanProcesses(handle->backend, pidSlot, scanOpenFiles, onEvent,
                                                   userData);
}
