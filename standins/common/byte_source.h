// Random-access byte sources the stand-in engines scan: files (by descriptor or by path) and
// memory blocks. Callers with their own storage (an I/O callback table) derive from ByteSource.
#ifndef QL_STANDINS_COMMON_BYTE_SOURCE_H
#define QL_STANDINS_COMMON_BYTE_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/unique_fd.h"

namespace ql::standin {

// A fixed-size run of bytes read by offset. One source is used by one thread at a time.
class ByteSource {
  public:
    virtual ~ByteSource() = default;

    // The number of bytes in the source, fixed when the source was made. Readers never ask
    // for bytes at or past this size.
    [[nodiscard]] virtual std::uint64_t size() const = 0;

    // Read up to len bytes at offset into buf. Returns the bytes read (0 only at or past the
    // end; fewer than len is allowed anywhere), or -1 on failure with errno set.
    [[nodiscard]] virtual std::int64_t read(std::uint64_t offset, void *buf, std::size_t len) = 0;

  protected:
    ByteSource() = default;
    ByteSource(const ByteSource &) = default;
    ByteSource &operator=(const ByteSource &) = default;
};

// Read exactly len bytes at offset unless the source ends first: repeats short reads. Returns
// the bytes read (less than len only when the source ended), or -1 on failure with errno set.
[[nodiscard]] std::int64_t readFully(ByteSource &source, std::uint64_t offset, void *buf,
                                     std::size_t len);

// A regular file read with pread. Check ok() before use; error() then gives the errno of the
// failure (EISDIR for a directory, EINVAL for any other file that is not regular).
class FdSource final : public ByteSource {
  public:
    // Read through fd, which the caller keeps open for the source's life and closes itself.
    explicit FdSource(int fd);
    // Open path read-only (following links, without blocking on a FIFO) and own the descriptor.
    explicit FdSource(const char *path);

    [[nodiscard]] bool ok() const { return error_ == 0; }
    [[nodiscard]] int error() const { return error_; }

    [[nodiscard]] std::uint64_t size() const override { return size_; }
    [[nodiscard]] std::int64_t read(std::uint64_t offset, void *buf, std::size_t len) override;

  private:
    void takeSize();

    UniqueFd owned_;
    int fd_ = -1;
    int error_ = 0;
    std::uint64_t size_ = 0;
};

// A block of memory the caller keeps alive and unchanged for the source's life.
class MemorySource final : public ByteSource {
  public:
    MemorySource(const void *data, std::size_t len)
        : data_(static_cast<const unsigned char *>(data)), len_(data == nullptr ? 0 : len) {}
    explicit MemorySource(const std::string &bytes) : MemorySource(bytes.data(), bytes.size()) {}
    // A temporary string would be gone before the first read.
    explicit MemorySource(std::string &&) = delete;

    [[nodiscard]] std::uint64_t size() const override { return len_; }
    [[nodiscard]] std::int64_t read(std::uint64_t offset, void *buf, std::size_t len) override;

  private:
    const unsigned char *data_;
    std::size_t len_;
};

}  // namespace ql::standin

#endif  // QL_STANDINS_COMMON_BYTE_SOURCE_H
