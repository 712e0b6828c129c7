// The BD handle (the loaded core library and the back end's logger), core instances with their
// options, and the BD entry points the engine-neutral layer calls.
//
// A handle is made and destroyed on one thread while no scan runs; between the two any number of
// threads scan through it at once, each in a core instance of its own. The logger accessors must
// not run while a scan runs.
#ifndef QL_BD_BD_IFACE_H
#define QL_BD_BD_IFACE_H

#include <stdint.h>

#include "common/scan_tree.h"
#include "engine/backend.h"
#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// The content of an engine handle when the BD engine is installed.
typedef struct BDHandle {
    void *coreLibrary; /* from QL_BDLoadCore; never NULL in a handle made here */
    QLLogger *logger;  /* not owned: attached and taken back by the engine-neutral layer */
} BDHandle;

// One core instance for the length of one call; lives on the caller's stack.
typedef struct BDInstance {
    BDHandle *handle;
    void *coreInstance; /* from CoreNewInstance; NULL when there is none */
} BDInstance;

// The default quarantine directory (put under QL_ROOT) and rename extension of QL_ACT_PROMPT.
#define QL_BD_QUARANTINE_DIR "/var/Quellar/var/quarantine/kestra"
#define QL_BD_RENAME_EXT "qlt"

// Set the BD engine up from the engine configuration file confPath (absolute). onEvent, when
// given, receives QL_EV_ENGINE_INIT after the file was read, then QL_EV_ENGINE_READY or
// QL_EV_ENGINE_FAILED (object kind QL_OBJ_ENGINE, every other argument NULL). Returns the new
// handle, or NULL: error 22 for a missing or relative path, the reader's error for an unreadable
// file, otherwise the reason QL_BDCreateHandle left.
BDHandle *QL_InitBDHandle(const char *confPath, QL_EventFn onEvent);

// Unload the core and free the handle (NULL is allowed), then send QL_EV_ENGINE_DOWN to onEvent
// when it is given. The handle's logger must have been taken back already.
void QL_DeinitBDHandle(BDHandle *handle, QL_EventFn onEvent);

// A new handle with the core loaded and initialised from the core path block (see
// QL_BDLoadCore) and no logger; NULL on failure (error 11 when memory runs out).
BDHandle *QL_BDCreateHandle(const char *conf);

// Unload the handle's core and free it; NULL is ignored.
void QL_BDDestroyHandle(BDHandle *handle);

// Attach logger (not owned) to the handle; a NULL handle is ignored.
void QL_BDSetLogger(BDHandle *handle, QLLogger *logger);
// The handle's logger; NULL for a NULL handle or when none is attached.
QLLogger *QL_BDGetLogger(const BDHandle *handle);
// Detach the handle's logger without destroying it; a NULL handle is ignored.
void QL_BDClearLogger(BDHandle *handle);

// Make the core instance of instance->handle and set its options (QL_BDSetOptions). Returns 0
// once the instance exists, even when setting its options failed; -1 as QL_BDNewInstance.
int QL_BDCreateInstance(BDInstance *instance, uint32_t scanOpts, int32_t actOpts,
                        const ExtraData *extra);

// Make the core instance of instance->handle. Returns 0, or -1 with error 22 (no instance,
// handle or library), the loader's message (no CoreNewInstance) or error 16 (the core gave no
// instance).
int QL_BDNewInstance(BDInstance *instance);

// Turn scanOpts, actOpts and extra (may be NULL) into the core's options of the instance. The
// core's answers are not tested. Returns 0, or -1 (logged) with error 22 for a missing instance,
// handle or library, or the loader's message when CoreSet is missing.
int QL_BDSetOptions(BDInstance *instance, uint32_t scanOpts, int32_t actOpts,
                    const ExtraData *extra);

// Delete the core instance (when the core has CoreDeleteInstance) and set it to NULL.
void QL_BDDeleteInstance(BDInstance *instance);
// The same as QL_BDDeleteInstance.
void QL_BDDestroyInstance(BDInstance *instance);

// Quick-scan the request's path, buffer or descriptor in a core instance of its own, made with
// the request's scanOpts and no action, and deleted before returning. Returns the result bits,
// or -1 with the last error set (error 22, logged, for a missing handle, library, request or
// callback record). Safe from many threads at once on one handle.
int QL_BDIFQuickScan(BDHandle *handle, QuickRequest *request, EventCallback *callback);

// Scan request->path (absolute; a file, or a directory through the core's own walk) in a core
// instance of its own made with the request's options and extra, deleted before returning.
// Reports through report->events and adds to report's counters; applies request->actOpts with
// extra->actionArg (rename, quarantine) or request->prompt. Returns the result bits,
// QL_RES_STOPPED after a stop, 0 for a skipped object (a link without QL_OPT_LINK, neither file
// nor directory), or -1 with the last error set (error 22, logged, for a missing handle,
// library, request, report or extra). Safe from many threads at once on one handle, each with
// its own request and report.
int QL_BDIFScanObject(BDHandle *handle, ObjectRequest *request, ScanReport *report,
                      ExtraData *extra);

// Scan every directory of the scan tree whose root pointer's address request->path holds (a
// ScanTreeNode **, see common/scan_tree.h), the files of each directory one by one, in one core
// instance made as for QL_BDIFScanObject. A stop answer ends only the directory it came in.
// Returns the union of the results, or -1 as QL_BDIFScanObject. request->path is not changed.
int QL_BDIFScanTree(BDHandle *handle, ObjectRequest *request, ScanReport *report, ExtraData *extra);

// Scan the running processes (bd/bd_process_scanner.h) in a core instance of their own, made
// with scanOpts 0x161, no action and no extra data, and deleted before returning. Returns the
// walk's result, or -1: error 22 (logged) for a missing handle, library or processSlot, error 11
// when no core instance can be made, or the walk's error.
int QL_BDIFScanProcesses(BDHandle *handle, int32_t *processSlot, uint8_t scanOpenFiles,
                         QL_EventFn onEvent, void *userData);

#ifdef __cplusplus
}

namespace ql::bd {

// The table the engine-neutral calls reach this back end through (bd/bd_backend.cpp); its
// handles are BDHandle *.
[[nodiscard]] const Backend &backend();

// QL_BDIFScanTree with the tree given by its root; NULL fails as a missing argument does. The
// request's path is not used.
int scanTree(BDHandle *handle, const ScanTreeNode *root, const ObjectRequest *request,
             ScanReport *report, ExtraData *extra);

}  // namespace ql::bd
#endif

#endif  // QL_BD_BD_IFACE_H
