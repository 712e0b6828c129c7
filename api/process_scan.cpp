#include "api/process_scan.h"

#include "api/engine.h"

extern "C" int QL_ScanProcesses(AVHandle handle, int32_t *pidSlot, uint8_t scanOpenFiles,
                                QL_EventFn onEvent, void *userData) {
    const ql::Backend *backend = ql::backendForScan(handle, [&] { return pidSlot != nullptr; });
    if (backend == nullptr) {
        return -1;
    }
    return backend->scanProcesses(handle->backend, pidSlot, scanOpenFiles, onEvent, userData);
}
