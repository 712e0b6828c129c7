#include "common/proc_walk.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/iface_utils.h"
#include "common/object_reach.h"

namespace ql {

namespace {

bool isPidText(const char *name) {
    std::size_t length = std::strlen(name);
    return length > 0 && length <= kPidTextMax && std::strspn(name, "0123456789") == length;
}

}  // namespace

bool ProcessWalk::open() {
    dir_.reset(opendir("/proc"));
    if (!dir_) {
        setErrnoError();
        return false;
    }
    formatBounded(self_, sizeof self_, "%ld", static_cast<long>(getpid()));
    return true;
}

const char *ProcessWalk::next() {
    if (!dir_) {
        return nullptr;
    }
    for (dirent *entry = readdir(dir_.get()); entry != nullptr; entry = readdir(dir_.get())) {
        if (isPidText(entry->d_name) && std::strcmp(entry->d_name, self_) != 0) {
            return entry->d_name;
        }
    }
    return nullptr;
}

bool processExecutable(const char *pidText, char (&link)[QL_PATH_MAX], char (&path)[QL_PATH_MAX]) {
    formatBounded(link, sizeof link, "/proc/%s/exe", pidText);
    if (access(link, R_OK) != 0) {
        return false;
    }
    processObjectPath(link, path);
    return true;
}

bool OpenFileWalk::open(const char *pidText) {
    formatBounded(dirPath_, sizeof dirPath_, "/proc/%s/fd", pidText);
    dir_.reset(opendir(dirPath_));
    return static_cast<bool>(dir_);
}

const char *OpenFileWalk::next() {
    if (!dir_) {
        return nullptr;
    }
    for (dirent *entry = readdir(dir_.get()); entry != nullptr; entry = readdir(dir_.get())) {
        struct stat st {};
        if (formatBounded(link_, sizeof link_, "%s/%s", dirPath_, entry->d_name) &&
            stat(link_, &st) == 0 && S_ISREG(st.st_mode)) {
            fdName_ = entry->d_name;
            return link_;
        }
    }
    return nullptr;
}

}  // namespace ql
