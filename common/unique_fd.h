// Owners for descriptors, streams and other C resources: each closes what it holds exactly once.
#ifndef QL_COMMON_UNIQUE_FD_H
#define QL_COMMON_UNIQUE_FD_H

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace ql {

// A move-only owner of one file descriptor; -1 holds nothing.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Give up ownership without closing.
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

    // Close what is held (if anything) and hold fd instead.
    void reset(int fd = -1) {
        int old = std::exchange(fd_, fd);
        if (old >= 0) {
            ::close(old);
        }
    }

  private:
    int fd_ = -1;
};

struct FileCloser {
    void operator()(std::FILE *f) const {
        if (f != nullptr) {
            std::fclose(f);
        }
    }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR *d) const {
        if (d != nullptr) {
            ::closedir(d);
        }
    }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// Frees with std::free what the C library allocated (strdup, realpath, malloc).
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
// An allocated C text.
using UniqueText = std::unique_ptr<char, FreeDeleter>;

// Runs a function when the scope ends, unless dismissed.
template <typename F>
class ScopeGuard {
  public:
    explicit ScopeGuard(F f) : f_(std::move(f)) {}
    ScopeGuard(const ScopeGuard &) = delete;
    ScopeGuard &operator=(const ScopeGuard &) = delete;
    ~ScopeGuard() {
        if (armed_) {
            f_();
        }
    }
    void dismiss() { armed_ = false; }

  private:
    F f_;
    bool armed_ = true;
};

}  // namespace ql

#endif  // QL_COMMON_UNIQUE_FD_H
