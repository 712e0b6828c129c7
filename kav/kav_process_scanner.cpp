#include "kav/kav_process_scanner.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/iface_utils.h"
#include "common/object_reach.h"
#include "common/unique_fd.h"
#include "kav/kav_daemon_iface.h"
#include "kav/kav_daemon_pool.h"
#include "kav/kav_scanner.h"

namespace ql::kav {

namespace {

constexpr std::size_t kCommandSize = 2048;
// A /proc entry name longer than this is no process id.
constexpr std::size_t kPidTextMax = 14;

bool isFinding(int code) {
    return code >= 230 && code <= 232;
}

bool isEngineError(int code) {
    return code >= 400 && code <= 599;
}

bool isPidText(const char *name) {
    std::size_t length = std::strlen(name);
    return length > 0 && length <= kPidTextMax && std::strspn(name, "0123456789") == length;
}

// What one walk keeps from its start to its end.
struct Walk {
    Channel &channel;
    uint32_t *infectedPid;
    QL_EventFn onEvent;
    void *userData;
    int result = QL_RES_CLEAN;
    bool stopped = false;
    char infection[QL_NAME_MAX] = "";
    char errorText[QL_PATH_MAX] = "";

    // Send an event of the walk; a stop answer ends it.
    void notify(const char *pidText, int kind, int event, const char *infectionName,
                const char *message) {
        if (onEvent != nullptr &&
            onEvent(pidText, kind, event, infectionName, message, userData) == QL_CB_STOP) {
            result = QL_RES_STOPPED;
            stopped = true;
        }
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
    if (!isLineSafe(path) ||
        !formatBounded(command, sizeof command, "SCAN %s %s\r\n", QL_KAV_PROCESS_OPTIONS, path)) {
        QL_SetError(EINVAL);
    } else {
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
    if (isFinding(reply.code)) {
        *walk.infectedPid = static_cast<uint32_t>(std::strtoul(pidText, nullptr, 10));
        walk.result = reply.code == 232 ? QL_RES_SUSPICIOUS : QL_RES_INFECTED;
        walk.notify(pidText, kind, walk.result, walk.infection, nullptr);
    } else if (isEngineError(reply.code)) {
        walk.notify(pidText, kind, QL_RES_ERROR, nullptr, walk.errorText);
    }
    return reply.code;
}

// Scan the regular files in the descriptor directory fdDir (open as dir) of process pidText.
// Returns the last reply code, or fallbackCode when no file was scanned.
int scanOpenFiles(Walk &walk, const char *pidText, DIR *dir, const char *fdDir, int fallbackCode) {
    int lastCode = fallbackCode;
    for (dirent *entry = readdir(dir); entry != nullptr && !walk.stopped; entry = readdir(dir)) {
        char path[QL_PATH_MAX];
        struct stat st {};
        if (!formatBounded(path, sizeof path, "%s/%s", fdDir, entry->d_name) ||
            stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        // The descriptor's link itself goes to the engine: it reaches the file even when its
        // name has changed since it was opened, or leads elsewhere here.
        lastCode = scanObjectOf(walk, pidText, QL_OBJ_PROCESS_FILE, path);
    }
    return lastCode;
}

// Scan one process; false when the walk ends with it.
bool scanProcess(Walk &walk, const char *pidText, uint8_t withOpenFiles) {
    char link[QL_PATH_MAX];
    formatBounded(link, sizeof link, "/proc/%s/exe", pidText);
    if (access(link, R_OK) != 0) {
        return true;  // not ours to read, or gone meanwhile
    }
    char executable[QL_PATH_MAX];
    processObjectPath(link, executable);
    if (!isLineSafe(executable)) {
        copyBounded(executable, link);
    }
    int code = scanObjectOf(walk, pidText, QL_OBJ_PROCESS, executable);
    if (walk.stopped) {
        return false;
    }
    // Without an answer for the executable (reported already) the process is left at that.
    if (code < 0 || isEngineError(code) || withOpenFiles == 0) {
        return true;
    }
    char fdDir[QL_PATH_MAX];
    formatBounded(fdDir, sizeof fdDir, "/proc/%s/fd", pidText);
    UniqueDir dir(opendir(fdDir));
    if (!dir) {
        walk.notify(pidText, QL_OBJ_PROCESS_FILE, QL_RES_ERROR, nullptr, systemErrorText(errno));
        return !walk.stopped;
    }
    int lastCode = scanOpenFiles(walk, pidText, dir.get(), fdDir, code);
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
    UniqueDir proc(opendir("/proc"));
    if (!proc) {
        return setErrnoError();
    }
    *infectedPid = 0;
    Walk walk{channel, infectedPid, onEvent, userData};
    if (onEvent != nullptr) {
        (void)onEvent(nullptr, QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_START, nullptr, nullptr,
                      userData);
    }
    char self[kPidTextMax + 1];
    formatBounded(self, sizeof self, "%ld", static_cast<long>(getpid()));
    for (dirent *entry = readdir(proc.get()); entry != nullptr; entry = readdir(proc.get())) {
        if (!isPidText(entry->d_name) || std::strcmp(entry->d_name, self) == 0) {
            continue;
        }
        if (!scanProcess(walk, entry->d_name, scanOpenFiles)) {
            break;
        }
    }
    proc.reset();
    if (onEvent != nullptr) {
        (void)onEvent(nullptr, QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_END, nullptr, nullptr, userData);
    }
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
    if (line == nullptr || std::strlen(line) < 4) {
        return QL_SetError(QLE_INVALID_AV_MESSAGE);
    }
    int code = ql::kav::leadingNumber(line);
    if (code == 322 && context2 != nullptr) {
        auto &name = *static_cast<char(*)[QL_NAME_MAX]>(context2);
        std::string_view text(line);
        std::size_t dash = text.find('-');
        std::string_view infection;
        if (dash != std::string_view::npos) {
            infection = text.substr(dash + 1);
            infection = infection.substr(0, infection.find_first_of(" \t\r\n"));
        }
        ql::copyBounded(name, infection);
    } else if (ql::kav::isEngineError(code) && context1 != nullptr) {
        ql::kav::errorTextOf(line, *static_cast<char(*)[QL_PATH_MAX]>(context1));
    }
    return code;
}

}  // extern "C"
