#include "common/dir_fd.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace ql {

namespace {

constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// ENOSYS where the kernel (or an emulator, or a filter) does not offer openat2.
int openWithResolveFlags(const char *path, UniqueFd &out) {
#ifdef SYS_openat2
    open_how how{};
    how.flags = kDirectoryFlags;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd = ::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
    if (fd >= 0) {
        out.reset(static_cast<int>(fd));
        return 0;
    }
    return errno;
#else
    (void)path;
    (void)out;
    return ENOSYS;
#endif
}

bool isUnavailable(int error) {
    return error == ENOSYS || error == EPERM || error == EINVAL || error == E2BIG;
}

int openComponentByComponent(const char *path, UniqueFd &out) {
    UniqueFd dir(::open(path[0] == '/' ? "/" : ".", kDirectoryFlags));
    if (!dir) {
        return errno;
    }
    std::string_view rest(path);
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string component(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (component.empty() || component == ".") {
            continue;
        }
        UniqueFd next(::openat(dir.get(), component.c_str(), kDirectoryFlags | O_NOFOLLOW));
        if (!next) {
            int error = errno;
            struct stat st {};
            if ((error == ENOTDIR || error == ELOOP) &&
                ::fstatat(dir.get(), component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode)) {
                return ELOOP;
            }
            return error;
        }
        dir = std::move(next);
    }
    out = std::move(dir);
    return 0;
}

}  // namespace

int openDirectoryNoLinks(const char *path, UniqueFd &out) {
    if (path == nullptr || path[0] == '\0') {
        return EINVAL;
    }
    int error = openWithResolveFlags(path, out);
    return isUnavailable(error) ? openComponentByComponent(path, out) : error;
}

int openParentNoLinks(const char *path, ParentDir &out) {
    if (path == nullptr) {
        return EINVAL;
    }
    std::string_view whole(path);
    std::size_t slash = whole.rfind('/');
    std::string_view name = slash == std::string_view::npos ? whole : whole.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        return EINVAL;
    }
    std::string dir = slash == std::string_view::npos ? std::string(".")
                      : slash == 0                    ? std::string("/")
                                                      : std::string(whole.substr(0, slash));
    out.name.assign(name);
    return openDirectoryNoLinks(dir.c_str(), out.fd);
}

int identityAt(int dir, const char *name, FileIdentity &out) {
    struct stat st {};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    out.device = st.st_dev;
    out.inode = st.st_ino;
    out.known = true;
    return 0;
}

int identifyNoLinks(const char *path, FileIdentity &out) {
    out = FileIdentity{};
    ParentDir parent;
    if (int error = openParentNoLinks(path, parent); error != 0) {
        return error;
    }
    return identityAt(parent.fd.get(), parent.name.c_str(), out);
}

}  // namespace ql
