#include "bd/bd_scanner.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bd/bd_core.h"
#include "common/iface_actions.h"
#include "common/iface_utils.h"
#include "common/object_reach.h"
#include "common/unique_fd.h"

namespace {

constexpr const char *kScanFailed = "Scan request failed";
constexpr const char *kNotScanned = "Not scanned";
constexpr int kPromptStop = 5;
constexpr uint32_t kActionFailed =
    QL_EV_DELETE_FAILED | QL_EV_QUARANTINE_FAILED | QL_EV_RENAME_FAILED;

bool hasCore(const BDInstance *instance) {
    return instance != nullptr && instance->handle != nullptr &&
           instance->handle->coreLibrary != nullptr;
}

BDEntry entryOf(const ql::FileIdentity &identity) {
    return BDEntry{static_cast<uint64_t>(identity.device), static_cast<uint64_t>(identity.inode),
                   static_cast<uint8_t>(identity.known ? 1 : 0)};
}

ql::FileIdentity identityOf(const BDEntry &entry) {
    return ql::FileIdentity{static_cast<dev_t>(entry.device), static_cast<ino_t>(entry.inode),
                            entry.known != 0};
}

QLLogger *loggerOf(const BDInstance *instance) {
    return instance != nullptr ? QL_BDGetLogger(instance->handle) : nullptr;
}

const char *textOf(const char *text) {
    return text != nullptr ? text : "";
}

// Replace *slot by a heap copy of text (NULL stays NULL; a failed copy leaves NULL).
void replaceCopy(char **slot, const char *text) {
    std::free(*slot);
    *slot = text != nullptr ? strdup(text) : nullptr;
}

int report(const BDScanContext *context, const char *name, int32_t kind, int32_t event,
           const char *infection, const char *message = nullptr) {
    if (context->onEvent == nullptr) {
        return 0;
    }
    return context->onEvent(name, kind, event, infection, message, context->userData);
}

// A stop answer ends the scan with QL_RES_STOPPED alone.
bool stopped(BDScanContext *context, int answer) {
    if (answer != QL_CB_STOP) {
        return false;
    }
    context->result = QL_RES_STOPPED;
    return true;
}

void countOutcome(ScanReport *counters, int outcome) {
    auto bits = static_cast<uint32_t>(outcome);
    if ((bits & kActionFailed) != 0) {
        ++counters->actionFailed;
    } else if ((bits & QL_EV_DELETED) != 0) {
        ++counters->deletedObjects;
    } else if ((bits & QL_EV_RENAMED) != 0) {
        ++counters->renamedObjects;
    } else if ((bits & QL_EV_QUARANTINED) != 0) {
        ++counters->quarantinedObjects;
    }
}

// Report the verdict of an archive whose members were reported one by one. False on a stop.
bool settleContainer(BDScanContext *context) {
    const PendingObject &pending = context->pending;
    int answer = 0;
    if (pending.state == 1 || pending.state == 2) {
        QL_Log(context->logger, QL_LOG_RESULT, "Object (%s) Infected by %s\n", pending.name,
               textOf(pending.infectionName));
        answer =
            report(context, pending.name, QL_OBJ_ARCHIVE,
                   pending.state == 1 ? QL_EV_INFECTED : QL_EV_SUSPICIOUS, pending.infectionName);
    } else if (pending.encrypted != 0) {
        QL_Log(context->logger, QL_LOG_RESULT, "Object (%s) Encrypted\n", pending.name);
        answer = report(context, pending.name, QL_OBJ_ARCHIVE, QL_EV_ENCRYPTED, nullptr);
    } else if (pending.corrupted != 0) {
        QL_Log(context->logger, QL_LOG_RESULT, "Object (%s) Corrupted\n", pending.name);
        answer = report(context, pending.name, QL_OBJ_ARCHIVE, QL_EV_CORRUPTED, nullptr);
    } else {
        QL_Log(context->logger, QL_LOG_RESULT, "Object (%s) Clean\n", pending.name);
        ++context->report->cleanObjects;
    }
    return !stopped(context, answer);
}

// Apply the request's action to the pending object and report the outcome. False on a stop.
bool settleAction(BDScanContext *context) {
    const PendingObject &pending = context->pending;
    // What the core acted on is its own (it counts what it did); acting on it again here would
    // report a failure for a file the core has already moved. What it failed to act on is the
    // caller's again.
    if (pending.state == 0) {
        return true;
    }
    if (pending.leftToCore != 0 && pending.coreFailed == 0) {
        // The core deleted, renamed or quarantined it: the file was still found, and a result
        // without the bit would read as a clean file.
        context->result |= pending.state == 1 ? QL_RES_INFECTED : QL_RES_SUSPICIOUS;
        return true;
    }
    int action = static_cast<int>(context->action);
    char argument[QL_PATH_MAX] = {};
    if (context->prompt != nullptr) {
        action = context->prompt(pending.name, argument);
        if (action == kPromptStop) {
            context->result = QL_RES_STOPPED;
            return false;
        }
    } else if (context->actionArg != nullptr) {
        ql::copyBounded(argument, context->actionArg);
    }
    int outcome = QL_EV_NO_ACTION;
    if (action != QL_ACT_NONE) {
        // A rename extension with '/' (also one typed at the prompt) is refused here.
        outcome =
            ql::applyInfectedAction(pending.name, identityOf(pending.entry), action, argument);
        countOutcome(context->report, outcome);
    }
    int32_t kind = pending.container != 0 ? QL_OBJ_ARCHIVE : QL_OBJ_FILE;
    // A failed action says why, as the other engine's does.
    const char *why =
        (static_cast<uint32_t>(outcome) & kActionFailed) != 0 ? QL_GetErrorText() : nullptr;
    return !stopped(context,
                    report(context, pending.name, kind, outcome, pending.infectionName, why));
}

bool settle(BDScanContext *context) {
    if (context->pending.container != 0 && !settleContainer(context)) {
        return false;
    }
    return settleAction(context);
}

// A new top-level object: settle the one before it and start from an empty verdict, so that
// nothing of an earlier object (such as a finding left to the core) is ever acted on under the
// new object's name. The pending object named again (the core's report of what it did with a
// finding) is no new object. False on a stop.
bool beginTopLevel(BDScanContext *context, const char *name, bool directory) {
    const char *pendingName = context->pending.name;
    if (!directory && pendingName != nullptr && name != nullptr &&
        std::strcmp(pendingName, name) == 0) {
        return true;
    }
    bool go = true;
    if (context->pending.name != nullptr && context->hasPending != 0) {
        go = settle(context);
    }
    QL_BDClearPending(&context->pending);
    context->hasPending = 0;
    if (!directory) {
        replaceCopy(&context->pending.name, name);
        bool scannedBefore = context->filePath != nullptr && name != nullptr &&
                             std::strcmp(name, context->filePath) == 0;
        context->pending.entry =
            scannedBefore ? context->fileEntry : entryOf(ql::identifyScanned(name));
    }
    return go;
}

void markEncrypted(BDScanContext *context, const char *name, bool inner) {
    context->result |= QL_RES_ENCRYPTED;
    context->hasPending = 1;
    if (inner) {
        if (context->pending.encrypted == 0) {
            ++context->report->encryptedObjects;
            context->pending.encrypted = 1;
        }
        return;
    }
    QL_Log(context->logger, QL_LOG_INFO, "Object (%s) Encrypted\n", name);
    ++context->report->encryptedObjects;
}

void markCorrupted(BDScanContext *context, bool inner) {
    context->result |= QL_RES_CORRUPTED;
    context->hasPending = 1;
    if (inner) {
        if (context->pending.corrupted == 0) {
            ++context->report->corruptedObjects;
            context->pending.corrupted = 1;
        }
        return;
    }
    ++context->report->corruptedObjects;
}

bool isFinding(uint32_t event, uint32_t status) {
    bool failedBoth =
        (status & CORE_STATUS_DISINFECT_FAILED) != 0 && (status & CORE_STATUS_FAILED) != 0;
    return (status & (CORE_STATUS_INFECTED | CORE_STATUS_SUSPICIOUS)) != 0 &&
           (event & CORE_EVENT_FINDING) != 0 && (status & CORE_STATUS_DISINFECTED) == 0 &&
           !failedBoth;
}

// An infected or suspicious finding: reported at once, acted on when its object is settled.
int onFinding(BDScanContext *context, const CoreEventInfo *info) {
    bool infected = (info->status & CORE_STATUS_INFECTED) != 0;
    int answer = report(context, info->objectName, QL_OBJ_FILE,
                        infected ? QL_EV_INFECTED : QL_EV_SUSPICIOUS, info->infectionName);
    PendingObject &pending = context->pending;
    pending.state = infected ? 1 : 2;
    ++(infected ? pending.infectedCount : pending.suspiciousCount);
    replaceCopy(&pending.infectionName, info->infectionName);
    if (stopped(context, answer)) {
        return CORE_ANSWER_STOP;
    }
    if (context->letCoreAct != 0) {
        pending.leftToCore = 1;
        context->hasPending = 1;  // settled like any finding, once the core is done with it
        return CORE_ANSWER_ACT;
    }
    context->result |= infected ? QL_RES_INFECTED : QL_RES_SUSPICIOUS;
    context->hasPending = 1;
    return CORE_ANSWER_GO_ON;
}

int onDisinfected(BDScanContext *context, const CoreEventInfo *info) {
    context->result |= QL_RES_DISINFECTED;
    PendingObject &pending = context->pending;
    if (pending.state == 1 && pending.infectedCount > 0) {
        --pending.infectedCount;
    } else if (pending.state == 2 && pending.suspiciousCount > 0) {
        --pending.suspiciousCount;
    }
    if (pending.infectedCount == 0 && pending.suspiciousCount == 0) {
        pending.state = 0;
    }
    context->hasPending = 1;
    return report(context, info->objectName, QL_OBJ_FILE, QL_EV_DISINFECTED, info->infectionName);
}

int onDisinfectFailed(BDScanContext *context, const CoreEventInfo *info) {
    if ((info->status & CORE_STATUS_INFECTED) != 0) {
        context->result |= QL_RES_INFECTED;
    } else if ((info->status & CORE_STATUS_SUSPICIOUS) != 0) {
        context->result |= QL_RES_SUSPICIOUS;
    }
    context->pending.coreFailed = 1;
    context->hasPending = 1;
    return report(context, info->objectName, QL_OBJ_FILE, QL_EV_DISINFECT_FAILED,
                  info->infectionName);
}

// An object the core could not scan (it may give the reason as the infection name) is an
// error of the scan, never a silent gap in it.
int onNotScanned(BDScanContext *context, const CoreEventInfo *info, bool directory) {
    const char *reason = info->infectionName != nullptr ? info->infectionName : kNotScanned;
    if (ql::reportNotScanned(context->report, textOf(info->objectName),
                             directory ? QL_OBJ_DIRECTORY : QL_OBJ_FILE,
                             reason) == QL_RES_STOPPED) {
        context->result = QL_RES_STOPPED;
        return CORE_ANSWER_STOP;
    }
    context->result |= QL_RES_ERROR;
    return CORE_ANSWER_GO_ON;
}

// Bring the running counters up to the core's, so that onEvent sees them grow during the scan.
int refreshCounters(BDScanContext *context) {
    if (!hasCore(context->instance)) {
        return CORE_ANSWER_GO_ON;
    }
    auto get = ql::bd::coreEntry<CoreGetFn>(context->instance->handle->coreLibrary, "CoreGet");
    if (get == nullptr) {
        QL_Log(context->logger, QL_LOG_ERROR, "%s [%d]%s\n", "ScanCallback", __LINE__,
               QL_GetErrorText());
        return CORE_ANSWER_ERROR;
    }
    void *core = context->instance->coreInstance;
    uint32_t value = 0;
    ScanReport *counters = context->report;
    if (get(core, CORE_ITEM_DIRS, &value) == 0) {
        counters->dirsScanned = context->baseDirs + value;
    }
    if (get(core, CORE_ITEM_OBJECTS, &value) == 0) {
        counters->objectsScanned = context->baseObjects + value;
    }
    if (get(core, CORE_ITEM_INFECTED, &value) == 0) {
        counters->infectedObjects = context->baseInfected + value;
    }
    return CORE_ANSWER_GO_ON;
}

// The reason is already the calling thread's error text.
int failScan(const BDInstance *instance, int line) {
    QL_Log(loggerOf(instance), QL_LOG_ERROR, "%s [%d]%s\n", "QL_BDScan", line, QL_GetErrorText());
    return -1;
}

void addCoreCounters(const BDScanContext &context, const uint32_t *counters) {
    ScanReport *target = context.report;
    target->dirsScanned = context.baseDirs + counters[CORE_COUNTER_DIRS];
    target->objectsScanned = context.baseObjects + counters[CORE_COUNTER_OBJECTS];
    target->infectedObjects = context.baseInfected + counters[CORE_COUNTER_INFECTED];
    target->suspiciousObjects += counters[CORE_COUNTER_SUSPICIOUS];
    target->disinfectedObjects += counters[CORE_COUNTER_DISINFECTED];
    target->infections += counters[CORE_COUNTER_INFECTIONS];
    target->deletedObjects += counters[CORE_COUNTER_DELETED];
    target->quarantinedObjects += counters[CORE_COUNTER_QUARANTINED];
    target->renamedObjects += counters[CORE_COUNTER_RENAMED];
}

}  // namespace

extern "C" void QL_BDClearPending(PendingObject *pending) {
    if (pending == nullptr) {
        return;
    }
    std::free(pending->name);
    std::free(pending->infectionName);
    *pending = PendingObject{};
}

extern "C" int QL_BDReportPending(BDScanContext *context) {
    if (context == nullptr) {
        return -1;
    }
    if (context->pending.name != nullptr && !settle(context)) {
        return QL_RES_STOPPED;
    }
    return static_cast<int>(context->result);
}

extern "C" int ScanCallback(uint32_t event, CoreEventInfo *info) {
    if (info == nullptr || info->context == nullptr) {
        return CORE_ANSWER_GO_ON;
    }
    auto *context = static_cast<BDScanContext *>(info->context);
    uint32_t flags = info->objectFlags;
    uint32_t status = info->status;
    if ((flags & CORE_FLAG_SKIPPED) != 0 || (status & CORE_STATUS_IGNORED) != 0) {
        return CORE_ANSWER_GO_ON;
    }
    bool inner = (flags & CORE_FLAG_INNER) != 0;
    bool directory =
        info->objectType == CORE_OBJECT_DIRECTORY || (flags & CORE_FLAG_DIRECTORY) != 0;
    if (!inner && !beginTopLevel(context, info->objectName, directory)) {
        return CORE_ANSWER_STOP;
    }
    if ((status & CORE_STATUS_NOT_SCANNED) != 0 && (status & CORE_STATUS_FAILED) != 0) {
        return onNotScanned(context, info, directory);
    }
    if (directory) {
        int answer = report(context, info->objectName, QL_OBJ_DIRECTORY, QL_EV_CLEAN, nullptr);
        return stopped(context, answer) ? CORE_ANSWER_STOP : CORE_ANSWER_GO_ON;
    }
    if (inner && context->pending.name != nullptr && context->pending.container == 0) {
        context->pending.container = 1;
        context->hasPending = 1;
    }
    int answer = 0;
    if ((flags & (CORE_FLAG_ENCRYPTED | CORE_FLAG_ENCRYPTED_ALT)) != 0) {
        markEncrypted(context, info->objectName, inner);
        if (!inner) {
            answer = report(context, info->objectName, QL_OBJ_FILE, QL_EV_ENCRYPTED, nullptr);
        }
    } else if ((flags & CORE_FLAG_CORRUPTED) != 0) {
        markCorrupted(context, inner);
        if (!inner) {
            answer = report(context, info->objectName, QL_OBJ_FILE, QL_EV_CORRUPTED, nullptr);
        }
    } else if ((status & CORE_STATUS_CLEAN) != 0) {
        ++context->report->cleanObjects;
        QL_Log(context->logger, QL_LOG_INFO, "Object (%s) Clean\n", info->objectName);
        answer = report(context, info->objectName, QL_OBJ_FILE, QL_EV_CLEAN, nullptr);
    } else if (isFinding(event, status)) {
        int verdict = onFinding(context, info);
        if (verdict != CORE_ANSWER_GO_ON) {
            return verdict;
        }
    } else if ((status & CORE_STATUS_DISINFECTED) != 0) {
        answer = onDisinfected(context, info);
    } else if ((status & (CORE_STATUS_DISINFECT_FAILED | CORE_STATUS_FAILED)) != 0) {
        answer = onDisinfectFailed(context, info);
    }
    if (stopped(context, answer)) {
        return CORE_ANSWER_STOP;
    }
    return refreshCounters(context);
}

extern "C" int QL_BDScan(BDInstance *instance, const char *path, int objectType, uint32_t scanOpts,
                         int32_t actOpts, const char *actionArg, ScanReport *report,
                         QL_PromptFn prompt) {
    if (!hasCore(instance) || path == nullptr || report == nullptr) {
        return ql::failLogged(loggerOf(instance), "QL_BDScan", __LINE__, EINVAL);
    }
    BDScanContext context{};
    // Whatever way the scan ends, the pending object's heap copies are freed.
    ql::ScopeGuard clearPending([&context] { QL_BDClearPending(&context.pending); });
    context.letCoreAct = scanOpts & 0x2;
    context.action = static_cast<uint32_t>(actOpts);
    context.actionArg = actionArg;
    context.prompt = actOpts == QL_ACT_PROMPT ? prompt : nullptr;
    context.onEvent = report->events.onEvent;
    context.userData = report->events.userData;
    context.report = report;
    context.logger = loggerOf(instance);
    context.instance = instance;
    context.baseDirs = report->dirsScanned;
    context.baseObjects = report->objectsScanned;
    context.baseInfected = report->infectedObjects;
    if (objectType == CORE_OBJECT_FILE) {
        context.filePath = path;
        context.fileEntry = entryOf(ql::identifyScanned(path));
    }

    QL_Log(context.logger, QL_LOG_INFO, "Object to scan %s\n", path);
    void *library = instance->handle->coreLibrary;
    auto set = ql::bd::coreEntry<CoreSetFn>(library, "CoreSet");
    auto get = set != nullptr ? ql::bd::coreEntry<CoreGetFn>(library, "CoreGet") : nullptr;
    if (set == nullptr || get == nullptr) {
        return failScan(instance, __LINE__);
    }
    void *core = instance->coreInstance;
    if (set(core, CORE_OPT_CALLBACK, ScanCallback) != 0 ||
        set(core, CORE_OPT_CONTEXT, static_cast<void *>(&context)) != 0 ||
        set(core, CORE_OPT_RESET) != 0 || set(core, CORE_OPT_SCAN, objectType, path) != 0) {
        QL_SetErrorText(kScanFailed);
        return failScan(instance, __LINE__);
    }
    if (context.result == QL_RES_STOPPED || QL_BDReportPending(&context) == QL_RES_STOPPED) {
        QL_Log(context.logger, QL_LOG_INFO, "Scan Cacelled (%s)\n", path);
        return QL_RES_STOPPED;
    }
    const uint32_t *counters = nullptr;
    if (get(core, CORE_ITEM_COUNTERS, static_cast<void *>(&counters)) != 0 || counters == nullptr) {
        QL_SetErrorText(kScanFailed);
        return failScan(instance, __LINE__);
    }
    addCoreCounters(context, counters);
    QL_Log(context.logger, QL_LOG_INFO, "Scan Result (%s) = %d\n", path,
           static_cast<int>(context.result));
    return static_cast<int>(context.result);
}

extern "C" int QL_BDScanner(BDInstance *instance, ObjectRequest *request, ScanReport *report,
                            const char *actionArg) {
    QLLogger *logger = loggerOf(instance);
    if (instance == nullptr || request == nullptr || request->path == nullptr ||
        request->path[0] != '/' || report == nullptr) {
        return ql::failLogged(logger, "QL_BDScanner", __LINE__, EINVAL);
    }
    struct stat target {};
    struct stat entry {};
    if (stat(request->path, &target) != 0 || lstat(request->path, &entry) != 0) {
        return ql::failLogged(logger, "QL_BDScanner", __LINE__, errno);
    }
    char resolved[QL_PATH_MAX] = {};
    const char *path = request->path;
    if (S_ISLNK(entry.st_mode)) {
        if ((request->scanOpts & QL_OPT_LINK) == 0) {
            QL_Log(logger, QL_LOG_INFO, "%s is link but link not to scan\n", path);
            return 0;
        }
        if (QL_ResolveSymlink(path, resolved) < 0) {
            QL_Log(logger, QL_LOG_ERROR, "%s [%d]Error Resolving symlink (%s)\n", "QL_BDScanner",
                   __LINE__, path);
            return -1;
        }
        path = resolved;
    }
    int type = 0;
    if (S_ISREG(target.st_mode)) {
        type = CORE_OBJECT_FILE;
    } else if (S_ISDIR(target.st_mode)) {
        type = CORE_OBJECT_DIRECTORY;
    } else {
        return 0;
    }
    return QL_BDScan(instance, path, type, request->scanOpts, request->actOpts, actionArg, report,
                     request->prompt);
}
