// The one table an engine's back end fills: everything the engine-neutral calls ask of an engine.
//
// Each back end fills its table in its own folder (kav/kav_backend.cpp, bd/bd_backend.cpp) and
// declares it beside its QL_*IF* entry points (kav/kav_iface.h, bd/bd_iface.h); the API picks
// the table by the installed engine kind (api/engines.cpp) and reaches the engine only through
// it. The handle pointer an entry takes is the one init returned, owned by the caller from init
// to shutDown. Results, last error and log lines are the back end's, as its own QL_* entry
// points give them.
#ifndef QL_ENGINE_BACKEND_H
#define QL_ENGINE_BACKEND_H

#include <stdint.h>

#include "common/scan_tree.h"
#include "engine/check_report.h"
#include "ql/qlscan.h"

namespace ql {

struct Backend {
    // The engine as the object scan's progress line names it ("Installed AV Version is %s").
    const char *name;

    // Set the engine up from the engine configuration file confPath. onEvent (may be NULL)
    // receives the engine events; startDaemon allows starting an engine daemon where the engine
    // has one. The new handle, or NULL with the last error set.
    void *(*init)(const char *confPath, QL_EventFn onEvent, uint8_t startDaemon);
    // Fill block[QL_CONF_BLOCK_SIZE] with the engine's two paths from confPath: 0, or -1.
    int (*readConf)(const char *confPath, char *block);
    // Check the engine's own files that confPath names as the engine needs them, writing what
    // it finds to report: whether the engine is worth opening.
    bool (*checkInstallation)(const char *confPath, CheckReport &report);

    // The handle's logger slot; the handle never owns the logger.
    QLLogger *(*getLogger)(void *handle);
    void (*setLogger)(void *handle, QLLogger *logger);
    void (*clearLogger)(void *handle);

    // Quick scan of a path (absolute, resolved), buffer or descriptor request.
    int (*quickScan)(void *handle, QuickRequest *request, EventCallback *callback);
    // A file, or a directory handed to the engine as one object.
    int (*scanObject)(void *handle, ObjectRequest *request, ExtraData *extra, ScanReport *report);
    // Every directory of the scan tree at root, each on its own with request's options, action
    // and prompt (request->path is not used).
    int (*scanTree)(void *handle, ScanTreeNode *root, const ObjectRequest *request,
                    ExtraData *extra, ScanReport *report);
    // The running processes' executables and, with scanOpenFiles, their open regular files.
    int (*scanProcesses)(void *handle, int32_t *pidSlot, uint8_t scanOpenFiles, QL_EventFn onEvent,
                         void *userData);

    // Release the handle (its logger already taken back) and report the engine down to onEvent.
    void (*shutDown)(void *handle, QL_EventFn onEvent);
};

}  // namespace ql

#endif  // QL_ENGINE_BACKEND_H
