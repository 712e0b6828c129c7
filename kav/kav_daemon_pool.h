// Connections to the engine daemon that the scans share: a connection owns its descriptor and
// its read buffer (so one conversation never takes bytes of the next), a pool in the handle
// hands idle ones out, and a channel carries one command and its reply at a time, either over a
// bare descriptor or over a connection leased from the pool.
//
// Design: scans run in parallel, each on a connection of its own, leased from the pool for as
// long as the channel lives (one conversation for a quick scan, a whole walk for the object and
// process scans). A conversation that breaks off poisons its connection: it is closed and
// dropped instead of going back. A connection that lay idle may have been closed by an engine
// restart; when its command cannot be sent, or the stream ends before the first reply byte, the
// conversation runs once more on a freshly opened connection.
#ifndef QL_KAV_KAV_DAEMON_POOL_H
#define QL_KAV_KAV_DAEMON_POOL_H

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "kav/kav_daemon_iface.h"

namespace ql::kav {

// One connection to the engine daemon with a read buffer of its own. Used by one thread at a
// time.
class Connection final : public LineReader {
  public:
    // Connect to socketPath and read the greeting, however it ends (a final line, another code,
    // no line within the reply bound); null (last error set) when the connection cannot be made
    // or the engine closes it before the greeting ends.
    [[nodiscard]] static std::unique_ptr<Connection> open(const char *socketPath);

    explicit Connection(UniqueFd fd) : fd_(std::move(fd)) {}

    [[nodiscard]] int fd() const { return fd_.get(); }

    // Send a whole command (QL_SendDaemonCommand). 0, or -1 with the last error set.
    [[nodiscard]] int send(const char *command) const;
    // QL_readline's contract, served from the buffer, waiting until deadline at most.
    [[nodiscard]] int readLine(char *buf, unsigned limit, Clock::time_point deadline) override;
    // Send QUIT and read its reply, ignoring how either ends.
    void quit();

  private:
    [[nodiscard]] int fill(int timeoutMs);

    UniqueFd fd_;
    char buffer_[4096];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// The idle connections of one engine handle and the count of all it has open. Thread-safe.
class ConnectionPool {
  public:
    static constexpr std::size_t kMaxConnections = 64;

    explicit ConnectionPool(const char *socketPath) : socketPath_(socketPath) {}
    ~ConnectionPool() { closeAll(); }
    ConnectionPool(const ConnectionPool &) = delete;
    ConnectionPool &operator=(const ConnectionPool &) = delete;

    // Count conn as open and idle (the handle's first connection).
    void adopt(std::unique_ptr<Connection> conn);
    // An idle connection, or a new one when none is idle and fewer than kMaxConnections are
    // open; at the limit, wait up to the reply bound for one to come back. *fresh tells whether
    // it was opened for this call. Null with error 906 on failure.
    [[nodiscard]] std::unique_ptr<Connection> acquire(bool *fresh);
    // Open a new connection (counted) without looking at the idle ones. Null with 906.
    [[nodiscard]] std::unique_ptr<Connection> openFresh();
    // Hand a connection whose last reply ended in order back as idle.
    void giveBack(std::unique_ptr<Connection> conn);
    // Close a connection that must not be used again.
    void drop(std::unique_ptr<Connection> conn);
    // Say QUIT on every idle connection and close it. Call only when no scan runs.
    void closeAll();

    [[nodiscard]] std::size_t openCount() const;
    [[nodiscard]] std::size_t idleCount() const;

  private:
    void release();

    const std::string socketPath_;
    mutable std::mutex mu_;
    std::condition_variable returned_;
    // Guarded by mu_.
    std::vector<std::unique_ptr<Connection>> idle_;
    std::size_t open_ = 0;
};

// Carries one command and its whole reply at a time.
class Channel {
  public:
    virtual ~Channel() = default;
    // Send command (ending in CR LF) and read its reply through fn. -1 with the last error set
    // when the command could not be sent; otherwise 0 with out telling how the reply ended.
    [[nodiscard]] virtual int converse(const char *command, ReplyLineFn fn, void *context1,
                                       void *context2, ReplyOutcome &out) = 0;
};

// A bare descriptor the caller owns; lines are read byte by byte.
class FdChannel final : public Channel {
  public:
    explicit FdChannel(int fd) : fd_(fd) {}
    [[nodiscard]] int converse(const char *command, ReplyLineFn fn, void *context1, void *context2,
                               ReplyOutcome &out) override;

  private:
    int fd_;
};

// A connection leased from a pool on the first conversation and held until the channel ends,
// when it goes back (or is closed if its last conversation broke off).
class PoolChannel final : public Channel {
  public:
    explicit PoolChannel(ConnectionPool &pool) : pool_(pool) {}
    ~PoolChannel() override;
    PoolChannel(const PoolChannel &) = delete;
    PoolChannel &operator=(const PoolChannel &) = delete;

    [[nodiscard]] int converse(const char *command, ReplyLineFn fn, void *context1, void *context2,
                               ReplyOutcome &out) override;

  private:
    ConnectionPool &pool_;
    std::unique_ptr<Connection> held_;
};

}  // namespace ql::kav

#endif  // QL_KAV_KAV_DAEMON_POOL_H
