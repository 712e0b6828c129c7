// Helpers the fuzz targets share: a failed check that libFuzzer reports as a crash, a
// temporary file rewritten for every input, a socket pair, and a temporary installation root.
#ifndef QL_FUZZ_FUZZ_SUPPORT_H
#define QL_FUZZ_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "common/unique_fd.h"

namespace ql::fuzz {

// A broken invariant: abort, which libFuzzer reports with the input that caused it.
#define QL_FUZZ_CHECK(cond)                                                               \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

// Whether text[0..size) holds a terminator, i.e. a fixed field is a C string.
inline bool terminatedWithin(const char *text, std::size_t size) {
    return std::memchr(text, '\0', size) != nullptr;
}

// A temporary file made once per process; every input replaces its contents.
class TempFile {
  public:
    TempFile() {
        char name[] = "/tmp/ql_fuzz_XXXXXX";
        fd_.reset(::mkostemp(name, O_CLOEXEC));
        QL_FUZZ_CHECK(fd_);
        path_ = name;
    }
    ~TempFile() { ::unlink(path_.c_str()); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    void rewrite(const uint8_t *data, std::size_t size) {
        QL_FUZZ_CHECK(::ftruncate(fd_.get(), 0) == 0);
        QL_FUZZ_CHECK(::pwrite(fd_.get(), data, size, 0) == static_cast<ssize_t>(size));
        QL_FUZZ_CHECK(::lseek(fd_.get(), 0, SEEK_SET) == 0);
    }
    [[nodiscard]] const char *path() const { return path_.c_str(); }
    [[nodiscard]] int fd() const { return fd_.get(); }

  private:
    UniqueFd fd_;
    std::string path_;
};

// A connected pair of stream sockets: the peer writes the input, the other end is read.
struct SocketPair {
    SocketPair() {
        int fds[2];
        QL_FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
        local.reset(fds[0]);
        peer.reset(fds[1]);
    }
    // Send all of data (it must fit the socket buffer), then end the peer's side of the stream.
    void sendAndClose(const uint8_t *data, std::size_t size) {
        if (size > 0) {
            QL_FUZZ_CHECK(::send(peer.get(), data, size, MSG_NOSIGNAL) ==
                          static_cast<ssize_t>(size));
        }
        peer.reset();
    }
    UniqueFd local;
    UniqueFd peer;
};

// A temporary QL_ROOT with the given folders, removed at exit.
class TempRoot {
  public:
    explicit TempRoot(std::initializer_list<const char *> folders) {
        char name[] = "/tmp/ql_fuzz_root_XXXXXX";
        QL_FUZZ_CHECK(::mkdtemp(name) != nullptr);
        path_ = name;
        for (const char *folder : folders) {
            std::string at = path_;
            for (const char *c = folder; *c != '\0'; ++c) {
                if (*c == '/' && c != folder) {
                    (void)::mkdir(at.c_str(), 0700);
                }
                at.push_back(*c);
            }
            (void)::mkdir(at.c_str(), 0700);
        }
        QL_FUZZ_CHECK(::setenv("QL_ROOT", path_.c_str(), 1) == 0);
    }
    ~TempRoot() {
        ::nftw(
            path_.c_str(),
            [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    [[nodiscard]] std::string path(const char *below) const { return path_ + below; }

  private:
    std::string path_;
};

}  // namespace ql::fuzz

#endif  // QL_FUZZ_FUZZ_SUPPORT_H
