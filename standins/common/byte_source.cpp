#include "standins/common/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace ql::standin {

std::int64_t readFully(ByteSource &source, std::uint64_t offset, void *buf, std::size_t len) {
    auto *out = static_cast<unsigned char *>(buf);
    std::size_t done = 0;
    while (done < len) {
        std::int64_t got = source.read(offset + done, out + done, len - done);
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        // A source that claims more than it was asked for must not run us past buf.
        done += static_cast<std::uint64_t>(got) > len - done ? len - done
                                                             : static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

FdSource::FdSource(int fd) : fd_(fd) {
    if (fd < 0) {
        error_ = EBADF;
        return;
    }
    takeSize();
}

FdSource::FdSource(const char *path) {
    if (path == nullptr || *path == '\0') {
        error_ = ENOENT;
        return;
    }
    // O_NONBLOCK keeps open() from waiting for a writer when the path names a FIFO; the
    // type check below then turns it away.
    owned_.reset(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!owned_) {
        error_ = errno;
        return;
    }
    fd_ = owned_.get();
    takeSize();
}

void FdSource::takeSize() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        error_ = errno;
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        error_ = EISDIR;
        return;
    }
    if (!S_ISREG(st.st_mode) || st.st_size < 0) {
        error_ = EINVAL;
        return;
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
}

std::int64_t FdSource::read(std::uint64_t offset, void *buf, std::size_t len) {
    if (!ok()) {
        errno = error_;
        return -1;
    }
    if (offset >= size_ || len == 0) {
        return 0;
    }
    std::uint64_t left = size_ - offset;
    std::size_t want = left < len ? static_cast<std::size_t>(left) : len;
    if (want > static_cast<std::size_t>(std::numeric_limits<ssize_t>::max())) {
        want = static_cast<std::size_t>(std::numeric_limits<ssize_t>::max());
    }
    for (;;) {
        ssize_t got = ::pread(fd_, buf, want, static_cast<off_t>(offset));
        if (got >= 0) {
            return got;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

std::int64_t MemorySource::read(std::uint64_t offset, void *buf, std::size_t len) {
    if (offset >= len_ || len == 0) {
        return 0;
    }
    std::size_t left = len_ - static_cast<std::size_t>(offset);
    std::size_t n = left < len ? left : len;
    std::memcpy(buf, data_ + static_cast<std::size_t>(offset), n);
    return static_cast<std::int64_t>(n);
}

}  // namespace ql::standin
