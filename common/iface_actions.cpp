#include "common/iface_actions.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "common/iface_utils.h"
#include "common/unique_fd.h"

namespace {

constexpr int kQuarantineNumbers = 1024;
constexpr std::size_t kNameMax = 255;
constexpr int kTempNameTries = 32;
constexpr std::size_t kCopyChunk = 64 * 1024;

// The internal steps return 0 or an errno value, so that clean-up on the way out cannot
// overwrite the reason before it becomes the last error.
enum class Replace { kAllowed, kRefused };

bool exists(const char *path) {
    struct stat st;
    return ::lstat(path, &st) == 0;
}

int renameInto(const char *from, const char *to, Replace replace) {
    if (replace == Replace::kAllowed) {
        return ::rename(from, to) == 0 ? 0 : errno;
    }
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL) {
        return errno;
    }
    // A file system without RENAME_NOREPLACE: look, then rename.
    if (exists(to)) {
        return EEXIST;
    }
    return ::rename(from, to) == 0 ? 0 : errno;
}

std::string directoryOf(std::string_view path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return ".";
    }
    return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

// A fresh name beside the target, created 0600 and never through a link at that name.
int createTemp(const std::string &dir, std::string &name, ql::UniqueFd &fd) {
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < kTempNameTries; ++attempt) {
        unsigned long long noise = 0;
        if (::getrandom(&noise, sizeof noise, GRND_NONBLOCK) != sizeof noise) {
            noise = static_cast<unsigned long long>(::getpid());
        }
        name = dir + "/.ql-move." + std::to_string(noise) + "." + std::to_string(serial++);
        fd.reset(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.valid()) {
            return 0;
        }
        if (errno != EEXIST) {
            return errno;
        }
    }
    return EAGAIN;
}

int writeAll(int fd, const char *data, std::size_t length) {
    while (length > 0) {
        ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? errno : ENOSPC;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return 0;
}

int copyContents(int from, int to) {
    std::unique_ptr<char, decltype(&std::free)> chunk(static_cast<char *>(std::malloc(kCopyChunk)),
                                                      &std::free);
    if (chunk == nullptr) {
        return ENOMEM;
    }
    for (;;) {
        ssize_t got = ::read(from, chunk.get(), kCopyChunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            return 0;
        }
        if (int err = writeAll(to, chunk.get(), static_cast<std::size_t>(got)); err != 0) {
            return err;
        }
    }
}

// Owner first: changing it clears set-id bits, and those must never be kept for another owner.
int keepAttributes(int fd, const struct stat &st) {
    mode_t mode = st.st_mode & 07777;
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    if (::fchmod(fd, mode) != 0) {
        return errno;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(fd, times);
    return 0;
}

// Write the copy completely and durably under a temporary name before it takes the target's
// name, and remove the source only then; any failure leaves the source as the one copy.
int copyAcross(const char *source, const char *target, Replace replace) {
    ql::UniqueFd in(::open(source, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!in.valid() || ::fstat(in.get(), &st) != 0) {
        return errno;
    }
    if (!S_ISREG(st.st_mode)) {
        return EXDEV;
    }
    std::string temp;
    ql::UniqueFd out;
    if (int err = createTemp(directoryOf(target), temp, out); err != 0) {
        return err;
    }
    ql::ScopeGuard dropTemp([&temp] { ::unlink(temp.c_str()); });
    if (int err = copyContents(in.get(), out.get()); err != 0) {
        return err;
    }
    if (int err = keepAttributes(out.get(), st); err != 0) {
        return err;
    }
    if (::fsync(out.get()) != 0 || ::close(out.release()) != 0) {
        return errno;
    }
    if (int err = renameInto(temp.c_str(), target, replace); err != 0) {
        return err;
    }
    dropTemp.dismiss();
    if (::unlink(source) != 0) {
        int err = errno;
        ::unlink(target);
        return err;
    }
    return 0;
}

int movePath(const char *source, const char *target, Replace replace) {
    int err = renameInto(source, target, replace);
    return err == EXDEV ? copyAcross(source, target, replace) : err;
}

// The outcome test stays "the source no longer exists"; a rename between two names of one
// file succeeds without moving anything.
int finishMove(const char *source, int err) {
    if (err != 0) {
        return QL_SetError(err);
    }
    if (exists(source)) {
        return QL_SetError(EEXIST);
    }
    return 0;
}

bool writable(const char *path) {
    return ::access(path, W_OK) == 0;
}

std::string_view lastComponent(std::string_view path) {
    std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return name.substr(0, kNameMax);
}

// Fails with 904 only for something that is there but is no directory.
int checkQuarantineDirectory(const char *directory) {
    struct stat st;
    if (::stat(directory, &st) != 0 || ::access(directory, R_OK | W_OK) != 0) {
        return ql::setErrnoError();
    }
    if (!S_ISDIR(st.st_mode)) {
        return QL_SetError(QLE_INVALID_QUARANTINE);
    }
    return 0;
}

int outcome(int result, int success) {
    return result == 0 ? success : success << 4;
}

}  // namespace

int QL_ApplyInfectedAction(const char *path, int action, const char *argument) {
    switch (action) {
        case QL_ACT_DELETE:
            return outcome(QL_DeleteFile(path), QL_EV_DELETED);
        case QL_ACT_RENAME:
            return outcome(QL_RenameFile(path, argument), QL_EV_RENAMED);
        case QL_ACT_QUARANTINE:
            return outcome(QL_QuarantineFile(path, argument), QL_EV_QUARANTINED);
        default:
            return action;
    }
}

int QL_DeleteFile(const char *path) {
    if (path == nullptr || !writable(path)) {
        return QL_SetError(EINVAL);
    }
    if (::unlink(path) != 0) {
        return ql::setErrnoError();
    }
    return 0;
}

int QL_RenameFile(const char *path, const char *extension) {
    if (path == nullptr || extension == nullptr || std::strchr(extension, '/') != nullptr) {
        return QL_SetError(EINVAL);
    }
    if (!writable(path)) {
        return ql::setErrnoError();
    }
    // A cut name would rename the file to some other name, possibly its own.
    char renamed[QL_PATH_MAX];
    if (!ql::formatBounded(renamed, sizeof renamed, "%s.%s", path, extension)) {
        return QL_SetError(ENAMETOOLONG);
    }
    if (::rename(path, renamed) != 0) {
        return ql::setErrnoError();
    }
    return 0;
}

int QL_QuarantineFile(const char *path, const char *directory) {
    if (path == nullptr || directory == nullptr || !writable(path)) {
        return QL_SetError(EINVAL);
    }
    if (checkQuarantineDirectory(directory) != 0) {
        return -1;
    }
    std::string_view name = lastComponent(path);
    if (name.empty()) {
        return QL_SetError(EINVAL);
    }
    // A cut candidate could name the directory itself or a place beside it.
    char first[QL_PATH_MAX];
    if (!ql::formatBounded(first, sizeof first, "%s/%.*s", directory, static_cast<int>(name.size()),
                           name.data())) {
        return QL_SetError(ENAMETOOLONG);
    }
    char candidate[QL_PATH_MAX];
    ql::copyBounded(candidate, first);
    for (int number = -1; number < kQuarantineNumbers; ++number) {
        if (number >= 0 &&
            !ql::formatBounded(candidate, sizeof candidate, "%s-%d", first, number)) {
            return QL_SetError(ENAMETOOLONG);
        }
        if (exists(candidate)) {
            continue;
        }
        // Refusing to replace keeps a file quarantined meanwhile under this name.
        int err = movePath(path, candidate, Replace::kRefused);
        if (err != EEXIST) {
            return finishMove(path, err);
        }
    }
    return QL_SetErrorText("Too many quarantine files of same name");
}

int QL_MoveFile(const char *source, const char *target) {
    if (source == nullptr || target == nullptr) {
        return QL_SetError(EINVAL);
    }
    return finishMove(source, movePath(source, target, Replace::kAllowed));
}
