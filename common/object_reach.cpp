#include "common/object_reach.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/iface_utils.h"
#include "common/unique_fd.h"

namespace ql {

void descriptorAlias(int fd, char (&out)[kAliasSize]) {
    // /proc/self would name the engine daemon's own descriptors once it opens the name.
    formatBounded(out, sizeof out, "/proc/%ld/fd/%d", static_cast<long>(getpid()), fd);
}

void processObjectPath(const char *link, char (&out)[QL_PATH_MAX]) {
    copyBounded(out, link);
    struct stat viaLink {};
    struct stat atPath {};
    char resolved[QL_PATH_MAX];
    if (stat(link, &viaLink) != 0 || QL_ResolveSymlink(link, resolved) < 0 ||
        stat(resolved, &atPath) != 0 || atPath.st_dev != viaLink.st_dev ||
        atPath.st_ino != viaLink.st_ino || access(resolved, R_OK) != 0) {
        return;
    }
    copyBounded(out, resolved);
}

int entryNamesAt(int dirfd, std::vector<std::string> &names) {
    // A duplicate gives the stream a descriptor of its own to close; it shares the position,
    // hence the rewind.
    UniqueFd copy(fcntl(dirfd, F_DUPFD_CLOEXEC, 0));
    UniqueDir dir(copy ? fdopendir(copy.get()) : nullptr);
    if (!dir) {
        return setErrnoError();
    }
    (void)copy.release();
    rewinddir(dir.get());
    while (const dirent *entry = readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    return 0;
}

std::string entryPath(const std::string &dir, const char *name) {
    return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

const char *systemErrorText(int code) {
    QL_SetError(code);
    return QL_GetErrorText();
}

int reportNotScanned(ScanReport *report, const char *name, int32_t kind, const char *reason) {
    QL_Log(nullptr, QL_LOG_RESULT, "%s: ERROR [%s]\n", name, reason);
    ++report->scanErrors;
    const EventCallback &events = report->events;
    if (events.onEvent != nullptr &&
        events.onEvent(name, kind, QL_EV_FAILED, nullptr, reason, events.userData) == QL_CB_STOP) {
        return QL_RES_STOPPED;
    }
    return QL_RES_ERROR;
}

}  // namespace ql
