#include "kav/kav_object_scanner.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "common/iface_actions.h"
#include "common/iface_utils.h"
#include "common/object_reach.h"
#include "common/unique_fd.h"
#include "kav/kav_daemon_iface.h"
#include "kav/kav_daemon_pool.h"
#include "kav/kav_scanner.h"

namespace ql::kav {

namespace {

constexpr const char *kDefaultQuarantineDir = "/var/Quellar/var/quarantine/kestra";
constexpr const char *kDefaultRenameExtension = "qlt";
// The message of a file whose reply broke off.
constexpr const char *kBrokenReply = "Engine reply broken off";

int notify(const ScanReport *report, const char *name, int kind, int event, const char *infection,
           const char *message) {
    if (report == nullptr || report->events.onEvent == nullptr) {
        return 0;
    }
    return report->events.onEvent(name, kind, event, infection, message, report->events.userData);
}

void appendName(char (&names)[QL_PATH_MAX], const char *name) {
    std::size_t used = std::strlen(names);
    if (used == 0) {
        copyBounded(names, name);
    } else {
        formatBounded(names + used, sizeof names - used, ":%s", name);
    }
}

// Handles one 3xx line; false when onEvent asked to stop.
bool handleObjectLine(const char *path, FileReplyContext &context, std::string_view line,
                      int code) {
    ObjectLine parsed = parseObjectLine(line, code);
    std::string named = displayName(path, parsed.objectField);
    const char *shown = named.c_str();
    ScanReport *report = context.report;
    int answer = 0;
    switch (code) {
        case 322:
            QL_Log(nullptr, QL_LOG_RESULT, "%s: INFECTED [%s]\n", shown, parsed.infection);
            report->infectedObjects++;
            report->infections++;
            if (report->events.onEvent != nullptr) {
                appendName(context.infectionNames, parsed.infection);
                answer =
                    notify(report, shown, QL_OBJ_FILE, QL_EV_INFECTED, parsed.infection, nullptr);
            }
            break;
        case 323:
            QL_Log(nullptr, QL_LOG_RESULT, "%s: DISINFECTED [%s]\n", shown, parsed.infection);
            report->disinfectedObjects++;
            break;
        case 324:
            report->disinfectFailed++;
            QL_Log(nullptr, QL_LOG_RESULT, "%s: DISINFECT FALIED [%s]\n", shown, parsed.infection);
            break;
        case 325:
        case 326:
        case 329:
            context.archiveSeen = 1;
            QL_Log(nullptr, QL_LOG_RESULT, "%s: ARCHIVE [%s]\n", shown, parsed.infection);
            break;
        case 327:
            QL_Log(nullptr, QL_LOG_ERROR, "%s: WARNING [%s]\n", shown, parsed.infection);
            break;
        case 328:
            QL_Log(nullptr, QL_LOG_RESULT, "%s: SUSPICIOUS [%s]\n", shown, parsed.infection);
            report->suspiciousObjects++;
            answer =
                notify(report, shown, QL_OBJ_FILE, QL_EV_SUSPICIOUS, parsed.infection, nullptr);
            break;
        case 330:
            if (report->events.onEvent != nullptr && context.archiveSeen != 0) {
                answer = notify(report, shown, QL_OBJ_FILE, QL_EV_CLEAN, nullptr, nullptr);
                if (answer != QL_CB_STOP) {
                    QL_Log(nullptr, QL_LOG_INFO, "%s: CLEAN\n", shown);
                }
            }
            break;
        default:
            break;
    }
    return answer != QL_CB_STOP;
}

struct ActionReport {
    const char *diagnostic;  // what the diagnostic line says after the path
    int level;
    uint32_t ScanReport::*counter;
    int event;
    bool failed;
};

ActionReport actionReportOf(int outcome) {
    switch (outcome) {
        case QL_EV_RENAMED:
            return {"RENAMED", QL_LOG_RESULT, &ScanReport::renamedObjects, outcome, false};
        case QL_EV_DELETED:
            return {"DELETED", QL_LOG_RESULT, &ScanReport::deletedObjects, outcome, false};
        case QL_EV_QUARANTINED:
            return {"QUARANTINED", QL_LOG_RESULT, &ScanReport::quarantinedObjects, outcome, false};
        case QL_ACT_NONE:
            return {"INFECTION LEFT", QL_LOG_RESULT, nullptr, 0, false};
        case QL_EV_QUARANTINE_FAILED:
            return {"QUARANTINE FAILED", QL_LOG_ERROR, &ScanReport::actionFailed, outcome, true};
        case QL_EV_RENAME_FAILED:
            return {"RENAME FAILED", QL_LOG_ERROR, &ScanReport::actionFailed, outcome, true};
        case QL_EV_DELETE_FAILED:
            return {"DELETE FAILED", QL_LOG_ERROR, &ScanReport::actionFailed, outcome, true};
        default:
            return {"INVALID ACTION", QL_LOG_ERROR, &ScanReport::actionFailed, QL_EV_FAILED, true};
    }
}

// Apply the caller's action to an infected or suspicious file, which must still be the one
// scanned; false when onEvent asked to stop.
bool applyAction(const char *path, const FileIdentity &scanned, int kind, int action,
                 const ExtraData *extra, ScanReport *report, QL_PromptFn prompt) {
    char prompted[QL_PATH_MAX] = "";
    const char *argument = extra != nullptr ? extra->actionArg : "";
    if (action == QL_ACT_PROMPT) {
        action =
            prompt != nullptr ? QL_KAVpromptInfectedAction(prompt, path, prompted) : QL_ACT_NONE;
        argument = prompted;
    }
    int outcome = applyInfectedAction(path, scanned, action, argument);
    ActionReport shown = actionReportOf(outcome);
    QL_Log(nullptr, shown.level, "%s: %s\n", path, shown.diagnostic);
    if (shown.counter != nullptr) {
        (report->*shown.counter)++;
    }
    if (shown.event == 0) {
        return true;
    }
    const char *message = nullptr;
    if (shown.event == QL_EV_FAILED) {
        message = "Invalid action. Rejected";
    } else if (shown.failed) {
        message = QL_GetErrorText();
    }
    return notify(report, path, kind, shown.event, nullptr, message) != QL_CB_STOP;
}

// The result of a reply that ended with its final code.
int mapFinalCode(int code, const char *path, const FileIdentity &scanned,
                 const FileReplyContext &context, ScanReport *report, int action,
                 const ExtraData *extra, QL_PromptFn prompt) {
    int kind = context.archiveSeen != 0 ? QL_OBJ_ARCHIVE : QL_OBJ_FILE;
    bool archive = context.archiveSeen != 0;
    const char *names = context.infectionNames;
    int result = QL_RES_CLEAN;
    int answer = 0;
    bool act = false;
    if (code >= 400 && code <= 599) {
        answer = notify(report, path, kind, QL_EV_FAILED, nullptr, context.errorText);
        QL_Log(nullptr, QL_LOG_RESULT, "%s: ERROR [%s]\n", path, context.errorText);
        return answer == QL_CB_STOP ? QL_RES_STOPPED : QL_RES_ERROR;
    }
    switch (code) {
        case 220:
            answer = notify(report, path, kind, QL_EV_CLEAN, nullptr, nullptr);
            if (answer != QL_CB_STOP) {
                report->cleanObjects++;
            }
            break;
        case 221:
            result = QL_RES_DISINFECTED;
            if (archive) {
                answer = notify(report, path, kind, QL_EV_DISINFECTED, names, nullptr);
            }
            break;
        case 230:
            result = QL_RES_INFECTED;
            answer = archive ? notify(report, path, kind, QL_EV_INFECTED, names, nullptr) : 0;
            act = true;
            break;
        case 231:
            result = QL_RES_INFECTED;
            answer = archive ? notify(report, path, kind, QL_EV_DISINFECT_FAILED, names, "1") : 0;
            act = true;
            break;
        case 232:
            result = QL_RES_SUSPICIOUS;
            answer = archive ? notify(report, path, kind, QL_EV_SUSPICIOUS, names, nullptr) : 0;
            act = true;
            break;
        case 234:
            result = QL_RES_CORRUPTED;
            QL_Log(nullptr, QL_LOG_RESULT, "%s: CORRUPT\n", path);
            answer = notify(report, path, kind, QL_EV_FAILED, nullptr, "Corrupt");
            if (answer != QL_CB_STOP) {
                report->corruptedObjects++;
            }
            break;
        case 240:
            result = QL_RES_ENCRYPTED;
            QL_Log(nullptr, QL_LOG_RESULT, "%s: ENCRYPTED\n", path);
            answer = notify(report, path, kind, QL_EV_FAILED, nullptr, "Encrypted");
            if (answer != QL_CB_STOP) {
                report->encryptedObjects++;
            }
            break;
        case 241:
            result = QL_RES_ERROR;
            answer = notify(report, path, kind, QL_EV_FAILED, nullptr, context.errorText);
            QL_Log(nullptr, QL_LOG_RESULT, "%s: ERROR [%s]\n", path, context.errorText);
            if (answer != QL_CB_STOP) {
                report->scanErrors++;
            }
            break;
        default:
            break;
    }
    if (answer == QL_CB_STOP) {
        return QL_RES_STOPPED;
    }
    if (act && !applyAction(path, scanned, kind, action, extra, report, prompt)) {
        return QL_RES_STOPPED;
    }
    return result;
}

// Open the file for the engine to read through its descriptor alias: a regular file only,
// without blocking on anything else put in its place. -1 with errno set.
int openForEngine(const char *path, const FileAt &at) {
    int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (at.followLink ? 0 : O_NOFOLLOW);
    UniqueFd fd(openat(at.dirfd, at.name != nullptr ? at.name : path, flags));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return fd.release();
}

}  // namespace

int fileScan(Channel &channel, const char *path, const char *options, int action, ExtraData *extra,
             ScanReport *report, QL_PromptFn prompt, FileAt at) {
    if (path == nullptr || options == nullptr || report == nullptr) {
        return QL_SetError(EINVAL);
    }
    // A line end would end the command early; a long path does not fit the command.
    UniqueFd held;
    char alias[kAliasSize];
    const char *sent = path;
    if (!isLineSafe(path) || std::strlen(path) >= QL_PATH_MAX) {
        held.reset(openForEngine(path, at));
        if (!held) {
            return reportNotScanned(report, path, QL_OBJ_FILE, systemErrorText(errno));
        }
        descriptorAlias(held.get(), alias);
        sent = alias;
    }
    char command[kCommandSize];
    if (!scanCommand(options, sent, command)) {
        return -1;
    }
    // Taken before the engine opens the file: an action later touches only this file.
    const FileIdentity scanned = identifyScanned(path);
    FileReplyContext context{};
    context.report = report;
    ReplyOutcome reply;
    if (channel.converse(command, QL_KAVProcessReturnMessage, const_cast<char *>(path), &context,
                         reply) < 0) {
        return reportNotScanned(report, path, QL_OBJ_FILE, QL_GetErrorText());
    }
    if (!reply.complete && reply.code == QL_RES_STOPPED) {
        return QL_RES_STOPPED;  // the reply ended right after the line answered with a stop
    }
    report->objectsScanned++;
    if (!reply.complete) {
        int kind = context.archiveSeen != 0 ? QL_OBJ_ARCHIVE : QL_OBJ_FILE;
        return reportNotScanned(report, path, kind, kBrokenReply);
    }
    return mapFinalCode(reply.code, path, scanned, context, report, action, extra, prompt);
}

}  // namespace ql::kav

extern "C" {

int QL_KAVFileScanner(int connection, const char *path, const char *options, int action,
                      ExtraData *extra, ScanReport *report, QL_PromptFn prompt) {
    if (connection < 0) {
        return QL_SetError(EINVAL);
    }
    ql::kav::FdChannel channel(connection);
    return ql::kav::fileScan(channel, path, options, action, extra, report, prompt);
}

int QL_KAVProcessReturnMessage(char *line, void *context1, void *context2) {
    if (line == nullptr || std::strlen(line) < 4) {
        return QL_SetError(QLE_INVALID_AV_MESSAGE);
    }
    int code = ql::kav::leadingNumber(line);
    auto *path = static_cast<const char *>(context1);
    auto *context = static_cast<FileReplyContext *>(context2);
    if (path == nullptr || context == nullptr || context->report == nullptr) {
        return code;
    }
    if (code >= 300 && code <= 399) {
        if (!ql::kav::handleObjectLine(path, *context, line, code)) {
            return QL_RES_STOPPED;
        }
    } else if (code >= 400 && code <= 599) {
        ql::kav::errorTextOf(line, context->errorText, true);
    }
    return code;
}

int QL_KAVpromptInfectedAction(QL_PromptFn prompt, const char *path, char *argument) {
    if (prompt == nullptr || path == nullptr || argument == nullptr) {
        return QL_SetError(EINVAL);
    }
    int action = prompt(path, argument);
    if (action == QL_ACT_QUARANTINE) {
        if (ql::rootedPath(ql::kav::kDefaultQuarantineDir, argument, QL_PATH_MAX) < 0) {
            return -1;
        }
    } else if (action == QL_ACT_RENAME) {
        ql::copyBounded(argument, QL_PATH_MAX, ql::kav::kDefaultRenameExtension);
    }
    return action;
}

const char *QL_KAVgetFileExtension(const char *path) {
    if (path == nullptr) {
        return nullptr;
    }
    const char *slash = std::strrchr(path, '/');
    const char *name = slash != nullptr ? slash + 1 : path;
    const char *dot = std::strrchr(name, '.');
    if (dot == nullptr || dot[1] == '\0') {
        return nullptr;
    }
    return dot + 1;
}

}  // extern "C"
