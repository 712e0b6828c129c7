// The KAV engine handle and the interface layer the engine-neutral calls reach.
//
// A handle holds the engine daemon's paths and a pool of connections to it. Set-up and shut-down
// run while no scan runs; between them any number of threads may scan through one handle at
// once, each conversation on a connection of its own. The logger accessors write the handle
// without a lock: call them only while no scan runs.
#ifndef QL_KAV_KAV_IFACE_H
#define QL_KAV_KAV_IFACE_H

#include <stdint.h>

#include "common/scan_tree.h"
#include "engine/backend.h"
#include "kav/kav_daemon_iface.h"
#include "ql/qlscan.h"

#ifdef __cplusplus
namespace ql::kav {
class ConnectionPool;
}

extern "C" {
#endif

typedef struct KAVHandle {
    // The first connection's descriptor, opened and greeted at set-up; afterwards only the
    // handle's validity mark (never negative in a handle QL_InitKAVHandle returned). Scans use
    // the pool.
    int32_t daemonSocket;
    KAVScannerConf paths; /* socketPath and pidPath from the engine configuration */
    uint8_t startedHere;  /* 1: set-up started the engine daemon and shut-down stops it */
    QLLogger *logger;     /* not owned; NULL when the handle is made */
    ql::kav::ConnectionPool *pool;
} KAVHandle;

// Open the KAV engine from the configuration file at confPath (absolute). onEvent (may be NULL)
// receives QL_EV_ENGINE_INIT, then QL_EV_ENGINE_READY or QL_EV_ENGINE_FAILED (with the error
// text), all with object kind QL_OBJ_ENGINE. With startDaemon non-zero an engine daemon that is
// not running is started (and stopped again if no connection can be made). NULL on failure:
// error 22 for a bad path, 11 when memory runs out, the reader's error for an unreadable file.
KAVHandle *QL_InitKAVHandle(const char *confPath, QL_EventFn onEvent, uint8_t startDaemon);

// Say QUIT on every pooled connection and close it, stop the engine daemon if this handle
// started it, free the handle and send QL_EV_ENGINE_DOWN. Nothing for NULL or an invalid handle.
void QL_DeinitKAVHandle(KAVHandle *handle, QL_EventFn onEvent);

// Copy the three words of a quick request; nothing when either is NULL.
void QL_KAVBufferToQuickRequest(const QuickRequest *source, QuickRequest *destination);
// Copy the four words of an object request; nothing when either is NULL.
void QL_KAVInterfaceToObjectRequest(const ObjectRequest *source, ObjectRequest *destination);

// Quick scan (kav/kav_scanner.h) of a copy of request over a pooled connection. -1 with error 22
// for NULL arguments or an invalid handle, 906 when the engine daemon is not running or cannot
// be reached, or the error of the scan. The caller's request is not changed.
int QL_KAVIFQuickScan(KAVHandle *handle, QuickRequest *request, EventCallback *callback);

// Object scan (kav/kav_object_scanner.h) of a copy of request: a file, or a directory with what
// lies below it. The whole walk holds one pooled connection. -1 with error 22 for NULL arguments
// or an invalid handle, 906 when the engine daemon is not running, or the error of the top
// object; failures are logged to the handle's logger at QL_LOG_ERROR.
int QL_KAVIFScanObject(KAVHandle *handle, ObjectRequest *request, ExtraData *extra,
                       ScanReport *report);

// Scan tree walk: request->path holds the address of the tree's root pointer (ScanTreeNode **,
// common/scan_tree.h); scanOpts, actOpts and prompt apply to every directory of the tree, each
// scanned on its own. Errors as QL_KAVIFScanObject; 22 also when request->path is NULL.
int QL_KAVIFScanTree(KAVHandle *handle, ObjectRequest *request, ExtraData *extra,
                     ScanReport *report);

// Process scan (kav/kav_process_scanner.h) holding one pooled connection for the whole walk.
// -1 with error 22 for a NULL or invalid handle or a NULL infectedPid; the engine daemon's
// liveness is not checked first: objects it cannot answer are reported as failures.
int QL_KAVIFScanProcesses(KAVHandle *handle, uint32_t *infectedPid, uint8_t scanOpenFiles,
                          QL_EventFn onEvent, void *userData);

// The handle's logger slot; NULL or nothing for a NULL handle. The handle never owns the logger.
QLLogger *QL_KAVGetLogger(KAVHandle *handle);
void QL_KAVSetLogger(KAVHandle *handle, QLLogger *logger);
void QL_KAVClearLogger(KAVHandle *handle);

#ifdef __cplusplus
}

namespace ql::kav {

// The table the engine-neutral calls reach this back end through (kav/kav_backend.cpp); its
// handles are KAVHandle *.
[[nodiscard]] const Backend &backend();

// QL_KAVIFScanTree with the tree given by its root (may not be NULL); the log lines and errors
// are those of QL_KAVIFScanTree.
int scanTree(KAVHandle *handle, ScanTreeNode *root, const ObjectRequest *request, ExtraData *extra,
             ScanReport *report);

}  // namespace ql::kav
#endif

#endif  // QL_KAV_KAV_IFACE_H
