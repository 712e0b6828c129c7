// The two back ends behind one table, so that the engine-neutral calls pick an engine once and
// never reach into either back end's handle themselves.
#ifndef QL_COMMON_BACKEND_OPS_H
#define QL_COMMON_BACKEND_OPS_H

#include "ql/qlscan.h"

namespace ql {

struct BackendOps {
    QLLogger *(*getLogger)(void *backend);
    void (*setLogger)(void *backend, QLLogger *logger);
    void (*clearLogger)(void *backend);
    void (*deinit)(void *backend, QL_EventFn onEvent);
    int (*quickScan)(void *backend, QuickRequest *request, EventCallback *callback);
    // A file or a directory as one object; a scan tree whose root pointer's address is in
    // request->path.
    int (*scanObject)(void *backend, ObjectRequest *request, ExtraData *extra, ScanReport *report);
    int (*scanTree)(void *backend, ObjectRequest *request, ExtraData *extra, ScanReport *report);
    // The running processes' executables and, with scanOpenFiles, their open regular files.
    int (*scanProcesses)(void *backend, int32_t *pidSlot, uint8_t scanOpenFiles, QL_EventFn onEvent,
                         void *userData);
};

// The operations of an engine kind (AV_KAV or AV_BD; anything else gets operations that do
// nothing and fail with 901).
[[nodiscard]] const BackendOps &backendOps(AVType kind);

}  // namespace ql

#endif  // QL_COMMON_BACKEND_OPS_H
