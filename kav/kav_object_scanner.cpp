#include "kav/kav_object_scanner.h"

#include <dirent.h>
#include <libgen.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/iface_actions.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "kav/kav_daemon_iface.h"
#include "kav/kav_daemon_pool.h"
#include "kav/kav_scanner.h"

namespace ql::kav {

namespace {

constexpr const char *kDefaultQuarantineDir = "/var/Quellar/var/quarantine/kestra";
constexpr const char *kDefaultRenameExtension = "qlt";
constexpr std::size_t kMaxExtension = 3;
constexpr std::size_t kMaxListEntry = 4;

int notify(const ScanReport *report, const char *name, int kind, int event, const char *infection,
           const char *message) {
    if (report == nullptr || report->events.onEvent == nullptr) {
        return 0;
    }
    return report->events.onEvent(name, kind, event, infection, message, report->events.userData);
}

// Option letters of an object scan: those of a quick scan without the trailing "m" or "M".
void objectOptionText(uint32_t scanOpts, char (&out)[kOptionTextSize]) {
    quickOptionText(scanOpts & ~0x8001U, out);
    std::size_t length = std::strlen(out);
    if (length > 0 && (out[length - 1] == 'm' || out[length - 1] == 'M')) {
        out[length - 1] = '\0';
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

// Handles one 3xx line; false when onEvent asked to stop.
bool handleObjectLine(const char *path, FileReplyContext &context, std::string_view line,
                      int code) {
    ObjectLine parsed = parseObjectLine(line, code);
    char shown[QL_PATH_MAX];
    displayName(path, parsed.objectField, shown);
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

// The result of a reply that ended with its final 2xx code.
int mapFinalCode(int code, const char *path, const FileIdentity &scanned, FileReplyContext &context,
                 int action, const ExtraData *extra, QL_PromptFn prompt) {
    ScanReport *report = context.report;
    int kind = context.archiveSeen != 0 ? QL_OBJ_ARCHIVE : QL_OBJ_FILE;
    bool archive = context.archiveSeen != 0;
    const char *names = context.infectionNames;
    int result = QL_RES_CLEAN;
    int answer = 0;
    bool act = false;
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

bool examine(const char *path, struct stat &followed, struct stat &own) {
    return lstat(path, &own) == 0 && stat(path, &followed) == 0;
}

// The directories the walk is inside, innermost first: a followed link leading back into one of
// them would never end.
struct Ancestor {
    dev_t device;
    ino_t inode;
    const Ancestor *parent;
};

bool isAncestor(const Ancestor *chain, const struct stat &st) {
    for (; chain != nullptr; chain = chain->parent) {
        if (chain->device == st.st_dev && chain->inode == st.st_ino) {
            return true;
        }
    }
    return false;
}

int scanDirectory(Channel &channel, const ObjectRequest &request, const char *options,
                  ExtraData *extra, ScanReport *report, uint64_t startDevice, unsigned depth,
                  const Ancestor *ancestors);

// One entry of a directory: its result, QL_RES_STOPPED, or -1 when it failed.
int scanEntry(Channel &channel, const ObjectRequest &request, const char *entryPath,
              const char *options, ExtraData *extra, ScanReport *report, uint64_t startDevice,
              unsigned depth, const Ancestor *ancestors) {
    struct stat followed {};
    struct stat own {};
    if (!examine(entryPath, followed, own)) {
        return 0;
    }
    if (S_ISLNK(own.st_mode)) {
        if ((request.scanOpts & QL_OPT_LINK) == 0) {
            return 0;
        }
        if (followed.st_dev != startDevice && (request.scanOpts & QL_OPT_XDEV) == 0) {
            return 0;
        }
    }
    if (S_ISREG(followed.st_mode)) {
        if (QL_KAVExcludeFileScan(entryPath, request.scanOpts, extra->extList, extra->sizeLimit) !=
            0) {
            return 0;
        }
        return fileScan(channel, entryPath, options, request.actOpts, extra, report,
                        request.prompt);
    }
    if (!S_ISDIR(followed.st_mode)) {
        return 0;
    }
    if ((request.scanOpts & QL_OPT_NO_RECURSE) != 0 ||
        (extra->maxDepth != 0 && extra->maxDepth <= depth) || isAncestor(ancestors, followed)) {
        return 0;
    }
    ObjectRequest child = request;
    child.path = entryPath;
    return scanDirectory(channel, child, options, extra, report, followed.st_dev, depth + 1,
                         ancestors);
}

int scanDirectory(Channel &channel, const ObjectRequest &request, const char *options,
                  ExtraData *extra, ScanReport *report, uint64_t startDevice, unsigned depth,
                  const Ancestor *ancestors) {
    if (QL_KAVisInExcludeDir(request.path, extra->excludeDirs) != 0) {
        return 0;
    }
    UniqueDir dir(opendir(request.path));
    if (!dir) {
        return setErrnoError();
    }
    struct stat self {};
    if (fstat(dirfd(dir.get()), &self) != 0) {
        return setErrnoError();
    }
    const Ancestor here{self.st_dev, self.st_ino, ancestors};
    QL_Log(nullptr, QL_LOG_INFO, "Scanning directory %s\n", request.path);
    if (notify(report, request.path, QL_OBJ_DIRECTORY, QL_EV_CLEAN, nullptr, nullptr) ==
        QL_CB_STOP) {
        return QL_RES_STOPPED;
    }
    report->dirsScanned++;
    int result = QL_RES_CLEAN;
    for (dirent *entry = readdir(dir.get()); entry != nullptr; entry = readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        char entryPath[QL_PATH_MAX];
        if (!formatBounded(entryPath, sizeof entryPath, "%s/%s", request.path, entry->d_name)) {
            continue;  // a cut name would be another file
        }
        int outcome = scanEntry(channel, request, entryPath, options, extra, report, startDevice,
                                depth, &here);
        if (outcome == QL_RES_STOPPED) {
            return QL_RES_STOPPED;
        }
        if (outcome > 0) {
            result |= outcome;
        }
    }
    return result;
}

bool linkedFileCrossesDevice(const char *path, const struct stat &target) {
    char copy[QL_PATH_MAX];
    copyBounded(copy, path);
    struct stat parent {};
    if (stat(dirname(copy), &parent) != 0) {
        return false;
    }
    return parent.st_dev != target.st_dev;
}

}  // namespace

int fileScan(Channel &channel, const char *path, const char *options, int action, ExtraData *extra,
             ScanReport *report, QL_PromptFn prompt) {
    if (path == nullptr || options == nullptr || report == nullptr) {
        return QL_SetError(EINVAL);
    }
    char command[kCommandSize];
    if (!scanCommand(options, path, command)) {
        return -1;
    }
    // Taken before the engine opens the file: an action later touches only this file.
    const FileIdentity scanned = identifyScanned(path);
    FileReplyContext context{};
    context.report = report;
    ReplyOutcome reply;
    if (channel.converse(command, QL_KAVProcessReturnMessage, const_cast<char *>(path), &context,
                         reply) < 0) {
        report->scanErrors++;
        return QL_RES_ERROR;
    }
    if (context.stopAsked != 0) {
        return QL_RES_STOPPED;
    }
    report->objectsScanned++;
    if (!reply.complete) {
        report->scanErrors++;
        QL_Log(nullptr, QL_LOG_RESULT, "%s: ERROR [%s]\n", path, "No reply");
        return QL_RES_ERROR;
    }
    if (reply.code >= 400 && reply.code <= 599) {
        if (notify(report, path, QL_OBJ_FILE, QL_EV_FAILED, nullptr, context.errorText) ==
            QL_CB_STOP) {
            return QL_RES_STOPPED;
        }
        QL_Log(nullptr, QL_LOG_RESULT, "%s: ERROR [%s]\n", path, context.errorText);
        return QL_RES_ERROR;
    }
    if (reply.code < 200 || reply.code > 299) {
        return QL_RES_CLEAN;
    }
    return mapFinalCode(reply.code, path, scanned, context, action, extra, prompt);
}

int scanObject(Channel &channel, ObjectRequest *request, ExtraData *extra, ScanReport *report) {
    if (request == nullptr || request->path == nullptr || request->path[0] != '/' ||
        report == nullptr || extra == nullptr) {
        return QL_SetError(EINVAL);
    }
    const char *path = request->path;
    struct stat followed {};
    struct stat own {};
    if (!examine(path, followed, own)) {
        return setErrnoError();
    }
    if (S_ISLNK(own.st_mode)) {
        if ((request->scanOpts & QL_OPT_LINK) == 0) {
            return 0;
        }
        if (S_ISREG(followed.st_mode) && (request->scanOpts & QL_OPT_XDEV) == 0 &&
            linkedFileCrossesDevice(path, followed)) {
            return 0;
        }
    }
    char options[kOptionTextSize];
    objectOptionText(request->scanOpts, options);
    if (S_ISREG(followed.st_mode)) {
        if (QL_KAVExcludeFileScan(path, request->scanOpts, extra->extList, extra->sizeLimit) != 0) {
            return 0;
        }
        return fileScan(channel, path, options, request->actOpts, extra, report, request->prompt);
    }
    if (S_ISDIR(followed.st_mode)) {
        return scanDirectory(channel, *request, options, extra, report, followed.st_dev, 1,
                             nullptr);
    }
    return 0;
}

int traverseScanTree(Channel &channel, ScanTreeNode *node, ObjectRequest *request, ExtraData *extra,
                     ScanReport *report) {
    if (node == nullptr || request == nullptr) {
        return 0;
    }
    // The whole sibling list is scanned first, then the directories below each of its nodes, so
    // only the depth of the tree, never its width, costs stack.
    int result = QL_RES_CLEAN;
    for (ScanTreeNode *at = node; at != nullptr; at = at->nextSibling) {
        request->path = at->dirPath;
        int part = scanObject(channel, request, extra, report);
        if (part < 0 && at == node) {
            return -1;
        }
        if (part == QL_RES_STOPPED) {
            return QL_RES_STOPPED;
        }
        result |= part > 0 ? part : 0;
    }
    for (ScanTreeNode *at = node; at != nullptr; at = at->nextSibling) {
        request->path = nullptr;
        int part = traverseScanTree(channel, at->firstChild, request, extra, report);
        if (part == QL_RES_STOPPED) {
            return QL_RES_STOPPED;
        }
        result |= part > 0 ? part : 0;
    }
    return result;
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
            context->stopAsked = 1;
            return QL_RES_STOPPED;
        }
    } else if (code >= 400 && code <= 599) {
        ql::kav::errorTextOf(line, context->errorText);
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

int QL_KAVScanObject(int connection, ObjectRequest *request, ExtraData *extra, ScanReport *report) {
    if (connection < 0) {
        return QL_SetError(EINVAL);
    }
    ql::kav::FdChannel channel(connection);
    return ql::kav::scanObject(channel, request, extra, report);
}

int QL_KAVScanDirectory(int connection, ObjectRequest *request, const char *options,
                        ExtraData *extra, ScanReport *report, uint64_t startDevice,
                        unsigned depth) {
    if (connection < 0 || request == nullptr || request->path == nullptr || options == nullptr ||
        extra == nullptr || report == nullptr) {
        return QL_SetError(EINVAL);
    }
    ql::kav::FdChannel channel(connection);
    return ql::kav::scanDirectory(channel, *request, options, extra, report, startDevice, depth,
                                  nullptr);
}

int QL_KAVTraverseScanTree(int connection, ScanTreeNode *node, ObjectRequest *request,
                           ExtraData *extra, ScanReport *report) {
    if (node != nullptr && request != nullptr && connection < 0) {
        return QL_SetError(EINVAL);
    }
    ql::kav::FdChannel channel(connection);
    return ql::kav::traverseScanTree(channel, node, request, extra, report);
}

int QL_KAVExcludeFileScan(const char *path, uint32_t scanOpts, const char *extList,
                          uint32_t sizeLimit) {
    if (path == nullptr) {
        return 0;
    }
    if ((scanOpts & QL_OPT_SCAN_EXT) != 0 && QL_KAVisInExtensionList(path, extList) == 0) {
        return 1;
    }
    if ((scanOpts & QL_OPT_SKIP_EXT) != 0 && QL_KAVisInExtensionList(path, extList) != 0) {
        return 1;
    }
    struct stat st {};
    if (sizeLimit != 0 && stat(path, &st) == 0 &&
        static_cast<uint64_t>(st.st_size) > static_cast<uint64_t>(sizeLimit) * 1024U) {
        return 1;
    }
    return 0;
}

int QL_KAVisInExtensionList(const char *path, const char *extList) {
    const char *extension = QL_KAVgetFileExtension(path);
    if (extList == nullptr || extension == nullptr ||
        std::strlen(extension) > ql::kav::kMaxExtension) {
        return 0;
    }
    char list[QL_PATH_MAX];
    ql::copyBounded(list, extList);
    std::string_view rest(list);
    while (!rest.empty()) {
        std::size_t colon = rest.find(':');
        std::string_view entry = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (entry.size() <= ql::kav::kMaxListEntry && entry.size() == std::strlen(extension) &&
            strncasecmp(entry.data(), extension, entry.size()) == 0) {
            return 1;
        }
    }
    return 0;
}

int QL_KAVisInExcludeDir(const char *path, const char *excludeDirs) {
    if (path == nullptr || excludeDirs == nullptr || excludeDirs[0] == '\0') {
        return 0;
    }
    return QL_isInExcludeDir(path, excludeDirs);
}

}  // extern "C"
