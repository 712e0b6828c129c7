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

using ql::FileIdentity;
using ql::ParentDir;

constexpr int kQuarantineNumbers = 1024;
constexpr std::size_t kNameMax = 255;
constexpr int kTempNameTries = 32;
constexpr std::size_t kCopyChunk = std::size_t{64} * 1024;
constexpr mode_t kQuarantinedMode = 0600;

constexpr const char *kLinkInPath = "Path leads through a symbolic link";
constexpr const char *kReplacedText = "File changed since it was scanned";
constexpr const char *kQuarantineLink = "Quarantine directory is or lies behind a symbolic link";
constexpr const char *kQuarantineShared =
    "Quarantine directory is writable by others than its owner";

// The internal steps return 0 or an errno value, so that clean-up on the way out cannot
// overwrite the reason before it becomes the last error; kReplaced stands for a name that no
// longer holds the file that was examined.
constexpr int kReplaced = -1;

enum class Replace { kAllowed, kRefused };
enum class Mode { kKeep, kOwnerOnly };

// A file to act on: its directory, reached without following a link, and what the name must
// still hold (nullptr: whatever it holds now).
struct Place {
    ParentDir dir;
    const FileIdentity *scanned = nullptr;

    [[nodiscard]] int fd() const { return dir.fd.get(); }
    [[nodiscard]] const char *name() const { return dir.name.c_str(); }
};

bool sameFile(const FileIdentity &a, const FileIdentity &b) {
    return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

FileIdentity identityOf(const struct stat &st) {
    return FileIdentity{st.st_dev, st.st_ino, true};
}

// -1 with the last error for err (ELOOP: a link on the way; kReplaced: another file now).
int fail(int err) {
    if (err == ELOOP) {
        return QL_SetErrorText(kLinkInPath);
    }
    if (err == kReplaced) {
        return QL_SetErrorText(kReplacedText);
    }
    return QL_SetError(err);
}

// Reach path's directory; a failure other than a link on the way reads as otherwise (0: itself).
int openPlace(const char *path, const FileIdentity *scanned, Place &place, int otherwise) {
    place.scanned = scanned;
    int err = ql::openParentNoLinks(path, place.dir);
    if (err == 0) {
        return 0;
    }
    return fail(err == ELOOP || otherwise == 0 ? err : otherwise);
}

bool writable(const Place &place) {
    return ::faccessat(place.fd(), place.name(), W_OK, 0) == 0;
}

// The identity of what the name holds now; kReplaced when it is not the file scanned.
int currentIdentity(const Place &place, FileIdentity &now) {
    if (int err = ql::identityAt(place.fd(), place.name(), now); err != 0) {
        return err;
    }
    if (place.scanned != nullptr && !sameFile(now, *place.scanned)) {
        return kReplaced;
    }
    return 0;
}

bool existsAt(int dir, const char *name) {
    struct stat st;
    return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

int renameAt(int fromDir, const char *from, int toDir, const char *to, Replace replace) {
    if (replace == Replace::kAllowed) {
        return ::renameat(fromDir, from, toDir, to) == 0 ? 0 : errno;
    }
    if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL) {
        return errno;
    }
    // A file system without RENAME_NOREPLACE: look, then rename.
    if (existsAt(toDir, to)) {
        return EEXIST;
    }
    return ::renameat(fromDir, from, toDir, to) == 0 ? 0 : errno;
}

// A fresh name in dir, created 0600 and never through a link at that name.
int createTemp(int dir, std::string &name, ql::UniqueFd &fd) {
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < kTempNameTries; ++attempt) {
        unsigned long long noise = 0;
        if (::getrandom(&noise, sizeof noise, GRND_NONBLOCK) != sizeof noise) {
            noise = static_cast<unsigned long long>(::getpid());
        }
        name = ".ql-move." + std::to_string(noise) + "." + std::to_string(serial++);
        fd.reset(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0600));
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
int keepAttributes(int fd, const struct stat &st, Mode mode) {
    mode_t bits = mode == Mode::kOwnerOnly ? kQuarantinedMode : (st.st_mode & 07777);
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        bits &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    if (::fchmod(fd, bits) != 0) {
        return errno;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(fd, times);
    return 0;
}

// Write the copy completely and durably under a temporary name before it takes the target's
// name, and remove the source only then, and only while its name still holds the file copied;
// any failure leaves the source as the one copy.
int copyAcross(const Place &from, const FileIdentity &moving, int toDir, const char *to,
               Replace replace, Mode mode) {
    ql::UniqueFd in(::openat(from.fd(), from.name(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!in.valid() || ::fstat(in.get(), &st) != 0) {
        return errno;
    }
    if (!S_ISREG(st.st_mode)) {
        return EXDEV;
    }
    if (!sameFile(identityOf(st), moving)) {
        return kReplaced;
    }
    std::string temp;
    ql::UniqueFd out;
    if (int err = createTemp(toDir, temp, out); err != 0) {
        return err;
    }
    ql::ScopeGuard dropTemp([&] { ::unlinkat(toDir, temp.c_str(), 0); });
    if (int err = copyContents(in.get(), out.get()); err != 0) {
        return err;
    }
    if (int err = keepAttributes(out.get(), st, mode); err != 0) {
        return err;
    }
    if (::fsync(out.get()) != 0 || ::close(out.release()) != 0) {
        return errno;
    }
    if (int err = renameAt(toDir, temp.c_str(), toDir, to, replace); err != 0) {
        return err;
    }
    dropTemp.dismiss();
    FileIdentity now;
    int err = currentIdentity(from, now);
    if (err == 0 && !sameFile(now, moving)) {
        err = kReplaced;
    }
    if (err == 0 && ::unlinkat(from.fd(), from.name(), 0) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlinkat(toDir, to, 0);
    }
    return err;
}

int moveTo(const Place &from, const FileIdentity &moving, int toDir, const char *to,
           Replace replace, Mode mode) {
    int err = renameAt(from.fd(), from.name(), toDir, to, replace);
    if (err == EXDEV) {
        return copyAcross(from, moving, toDir, to, replace, mode);
    }
    if (err == 0 && mode == Mode::kOwnerOnly) {
        // Never through a link: a link moved into quarantine keeps its own mode (the call fails
        // for it, which is what is wanted).
        int changed = ::fchmodat(toDir, to, kQuarantinedMode, AT_SYMLINK_NOFOLLOW);
        static_cast<void>(changed);
    }
    return err;
}

// The outcome test stays "the source no longer holds the file"; a rename between two names of
// one file succeeds without moving anything.
int finishMove(const Place &from, const FileIdentity &moving, int err) {
    if (err != 0) {
        return fail(err);
    }
    FileIdentity now;
    if (ql::identityAt(from.fd(), from.name(), now) == 0 && sameFile(now, moving)) {
        return QL_SetError(EEXIST);
    }
    return 0;
}

// The quarantine directory as a descriptor, refused when a link, or open to other writers.
// Fails with 904 only for something that is there but is no directory.
int openQuarantine(const char *directory, ql::UniqueFd &dir) {
    int err = ql::openDirectoryNoLinks(directory, dir);
    struct stat st;
    if (err == ELOOP) {
        return QL_SetErrorText(kQuarantineLink);
    }
    if (err == ENOTDIR && ::lstat(directory, &st) == 0 && !S_ISDIR(st.st_mode)) {
        return QL_SetError(QLE_INVALID_QUARANTINE);
    }
    if (err != 0) {
        return QL_SetError(err);
    }
    if (::fstat(dir.get(), &st) != 0 || ::faccessat(dir.get(), ".", R_OK | W_OK, 0) != 0) {
        return ql::setErrnoError();
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return QL_SetErrorText(kQuarantineShared);
    }
    return 0;
}

int outcome(int result, int success) {
    return result == 0 ? success : success << 4;
}

int deleteFile(const char *path, const FileIdentity *scanned) {
    Place place;
    if (openPlace(path, scanned, place, EINVAL) != 0) {
        return -1;
    }
    if (!writable(place)) {
        return QL_SetError(EINVAL);
    }
    FileIdentity now;
    if (int err = currentIdentity(place, now); err != 0) {
        return fail(err);
    }
    if (::unlinkat(place.fd(), place.name(), 0) != 0) {
        return ql::setErrnoError();
    }
    return 0;
}

int renameFile(const char *path, const char *extension, const FileIdentity *scanned) {
    if (path == nullptr || extension == nullptr || std::strchr(extension, '/') != nullptr) {
        return QL_SetError(EINVAL);
    }
    Place place;
    if (openPlace(path, scanned, place, 0) != 0) {
        return -1;
    }
    if (!writable(place)) {
        return ql::setErrnoError();
    }
    // A cut name would rename the file to some other name, possibly its own.
    char renamed[QL_PATH_MAX];
    if (!ql::formatBounded(renamed, sizeof renamed, "%s.%s", path, extension)) {
        return QL_SetError(ENAMETOOLONG);
    }
    FileIdentity now;
    if (int err = currentIdentity(place, now); err != 0) {
        return fail(err);
    }
    std::string target = place.dir.name + "." + extension;
    if (::renameat(place.fd(), place.name(), place.fd(), target.c_str()) != 0) {
        return ql::setErrnoError();
    }
    return 0;
}

int quarantineFile(const char *path, const char *directory, const FileIdentity *scanned) {
    if (directory == nullptr) {
        return QL_SetError(EINVAL);
    }
    Place place;
    if (openPlace(path, scanned, place, EINVAL) != 0) {
        return -1;
    }
    if (!writable(place)) {
        return QL_SetError(EINVAL);
    }
    ql::UniqueFd held;
    if (openQuarantine(directory, held) != 0) {
        return -1;
    }
    std::string_view name = std::string_view(place.dir.name).substr(0, kNameMax);
    // A cut candidate could name the directory itself or a place beside it.
    char first[QL_PATH_MAX];
    if (!ql::formatBounded(first, sizeof first, "%s/%.*s", directory, static_cast<int>(name.size()),
                           name.data())) {
        return QL_SetError(ENAMETOOLONG);
    }
    FileIdentity moving;
    if (int err = currentIdentity(place, moving); err != 0) {
        return fail(err);
    }
    std::string candidate(name);
    for (int number = -1; number < kQuarantineNumbers; ++number) {
        if (number >= 0) {
            char numbered[QL_PATH_MAX];
            if (!ql::formatBounded(numbered, sizeof numbered, "%s-%d", first, number)) {
                return QL_SetError(ENAMETOOLONG);
            }
            candidate = std::string(name) + "-" + std::to_string(number);
        }
        if (existsAt(held.get(), candidate.c_str())) {
            continue;
        }
        // Refusing to replace keeps a file quarantined meanwhile under this name.
        int err = moveTo(place, moving, held.get(), candidate.c_str(), Replace::kRefused,
                         Mode::kOwnerOnly);
        if (err != EEXIST) {
            return finishMove(place, moving, err);
        }
    }
    return QL_SetErrorText("Too many quarantine files of same name");
}

int applyAction(const char *path, const FileIdentity *scanned, int action, const char *argument) {
    switch (action) {
        case QL_ACT_DELETE:
            return outcome(deleteFile(path, scanned), QL_EV_DELETED);
        case QL_ACT_RENAME:
            return outcome(renameFile(path, argument, scanned), QL_EV_RENAMED);
        case QL_ACT_QUARANTINE:
            return outcome(quarantineFile(path, argument, scanned), QL_EV_QUARANTINED);
        default:
            return action;
    }
}

}  // namespace

namespace ql {

FileIdentity identifyScanned(const char *path) {
    FileIdentity scanned;
    (void)identifyNoLinks(path, scanned);
    return scanned;
}

int applyInfectedAction(const char *path, const FileIdentity &scanned, int action,
                        const char *argument) {
    return applyAction(path, &scanned, action, argument);
}

}  // namespace ql

int QL_ApplyInfectedAction(const char *path, int action, const char *argument) {
    return applyAction(path, nullptr, action, argument);
}

int QL_DeleteFile(const char *path) {
    return deleteFile(path, nullptr);
}

int QL_RenameFile(const char *path, const char *extension) {
    return renameFile(path, extension, nullptr);
}

int QL_QuarantineFile(const char *path, const char *directory) {
    return quarantineFile(path, directory, nullptr);
}

int QL_MoveFile(const char *source, const char *target) {
    if (source == nullptr || target == nullptr) {
        return QL_SetError(EINVAL);
    }
    Place from;
    ParentDir to;
    if (openPlace(source, nullptr, from, 0) != 0) {
        return -1;
    }
    if (int err = ql::openParentNoLinks(target, to); err != 0) {
        return fail(err);
    }
    FileIdentity moving;
    if (int err = currentIdentity(from, moving); err != 0) {
        return fail(err);
    }
    int err = moveTo(from, moving, to.fd.get(), to.name.c_str(), Replace::kAllowed, Mode::kKeep);
    return finishMove(from, moving, err);
}
