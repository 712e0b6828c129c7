// The KAV process scan: a walk over the process table under /proc that has the engine daemon
// scan the executable of every process and, on request, the regular files each process holds
// open, one "SCAN bMpqrstW <path>" command per object on one connection.
//
// Events (user context as the last argument of every call):
//   start            NULL name, QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_START (its answer is ignored)
//   finding          pid text, QL_OBJ_PROCESS (executable) or QL_OBJ_PROCESS_FILE (open file),
//                    QL_RES_INFECTED (230, 231) or QL_RES_SUSPICIOUS (232), infection name
//   failure          as a finding with QL_RES_ERROR and a message: the last error's text when the
//                    command could not be sent or its reply broke off, the engine's text for a
//                    4xx or 5xx reply (the open files of that process are then not scanned), the
//                    system's text when the process's descriptor directory cannot be opened
//   open-files-done  pid text, QL_OBJ_PROCESS_FILE, the walk result so far
//   end              NULL name, QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_END (its answer is ignored)
//
// Result: the value of the last finding (not the union of all findings), 0 when there was none;
// QL_RES_STOPPED when an event but the start and end ones was answered QL_CB_STOP (the end event
// still follows). The infected pid is set to 0 when the walk starts and to the pid of each
// process where a finding is made. With open files, the walk ends after a process whose last
// scanned object was a finding. The scanning process itself and processes whose executable link
// is not readable are skipped; per-process failures neither end the walk nor change its result,
// and a process whose executable got no answer, or whose descriptor directory cannot be read,
// is left after its error event. An executable whose resolved path does not lead to the same
// file (deleted or replaced while it runs, a process in another mount namespace, a link that
// cannot be resolved) is sent as its "/proc/<pid>/exe" link, which still reaches its content.
#ifndef QL_KAV_KAV_PROCESS_SCANNER_H
#define QL_KAV_KAV_PROCESS_SCANNER_H

#include <stdint.h>

#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// The option letters of every process-scan command.
#define QL_KAV_PROCESS_OPTIONS "bMpqrstW"

// Walk the processes over the bare connection as described above. -1 with error 22 for a
// negative connection or a NULL infectedPid, or the system error when /proc cannot be opened;
// no event is sent for a walk that fails before it starts.
int QL_KAVScanProcesses(int connection, uint32_t *infectedPid, uint8_t scanOpenFiles,
                        QL_EventFn onEvent, void *userData);

// A ReplyLineFn for process scans. Returns the line's code; -1 with error 903 for a NULL line or
// one shorter than 4 characters. For a 322 line, context2 (when given) receives the infection
// name: the text between the first '-' and the next blank, at most QL_NAME_MAX - 1 characters,
// empty when there is none. For a 4xx or 5xx line, context1 (when given, QL_PATH_MAX characters)
// receives the engine's error text.
int QL_KAVMemoryScanMessage(char *line, void *context1, void *context2);

#ifdef __cplusplus
}

namespace ql::kav {

class Channel;

// The walk over any channel; a pooled channel keeps one leased connection for its whole length.
[[nodiscard]] int scanProcesses(Channel &channel, uint32_t *infectedPid, uint8_t scanOpenFiles,
                                QL_EventFn onEvent, void *userData);

}  // namespace ql::kav

#endif

#endif  // QL_KAV_KAV_PROCESS_SCANNER_H
