#include "kav/kav_reply.h"

#include <algorithm>
#include <cstring>

#include "common/iface_utils.h"
#include "kav/kav_daemon_iface.h"

namespace ql::kav {

namespace {

constexpr std::size_t kErrorTextMax = 255;
// The name given to a finding whose line names none.
constexpr const char *kUnnamed = "unknown";

// What a reader does with a line of a row.
enum Use : uint16_t {
    kLog = 1U << 0,           // write the row's diagnostic
    kLogWithEvent = 1U << 1,  // write it only after the row's event went out without a stop
    kEvent = 1U << 2,         // send the row's event
    kArchiveOnly = 1U << 3,   // ... only when the reply announced an archive
    kCount = 1U << 4,         // move the row's counters
    kMarkArchive = 1U << 5,   // remember that the object is an archive
    kCollectName = 1U << 6,   // add the infection name to the reply's names (with an onEvent)
    kKeepName = 1U << 7,      // keep the text after the line's first hyphen as infection name
    kKeepError = 1U << 8,     // keep the line's error text
    kAct = 1U << 9,           // the infected action is due
};

// What a row's texts are.
enum Texts : uint8_t {
    kNamed = 1U << 0,          // the event carries the infection name(s)
    kErrorMessage = 1U << 1,   // the event's message is the kept error text
    kBracketed = 1U << 2,      // the diagnostic ends in " [<infection name or error text>]"
    kLogAfterEvent = 1U << 3,  // the diagnostic follows the event
};

using Counter = uint32_t ScanReport::*;

// One code (or a run of codes) of the vocabulary.
struct ReplyRow {
    int first;
    int last;
    int result;              // the result bits of a final line
    int event;               // QL_EV_*
    const char *message;     // a fixed event message, or null
    int level;               // of the diagnostic "<object>: <diagnostic>"
    const char *diagnostic;  // null: none
    uint8_t texts;
    Counter counters[2];
    uint16_t use[3];  // by Reader: quick, file, process
};

using R = ScanReport;
constexpr Counter kNone = nullptr;

// clang-format off
constexpr ReplyRow kReplyTable[] = {
    // codes, result, event, message, diagnostic (level, text), texts,
    //   counters, {quick, file, process}
    {kLineNoMeaning, kLineNoMeaning, QL_RES_CLEAN, 0, nullptr, 0, nullptr, 0,
        {kNone, kNone}, {0, 0, 0}},
    {kLineInfected, kLineInfected, QL_RES_CLEAN, QL_EV_INFECTED, nullptr,
        QL_LOG_RESULT, "INFECTED", kNamed | kBracketed,
        {&R::infectedObjects, &R::infections},
        {kLog | kEvent, kLog | kCount | kCollectName | kEvent, kKeepName}},
    {kLineDisinfected, kLineDisinfected, QL_RES_CLEAN, 0, nullptr,
        QL_LOG_RESULT, "DISINFECTED", kBracketed,
        {&R::disinfectedObjects, kNone}, {kLog, kLog | kCount, 0}},
    {kLineDisinfectFailed, kLineDisinfectFailed, QL_RES_CLEAN, 0, nullptr,
        QL_LOG_RESULT, "DISINFECT FALIED", kBracketed,
        {&R::disinfectFailed, kNone}, {kLog, kLog | kCount, 0}},
    {kLineArchive, kLineArchive326, QL_RES_CLEAN, 0, nullptr,
        QL_LOG_RESULT, "ARCHIVE", kBracketed,
        {kNone, kNone}, {kLog, kLog | kMarkArchive, 0}},
    {kLineWarning, kLineWarning, QL_RES_CLEAN, 0, nullptr,
        QL_LOG_ERROR, "WARNING", kBracketed,
        {kNone, kNone}, {kLog, kLog, 0}},
    {kLineSuspicious, kLineSuspicious, QL_RES_CLEAN, QL_EV_SUSPICIOUS, nullptr,
        QL_LOG_RESULT, "SUSPICIOUS", kNamed | kBracketed,
        {&R::suspiciousObjects, kNone}, {kLog | kEvent, kLog | kCount | kEvent, 0}},
    {kLineArchive329, kLineArchive329, QL_RES_CLEAN, 0, nullptr,
        QL_LOG_RESULT, "ARCHIVE", kBracketed,
        {kNone, kNone}, {kLog, kLog | kMarkArchive, 0}},
    {kLineClean, kLineClean, QL_RES_CLEAN, QL_EV_CLEAN, nullptr,
        QL_LOG_INFO, "CLEAN", 0,
        {kNone, kNone}, {kLog, kEvent | kArchiveOnly | kLogWithEvent, 0}},

    {kReplyClean, kReplyClean, QL_RES_CLEAN, QL_EV_CLEAN, nullptr, 0, nullptr, 0,
        {&R::cleanObjects, kNone}, {kEvent, kEvent | kCount, 0}},
    {kReplyDisinfected, kReplyDisinfected, QL_RES_DISINFECTED, QL_EV_DISINFECTED, nullptr,
        0, nullptr, kNamed,
        {kNone, kNone}, {0, kEvent | kArchiveOnly, 0}},
    {kReplyInfected, kReplyInfected, QL_RES_INFECTED, QL_EV_INFECTED, nullptr,
        0, nullptr, kNamed,
        {kNone, kNone}, {0, kEvent | kArchiveOnly | kAct, kEvent}},
    {kReplyNotDisinfected, kReplyNotDisinfected, QL_RES_INFECTED, QL_EV_DISINFECT_FAILED, "1",
        0, nullptr, kNamed,
        {kNone, kNone}, {0, kEvent | kArchiveOnly | kAct, kEvent}},
    {kReplySuspicious, kReplySuspicious, QL_RES_SUSPICIOUS, QL_EV_SUSPICIOUS, nullptr,
        0, nullptr, kNamed,
        {kNone, kNone}, {0, kEvent | kArchiveOnly | kAct, kEvent}},
    {kReplyCorrupted, kReplyCorrupted, QL_RES_CORRUPTED, QL_EV_FAILED, "Corrupt",
        QL_LOG_RESULT, "CORRUPT", 0,
        {&R::corruptedObjects, kNone}, {kEvent, kLog | kEvent | kCount, 0}},
    {kReplyEncrypted, kReplyEncrypted, QL_RES_ENCRYPTED, QL_EV_FAILED, "Encrypted",
        QL_LOG_RESULT, "ENCRYPTED", 0,
        {&R::encryptedObjects, kNone}, {kEvent, kLog | kEvent | kCount, 0}},
    {kReplyEngineError, kReplyEngineError, QL_RES_ERROR, QL_EV_FAILED, nullptr,
        QL_LOG_RESULT, "ERROR", kErrorMessage | kBracketed | kLogAfterEvent,
        {&R::scanErrors, kNone}, {kEvent | kLog, kEvent | kLog | kCount, 0}},
    {kFirstErrorCode, kLastErrorCode, QL_RES_ERROR, QL_EV_FAILED, nullptr,
        QL_LOG_RESULT, "ERROR", kErrorMessage | kBracketed | kLogAfterEvent,
        {kNone, kNone},
        {kKeepError | kEvent | kLog, kKeepError | kEvent | kLog, kKeepError | kEvent}},
};
// clang-format on

// How a reader differs from the others whatever the code.
struct ReaderProfile {
    bool keepCarriageReturn;  // the kept error text runs up to the LF
    bool objectLineStops;     // a stop answered to a per-object event makes the line's code 64
    bool resultEvents;        // events carry the result bits as value and no fixed message
};

constexpr ReaderProfile kProfiles[] = {
    {false, false, false},  // quick
    {true, true, false},    // file
    {false, false, true},   // process
};

const ReplyRow *rowOf(int code) {
    for (const ReplyRow &row : kReplyTable) {
        if (code >= row.first && code <= row.last) {
            return &row;
        }
    }
    return nullptr;
}

std::size_t column(Reader reader) {
    return static_cast<std::size_t>(reader);
}

bool isObjectLine(int code) {
    return code / 100 == 3;
}

// A line's text without its trailing CR and LF.
std::string_view withoutLineEnd(std::string_view text) {
    std::size_t end = text.find_first_of("\r\n");
    return end == std::string_view::npos ? text : text.substr(0, end);
}

// The text between the line's first hyphen and the next blank; empty without a hyphen.
std::string_view nameAfterHyphen(std::string_view line) {
    std::size_t dash = line.find('-');
    if (dash == std::string_view::npos) {
        return {};
    }
    std::string_view name = line.substr(dash + 1);
    return name.substr(0, name.find_first_of(" \t\r\n"));
}

// The parts of a 3xx line: infection name (322 to 329: the text between the hyphen and the next
// blank, empty when there is none; "unknown" for a line without the hyphen that names none) and
// object field ("/" for the file itself, "/<member>" for a member).
struct ObjectLine {
    char infection[QL_NAME_MAX] = "";
    std::string_view objectField;
};

ObjectLine parseObjectLine(std::string_view line, int code) {
    ObjectLine parsed;
    std::string_view rest = withoutLineEnd(line.substr(3));
    bool hyphen = !rest.empty() && rest.front() == '-';
    if (hyphen) {
        rest.remove_prefix(1);
    } else {
        // No hyphen: the engine put the fields after blanks; take them from there.
        rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    }
    if (code >= kLineInfected && code <= kLineArchive329) {
        std::size_t blank = rest.find(' ');
        if (!hyphen && blank == std::string_view::npos) {
            // A single field without the hyphen is the object; the engine named no infection.
            copyBounded(parsed.infection, kUnnamed);
            parsed.objectField = rest;
            return parsed;
        }
        // After the hyphen the name is whatever precedes the blank, even nothing.
        copyBounded(parsed.infection, rest.substr(0, blank));
        rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    }
    parsed.objectField = rest;
    return parsed;
}

// The scanned path, plus "=>" and the member's path when the line names a member.
std::string displayName(const char *path, std::string_view objectField) {
    std::string shown(path);
    if (objectField.size() > 1) {
        shown.append("=>").append(objectField.substr(1));
    }
    return shown;
}

// The text of a 4xx or 5xx line, cut to 255 characters: what follows the first blank without
// the line end (up to the LF only, so keeping a CR, with keepCarriageReturn), else the line
// itself without its line end.
void errorTextOf(std::string_view line, char (&out)[QL_PATH_MAX], bool keepCarriageReturn) {
    std::string_view whole = withoutLineEnd(line);
    std::size_t blank = whole.find(' ');
    std::string_view text = blank == std::string_view::npos ? whole : whole.substr(blank + 1);
    if (blank != std::string_view::npos && keepCarriageReturn) {
        std::size_t lf = line.find('\n', blank + 1);
        text = line.substr(blank + 1, lf == std::string_view::npos ? lf : lf - blank - 1);
    }
    if (text.empty()) {
        text = whole.substr(0, whole.find_last_not_of(' ') + 1);
    }
    copyBounded(out, sizeof out, text.substr(0, kErrorTextMax));
}

bool hasEvents(const ReplyTarget &target) {
    return target.events != nullptr && target.events->onEvent != nullptr;
}

// Whether a reader whose column says use sends the row's event to target.
bool eventDue(uint16_t use, const ReplyTarget &target) {
    bool archived = target.archiveSeen != nullptr && *target.archiveSeen != 0;
    return (use & kEvent) != 0 && ((use & kArchiveOnly) == 0 || archived);
}

void writeDiagnostic(const ReplyRow &row, const char *name, const char *text) {
    if (row.diagnostic == nullptr) {
        return;
    }
    if ((row.texts & kBracketed) != 0) {
        QL_Log(nullptr, row.level, "%s: %s [%s]\n", name, row.diagnostic, text);
    } else {
        QL_Log(nullptr, row.level, "%s: %s\n", name, row.diagnostic);
    }
}

void count(const ReplyRow &row, ScanReport *report) {
    if (report == nullptr) {
        return;
    }
    for (Counter counter : row.counters) {
        if (counter != nullptr) {
            (report->*counter)++;
        }
    }
}

void appendName(char (&names)[QL_PATH_MAX], const char *name) {
    std::size_t used = std::strlen(names);
    if (used == 0) {
        copyBounded(names, name);
    } else {
        formatBounded(names + used, sizeof names - used, ":%s", name);
    }
}

// A per-object line; false when its event was answered with a stop.
bool objectLine(const ReplyRow &row, uint16_t use, const ReplyTarget &target, std::string_view line,
                int code) {
    ObjectLine parsed = parseObjectLine(line, code);
    std::string named = displayName(target.name, parsed.objectField);
    const char *shown = named.c_str();
    if ((use & kMarkArchive) != 0 && target.archiveSeen != nullptr) {
        *target.archiveSeen = 1;
    }
    if ((use & kCount) != 0) {
        count(row, target.report);
    }
    if ((use & kLog) != 0) {
        writeDiagnostic(row, shown, parsed.infection);
    }
    if ((use & kCollectName) != 0 && hasEvents(target) && target.names != nullptr) {
        appendName(*target.names, parsed.infection);
    }
    bool due = eventDue(use, target);
    const char *infection = (row.texts & kNamed) != 0 ? parsed.infection : nullptr;
    int answer =
        due ? sendEvent(target.events, shown, target.lineKind, row.event, infection, nullptr) : 0;
    if ((use & kLogWithEvent) != 0 && due && hasEvents(target) && answer != QL_CB_STOP) {
        writeDiagnostic(row, shown, parsed.infection);
    }
    return answer != QL_CB_STOP;
}

// The event of a final line; true when it was answered with a stop.
bool sendFinalEvent(const ReplyRow &row, const ReplyTarget &target, int kind,
                    const char *errorText) {
    const ReaderProfile &profile = kProfiles[column(target.reader)];
    const char *names = target.names != nullptr       ? *target.names
                        : target.infection != nullptr ? *target.infection
                                                      : nullptr;
    const char *message = (row.texts & kErrorMessage) != 0 ? errorText
                          : profile.resultEvents           ? nullptr
                                                           : row.message;
    int event = profile.resultEvents ? row.result : row.event;
    return sendEvent(target.events, target.name, kind, event,
                     (row.texts & kNamed) != 0 ? names : nullptr, message) == QL_CB_STOP;
}

}  // namespace

int sendEvent(const EventCallback *events, const char *name, int kind, int event,
              const char *infection, const char *message) {
    if (events == nullptr || events->onEvent == nullptr) {
        return 0;
    }
    return events->onEvent(name, kind, event, infection, message, events->userData);
}

int dispatchReplyLine(const char *line, const ReplyTarget *target) {
    if (line == nullptr || std::strlen(line) < 4) {
        return QL_SetError(QLE_INVALID_AV_MESSAGE);
    }
    int code = leadingNumber(line);
    const ReplyRow *row = rowOf(code);
    if (target == nullptr || row == nullptr) {
        return code;
    }
    uint16_t use = row->use[column(target->reader)];
    const ReaderProfile &profile = kProfiles[column(target->reader)];
    if ((use & kKeepError) != 0 && target->errorText != nullptr) {
        errorTextOf(line, *target->errorText, profile.keepCarriageReturn);
    }
    if ((use & kKeepName) != 0 && target->infection != nullptr) {
        copyBounded(*target->infection, nameAfterHyphen(line));
    }
    constexpr uint16_t kObjectUses = kLog | kLogWithEvent | kEvent | kCount | kMarkArchive;
    if (isObjectLine(code) && (use & kObjectUses) != 0 && target->name != nullptr &&
        !objectLine(*row, use, *target, line, code) && profile.objectLineStops) {
        return QL_RES_STOPPED;
    }
    return code;
}

ReplyEnd finishReply(int code, const ReplyTarget &target, int kind) {
    ReplyEnd end;
    const ReplyRow *row = rowOf(code);
    if (row == nullptr || isObjectLine(code)) {
        return end;
    }
    uint16_t use = row->use[column(target.reader)];
    const char *errorText = target.errorText != nullptr ? *target.errorText : "";
    bool logAfter = (row->texts & kLogAfterEvent) != 0;
    end.result = row->result;
    if ((use & kLog) != 0 && !logAfter) {
        writeDiagnostic(*row, target.name, errorText);
    }
    end.stopped = eventDue(use, target) && sendFinalEvent(*row, target, kind, errorText);
    if ((use & kLog) != 0 && logAfter) {
        writeDiagnostic(*row, target.name, errorText);
    }
    if ((use & kCount) != 0 && !end.stopped) {
        count(*row, target.report);
    }
    end.act = (use & kAct) != 0;
    return end;
}

}  // namespace ql::kav
