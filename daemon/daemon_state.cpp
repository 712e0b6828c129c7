#include "daemon/daemon_state.h"

#include <cstdarg>
#include <cstdio>

#include "common/iface_utils.h"

namespace ql::daemon {

namespace {

constexpr const char *kLogFile = "/var/Quellar/var/log/interface.log";

// Written only by the entry while no worker runs, so the workers read it without a lock.
std::FILE *logStream = nullptr;

}  // namespace

std::atomic<int> stopFlag{0};

bool openDaemonLog() {
    if (logStream != nullptr) {
        return true;
    }
    char path[QL_PATH_MAX];
    if (ql::rootedPath(kLogFile, path) < 0) {
        return false;
    }
    logStream = std::fopen(path, "a+e");
    return logStream != nullptr;
}

void closeDaemonLog() {
    if (logStream != nullptr) {
        std::fclose(logStream);
        logStream = nullptr;
    }
}

void daemonLog(const char *format, ...) {
    if (logStream == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(logStream, format, args);
    va_end(args);
    std::fflush(logStream);
}

}  // namespace ql::daemon
