// The BD path scan: one file or one directory scanned through the core's own walk, with the
// scan callback that turns every object the core visits into onEvent calls, ScanReport counters
// and result bits, and that applies the request's infected-file action to each infected or
// suspicious top-level object once the core has finished with it. Over it, the file scanner of
// the object scans; the directory and scan-tree walks are in bd/bd_tree_scanner.h.
//
// The inner objects of a top-level object (archive members, object flag 0x40) arrive after the
// object itself, so its verdict is held as a PendingObject and settled when the next top-level
// object begins or, for the last one, after the scan command has returned.
//
// Everything a scan needs while it runs (the instance, the counters it started from) lives in
// the BDScanContext on the scanning thread's stack: scans on different instances may run on
// several threads at once. One instance and one ScanReport serve one thread at a time.
#ifndef QL_BD_BD_SCANNER_H
#define QL_BD_BD_SCANNER_H

#include <stdint.h>

#include "bd/bd_iface.h"
#include "bd/core_contract.h"
#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// A directory entry as an action must find it again: device and inode, reached without links.
typedef struct BDEntry {
    uint64_t device;
    uint64_t inode;
    uint8_t known; /* 0: it could not be taken, and no action will touch the file */
} BDEntry;

// The verdict of the current top-level object. name and infectionName are heap copies owned by
// the record (freed by QL_BDClearPending).
typedef struct PendingObject {
    char *name;
    uint32_t infectedCount;
    uint32_t suspiciousCount;
    uint8_t state; /* 0 nothing, 1 infected, 2 suspicious */
    uint8_t encrypted;
    uint8_t corrupted;
    char *infectionName;
    uint8_t container; /* an inner object of it was reported */
    /* A finding of it was left to the core (answered 10), and whether the core then reported
       that it could not act (status 0x100 or 0x80000000): only an object the core really acted
       on skips the action step. */
    uint8_t leftToCore;
    uint8_t coreFailed;
    BDEntry entry; /* the object's file, taken before the core read it where possible */
} PendingObject;

// The context of one path scan, handed to the core with option 38. Lives on the stack of
// QL_BDScan for the length of the scan command.
typedef struct BDScanContext {
    uint32_t letCoreAct;   /* scanOpts & 0x2: findings are answered 10 and left to the core */
    uint32_t action;       /* the request's actOpts */
    const char *actionArg; /* rename extension or quarantine directory, or NULL */
    QL_PromptFn prompt;    /* asked for every settled finding when set */
    QL_EventFn onEvent;
    void *userData;
    ScanReport *report;
    uint32_t result;
    PendingObject pending;
    uint8_t hasPending; /* a finding of the pending object waits to be settled */
    QLLogger *logger;
    /* The running state of this scan: the instance whose core reports, and the ScanReport
       counters when the scan began (the core counts from 0 on every scan). */
    BDInstance *instance;
    uint32_t baseDirs;
    uint32_t baseObjects;
    uint32_t baseInfected;
    /* A file scan's path and its entry taken before the scan command; NULL for a directory,
       whose objects are taken as the core reports them. */
    const char *filePath;
    BDEntry fileEntry;
} BDScanContext;

// Scan path (objectType CORE_OBJECT_FILE or CORE_OBJECT_DIRECTORY) in the instance's core,
// reporting every object through report->events, updating report's counters and applying
// actOpts (QL_ACT_*, with actionArg, or prompt when set) to every infected or suspicious
// top-level object. With scanOpts 0x2 findings are left to the core: what it disinfects carries
// QL_RES_DISINFECTED, what it deletes, renames or quarantines still carries QL_RES_INFECTED or
// QL_RES_SUSPICIOUS, and what it cannot act on is the caller's action again. Returns the result
// bits; QL_RES_STOPPED when onEvent answered QL_CB_STOP or
// the prompt answered 5 (the pending object's action is then not applied); -1 with error 22
// (logged) for a missing instance, handle, library, path or report, the loader's message when
// CoreSet or CoreGet is missing, or the text "Scan request failed" when the core refused a call.
int QL_BDScan(BDInstance *instance, const char *path, int objectType, uint32_t scanOpts,
              int32_t actOpts, const char *actionArg, ScanReport *report, QL_PromptFn prompt);

// The core's scan callback of QL_BDScan; info->context is its BDScanContext. Answers 0 (go on),
// 8 (stop: onEvent answered QL_CB_STOP or a prompt answered 5), 10 (leave the finding to the
// core) or -1 (CoreGet is missing). An object the core could not scan (status 0x1000 with
// 0x80000000; the reason in the infection name when it gives one) is reported with QL_EV_FAILED,
// counted in scanErrors and gives QL_RES_ERROR.
int ScanCallback(uint32_t event, CoreEventInfo *info);

// Settle the pending object of context (when it has a name), without clearing it. Returns the
// result bits, QL_RES_STOPPED after a stop, or -1 for a NULL context.
int QL_BDReportPending(BDScanContext *context);

// Free the heap copies of pending and set every field to 0 or NULL. NULL is ignored.
void QL_BDClearPending(PendingObject *pending);

// Scan request->path (absolute): a regular file as a file, a directory through the core's walk.
// A symbolic link is skipped (0, logged) unless scanOpts has QL_OPT_LINK, then its final target
// is scanned. Anything else gives 0. Returns as QL_BDScan; -1 with error 22 for a missing
// argument or a relative path, the errno of stat or lstat, or -1 when a link cannot be resolved.
int QL_BDScanner(BDInstance *instance, ObjectRequest *request, ScanReport *report,
                 const char *actionArg);

#ifdef __cplusplus
}
#endif

#endif  // QL_BD_BD_SCANNER_H
