// The engine-neutral process scan (QL_ScanProcesses in the public header): the arguments
// checked, the installed engine found anew, and the walk handed to that engine's back end.
//
// Both back ends report QL_EV_PROCESS_SCAN_START and QL_EV_PROCESS_SCAN_END with QL_OBJ_PROCESS
// around the walk, and each process's findings with the pid text as the object name
// (QL_OBJ_PROCESS) or, for an open file, the pid text (KAV) or the label "(<pid>)FD:<fd>" (BD)
// with QL_OBJ_PROCESS_FILE; the event argument then carries the object's result code. The
// scanning process itself is never scanned. The engines' walks differ in detail: see
// kav/kav_process_scanner.h and bd/bd_process_scanner.h.
#ifndef QL_API_PROCESS_SCAN_H
#define QL_API_PROCESS_SCAN_H

#include "ql/qlscan.h"

#endif  // QL_API_PROCESS_SCAN_H
