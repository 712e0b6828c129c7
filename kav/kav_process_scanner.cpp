#include "kav/kav_process_scanner.h"

#include <cerrno>
#include <cstdlib>

#include "common/iface_utils.h"
#include "common/object_reach.h"
#include "common/proc_walk.h"
#include "kav/kav_daemon_iface.h"
#include "kav/kav_daemon_pool.h"
#include "kav/kav_reply.h"
#include "kav/kav_scanner.h"

namespace ql::kav {

namespace {

// What one walk keeps from its start to its end.
struct Walk {
    Channel &channel;
    uint32_t *infectedPid;
    EventCallback events;
    int result = QL_RES_CLEAN;
    bool stopped = false;
    char infection[QL_NAME_MAX] = "";
    char errorText[QL_PATH_MAX] = "";

    // Send an event of the walk; a stop answer ends it.
    void notify(const char *pidText, int kind, int event, const char *infectionName,
                const char *message) {
        if (sendEvent(&events, pidText, kind, event, infectionName, message) == QL_CB_STOP) {
            stop();
        }
    }

    void stop() {
        result = QL_RES_STOPPED;
        stopped = true;
    }

    // The walk seen as the reply target of one object of process pidText.
    [[nodiscard]] ReplyTarget target(const char *pidText) {
        ReplyTarget out;
        out.reader = Reader::kProcess;
        out.name = pidText;
        out.events = &events;
        out.errorText = &errorText;
        out.infection = &infection;
        return out;
    }
};

// Scan one object of a process and report its outcome. Returns the reply's final code, or -1
// when the command could not be sent or no complete reply came.
int scanObjectOf(Walk &walk, const char *pidText, int kind, const char *path) {
    // A name from an earlier reply must never be reported for this object, nor an error text.
    walk.infection[0] = '\0';
    walk.errorText[0] = '\0';
    char command[kCommandSize];
    ReplyOutcome reply;
    int sent = -1;
    if (scanCommand(QL_KAV_PROCESS_OPTIONS, path, command)) {
        sent = walk.channel.converse(command, QL_KAVMemoryScanMessage, walk.errorText,
                                     walk.infection, reply);
    }
    if (sent < 0 || !reply.complete) {
        if (sent == 0) {
            QL_SetError(QLE_AV_CONNECT);
        }
        walk.notify(pidText, kind, QL_RES_ERROR, nullptr, QL_GetErrorText());
        return -1;
    }
    bool finding = isFinding(reply.code);
    if (finding) {
        *walk.infectedPid = static_cast<uint32_t>(std::strtoul(pidText, nullptr, 10));
    }
    ReplyEnd end = finishReply(reply.code, walk.target(pidText), kind);
    if (finding) {
        walk.result = end.result;
    }
    if (end.stopped) {
        walk.stop();
    }
    return reply.code;
}

// Scan the regular files process pidText holds open (files walks its descriptors). Returns the
// last reply code, or fallbackCode when no file was scanned.
int scanOpenFiles(Walk &walk, const char *pidText, OpenFileWalk &files, int fallbackCode) {
    int lastCode = fallbackCode;
    for (const char *link = nullptr; !walk.stopped && (link = files.next()) != nullptr;) {
        // The descriptor's link itself goes to the engine: it reaches the file even when its
        // name has changed since it was opened, or leads elsewhere here.
        lastCode = scanObjectOf(walk, pidText, QL_OBJ_PROCESS_FILE, link);
    }
    return lastCode;
}

// Scan one process; false when the walk ends with it.
bool scanProcess(Walk &walk, const char *pidText, uint8_t withOpenFiles) {
    char link[QL_PATH_MAX];
    char executable[QL_PATH_MAX];
    if (!processExecutable(pidText, link, executable)) {
        return true;
    }
    // A path that cannot go on a command line is reached through the link.
    int code =
        scanObjectOf(walk, pidText, QL_OBJ_PROCESS, isLineSafe(executable) ? executable : link);
    if (walk.stopped) {
        return false;
    }
    // Without an answer for the executable (reported already) the process is left at that.
    if (code < 0 || isEngineError(code) || withOpenFiles == 0) {
        return true;
    }
    OpenFileWalk files;
    if (!files.open(pidText)) {
        walk.notify(pidText, QL_OBJ_PROCESS_FILE, QL_RES_ERROR, nullptr, systemErrorText(errno));
        return !walk.stopped;
    }
    int lastCode = scanOpenFiles(walk, pidText, files, code);
    if (walk.stopped || isFinding(lastCode)) {
        return false;
    }
    walk.notify(pidText, QL_OBJ_PROCESS_FILE, walk.result, nullptr, nullptr);
    return !walk.stopped;
}

}  // namespace

int scanProcesses(Channel &channel, uint32_t *infectedPid, uint8_t scanOpenFiles,
                  QL_EventFn onEvent, void *userData) {
    if (infectedPid == nullptr) {
        return QL_SetError(EINVAL);
    }
    ProcessWalk processes;
    if (!processes.open()) {
        return -1;
    }
    *infectedPid = 0;
    Walk walk{channel, infectedPid, EventCallback{onEvent, userData}};
    (void)sendEvent(&walk.events, nullptr, QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_START, nullptr,
                    nullptr);
    for (const char *pidText = processes.next(); pidText != nullptr; pidText = processes.next()) {
        if (!scanProcess(walk, pidText, scanOpenFiles)) {
            break;
        }
    }
    processes.close();
    (void)sendEvent(&walk.events, nullptr, QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_END, nullptr,
                    nullptr);
    return walk.result;
}

}  // namespace ql::kav

extern "C" {

int QL_KAVScanProcesses(int connection, uint32_t *infectedPid, uint8_t scanOpenFiles,
                        QL_EventFn onEvent, void *userData) {
    if (connection < 0) {
        return QL_SetError(EINVAL);
    }
    ql::kav::FdChannel channel(connection);
    return ql::kav::scanProcesses(channel, infectedPid, scanOpenFiles, onEvent, userData);
}

int QL_KAVMemoryScanMessage(char *line, void *context1, void *context2) {
    ql::kav::ReplyTarget target;
    target.reader = ql::kav::Reader::kProcess;
    target.errorText = static_cast<char(*)[QL_PATH_MAX]>(context1);
    target.infection = static_cast<char(*)[QL_NAME_MAX]>(context2);
    return ql::kav::dispatchReplyLine(line, &target);
}

}  // extern "C"
