#include "daemon/daemon_state.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "common/iface_utils.h"

namespace ql::daemon {

namespace {

// The lock makes a reopen wait for the line being written, so that no line is split between the
// rotated file and the new one; each line is still one stream call and one flush.
std::mutex logMutex;
std::FILE *logStream = nullptr;  // guarded by logMutex

std::FILE *openLogFile() {
    char path[QL_PATH_MAX];
    if (ql::rootedPath(kDaemonLogFile, path) < 0) {
        errno = EINVAL;
        return nullptr;
    }
    return std::fopen(path, "a+e");
}

void writeLine(std::FILE *stream, const char *format, va_list args) QL_PRINTF(2, 0);
void writeLine(std::FILE *stream, const char *format, va_list args) {
    std::vfprintf(stream, format, args);
    std::fflush(stream);
}

void writeLine(std::FILE *stream, const char *format, ...) QL_PRINTF(2, 3);
void writeLine(std::FILE *stream, const char *format, ...) {
    va_list args;
    va_start(args, format);
    writeLine(stream, format, args);
    va_end(args);
}

}  // namespace

std::atomic<int> stopFlag{0};
std::atomic<bool> logReopenFlag{false};

bool openDaemonLog() {
    std::lock_guard lock(logMutex);
    if (logStream == nullptr) {
        logStream = openLogFile();
    }
    return logStream != nullptr;
}

void closeDaemonLog() {
    std::lock_guard lock(logMutex);
    if (logStream != nullptr) {
        std::fclose(logStream);
        logStream = nullptr;
    }
}

void reopenDaemonLog() {
    std::FILE *fresh = openLogFile();
    int error = errno;
    std::lock_guard lock(logMutex);
    if (fresh == nullptr) {
        if (logStream != nullptr) {
            QL_SetError(error);
            writeLine(logStream, "LogErr(reopen): %s\n", QL_GetErrorText());
        }
        return;
    }
    if (logStream != nullptr) {
        std::fclose(logStream);
    }
    logStream = fresh;
}

void daemonLog(const char *format, ...) {
    std::lock_guard lock(logMutex);
    if (logStream == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    writeLine(logStream, format, args);
    va_end(args);
}

}  // namespace ql::daemon
