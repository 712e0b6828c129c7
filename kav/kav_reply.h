// The engine daemon's reply vocabulary: its codes by name, one table saying what each code means
// to each scanner that reads replies (quick and buffer scans, file scans, process scans), and
// the one line dispatcher and final-code mapping that all of them use.
//
// A reply is per-object (3xx) lines, then one final line (2xx, 4xx, 5xx). A scanner reads its
// column of the table: which diagnostic a line writes, which event it sends with which texts,
// which ScanReport counters it moves, and what it keeps for the final line (the error text, the
// infection names, the archive mark). Where the scanners differ in kind rather than per code
// (the error text's end, whether a stop answered to a per-object event counts, what a process
// event carries), the difference is a reader profile in the table unit.
#ifndef QL_KAV_KAV_REPLY_H
#define QL_KAV_KAV_REPLY_H

#include <cstdint>

#include "ql/qlscan.h"

namespace ql::kav {

// The codes of the engine daemon's reply lines.
enum ReplyCode : int {
    kReplyInfo = 201,  // the greeting and the answer to INFO: the engine's seven fields
    // Final lines about the scanned object.
    kReplyClean = 220,
    kReplyDisinfected = 221,
    kReplyInfected = 230,
    kReplyNotDisinfected = 231,  // infected, disinfection failed
    kReplySuspicious = 232,
    kReplyCorrupted = 234,
    kReplyEncrypted = 240,
    kReplyEngineError = 241,
    // Per-object lines: the object itself ("/") or a member of it ("/<member>").
    kLineNoMeaning = 321,
    kLineInfected = 322,
    kLineDisinfected = 323,
    kLineDisinfectFailed = 324,
    kLineArchive = 325,  // 325, 326 and 329 each announce an archive
    kLineArchive326 = 326,
    kLineWarning = 327,
    kLineSuspicious = 328,
    kLineArchive329 = 329,
    kLineClean = 330,
    // Final lines of a failed command; the text after the first blank tells why.
    kFirstErrorCode = 400,
    kLastErrorCode = 599,
};

// Whether code is that of a failed command (4xx, 5xx).
[[nodiscard]] constexpr bool isEngineError(int code) {
    return code >= kFirstErrorCode && code <= kLastErrorCode;
}

// Whether code is a finding of the final line: infected (230, 231) or suspicious (232).
[[nodiscard]] constexpr bool isFinding(int code) {
    return code >= kReplyInfected && code <= kReplySuspicious;
}

// The scanners that read replies, each one column of the table.
enum class Reader : uint8_t { kQuick, kFile, kProcess };

// One scanner's reply context seen through one shape: what a reply is read into. Pointers the
// reader's column does not use may be null.
struct ReplyTarget {
    Reader reader = Reader::kQuick;
    const char *name = nullptr;                // the object the reply is about (path, pid text)
    const EventCallback *events = nullptr;     // where events go; null: none
    int lineKind = QL_OBJ_FILE;                // object kind of the per-object events
    ScanReport *report = nullptr;              // the counters (file scans)
    char (*errorText)[QL_PATH_MAX] = nullptr;  // the text of a 4xx or 5xx line
    char (*names)[QL_PATH_MAX] = nullptr;      // the names of the 322 lines, ':'-separated
    char (*infection)[QL_NAME_MAX] = nullptr;  // the name of the last 322 line (process scans)
    uint8_t *archiveSeen = nullptr;            // set by an archive line
};

// Send one event to events->onEvent (with its userData); 0 without events or onEvent. The
// scanners call onEvent through this only.
int sendEvent(const EventCallback *events, const char *name, int kind, int event,
              const char *infection, const char *message);

// Take one reply line: -1 with error 903 for a NULL line or one shorter than 4 characters;
// else act on it as target's column says (nothing without a target) and return its code, or
// QL_RES_STOPPED when a file scan's per-object event was answered QL_CB_STOP.
[[nodiscard]] int dispatchReplyLine(const char *line, const ReplyTarget *target);

// What the final line of a complete reply comes to for a scanner.
struct ReplyEnd {
    int result = QL_RES_CLEAN;  // the code's result bits
    bool stopped = false;       // its event was answered QL_CB_STOP
    bool act = false;           // the infected action is due (file scans)
    bool finding = false;       // a finding of the process scan
};

// Map the final code of a complete reply as target's column says: its diagnostic, its event
// (named target.name, of kind) and its counters.
[[nodiscard]] ReplyEnd finishReply(int code, const ReplyTarget &target, int kind);

}  // namespace ql::kav

#endif  // QL_KAV_KAV_REPLY_H
