#include "kav/kav_object_scanner.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/iface_actions.h"
#include "common/iface_utils.h"
#include "common/object_reach.h"
#include "common/unique_fd.h"
#include "kav/kav_daemon_iface.h"
#include "kav/kav_daemon_pool.h"
#include "kav/kav_reply.h"
#include "kav/kav_scanner.h"

namespace ql::kav {

namespace {

constexpr const char *kDefaultQuarantineDir = "/var/Quellar/var/quarantine/kestra";
constexpr const char *kDefaultRenameExtension = "qlt";
// The message of a file whose reply broke off.
constexpr const char *kBrokenReply = "Engine reply broken off";

// The file scan's context seen as a reply target.
ReplyTarget fileTarget(const char *path, FileReplyContext &context) {
    ReplyTarget target;
    target.reader = Reader::kFile;
    target.name = path;
    target.events = &context.report->events;
    target.lineKind = QL_OBJ_FILE;
    target.report = context.report;
    target.errorText = &context.errorText;
    target.names = &context.infectionNames;
    target.archiveSeen = &context.archiveSeen;
    return target;
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
    return sendEvent(&report->events, path, kind, shown.event, nullptr, message) != QL_CB_STOP;
}

// The result of a reply that ended with its final code.
int mapFinalCode(int code, const char *path, const FileIdentity &scanned, FileReplyContext &context,
                 int action, const ExtraData *extra, QL_PromptFn prompt) {
    int kind = context.archiveSeen != 0 ? QL_OBJ_ARCHIVE : QL_OBJ_FILE;
    ReplyEnd end = finishReply(code, fileTarget(path, context), kind);
    if (end.stopped ||
        (end.act && !applyAction(path, scanned, kind, action, extra, context.report, prompt))) {
        return QL_RES_STOPPED;
    }
    return end.result;
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
    return mapFinalCode(reply.code, path, scanned, context, action, extra, prompt);
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
    auto *path = static_cast<const char *>(context1);
    auto *context = static_cast<FileReplyContext *>(context2);
    if (path == nullptr || context == nullptr || context->report == nullptr) {
        return ql::kav::dispatchReplyLine(line, nullptr);
    }
    ql::kav::ReplyTarget target = ql::kav::fileTarget(path, *context);
    return ql::kav::dispatchReplyLine(line, &target);
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
