// The BD process scan: a walk over the process table under /proc that has the core scan the
// executable of every process and, on request, the regular files each process holds open, each
// through QL_BDProcessScanner in one core instance.
//
// Events (user context as the last argument of every call):
//   start    NULL name, QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_START (a stop answer ends the walk
//            before any process, with 64 and no end event)
//   objects  the scan callback's reports: the pid text with QL_OBJ_PROCESS for an executable,
//            the label "(<pid>)FD:<descriptor>" with QL_OBJ_PROCESS_FILE for an open file;
//            an object the core could not scan is reported with QL_RES_ERROR and the last
//            error's text
//   end      NULL name, QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_END (its answer is ignored)
//
// Result: the result of the last object scanned (0 when none), QL_RES_STOPPED alone after a stop
// answer. The slot is set to 0 when the walk starts and to the pid of each process found
// infected (suspicious findings do not set it). An infected open file ends the scan of that
// process's open files; the walk goes on with the next process. The scanning process itself and
// processes whose executable is not readable are skipped. A file whose resolved path does not
// lead to the same file (deleted or replaced while in use, a process in another mount
// namespace, a link that cannot be resolved) is scanned through its /proc link.
#ifndef QL_BD_BD_PROCESS_SCANNER_H
#define QL_BD_BD_PROCESS_SCANNER_H

#include <stdint.h>

#include "bd/bd_iface.h"
#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// Walk the processes with the instance (its core made already) as described above. -1 with
// error 22 (logged) for a missing instance, core or slot, or the system error (logged) when
// /proc cannot be opened; no event is sent for a walk that fails before it starts.
int QL_BDScanProcess(BDInstance *instance, int32_t *processSlot, uint8_t scanOpenFiles,
                     QL_EventFn onEvent, void *userData);

#ifdef __cplusplus
}
#endif

#endif  // QL_BD_BD_PROCESS_SCANNER_H
