#include "kav/kav_daemon_pool.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/iface_utils.h"

namespace ql::kav {

std::unique_ptr<Connection> Connection::open(const char *socketPath) {
    if (socketPath == nullptr) {
        QL_SetError(EINVAL);
        return nullptr;
    }
    if (access(socketPath, R_OK | W_OK) != 0) {
        setErrnoError();
        return nullptr;
    }
    UniqueFd fd(connectSocket(socketPath));
    if (!fd) {
        return nullptr;
    }
    auto conn = std::make_unique<Connection>(std::move(fd));
    DaemonInfo greeting{};
    // An engine that greets otherwise, or not at all, still serves commands; only one that has
    // closed the connection again does not.
    if (readReply(*conn, QL_daemonInfoCallback, nullptr, &greeting).closed) {
        QL_SetError(QLE_AV_CONNECT);
        return nullptr;
    }
    return conn;
}

int Connection::send(const char *command) const {
    return QL_SendDaemonCommand(fd_.get(), command);
}

int Connection::fill(int timeoutMs) {
    if (begin_ == end_) {
        begin_ = end_ = 0;
    }
    for (;;) {
        pollfd p{fd_.get(), POLLIN, 0};
        int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return ready == 0 ? QL_SetError(ETIMEDOUT) : setErrnoError();
        }
        ssize_t n = ::read(fd_.get(), buffer_ + end_, sizeof buffer_ - end_);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n < 0) {
            return setErrnoError();
        }
        end_ += static_cast<std::size_t>(n);
        return static_cast<int>(n);
    }
}

int Connection::readLine(char *buf, unsigned limit, Clock::time_point deadline) {
    if (buf == nullptr || limit == 0) {
        return QL_SetError(EINVAL);
    }
    std::size_t stored = 0;
    while (stored + 1 < limit) {
        if (begin_ == end_) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            int n = fill(left.count() > 0 ? static_cast<int>(left.count()) : 0);
            if (n < 0) {
                return -1;
            }
            if (n == 0) {
                if (stored == 0) {
                    return 0;
                }
                break;
            }
        }
        char byte = buffer_[begin_++];
        buf[stored++] = byte;
        if (byte == '\n') {
            buf[stored] = '\0';
            return static_cast<int>(stored);
        }
    }
    buf[stored] = '\0';
    return static_cast<int>(stored + 1);
}

void Connection::quit() {
    if (send("QUIT\r\n") == 0) {
        (void)readReply(*this, nullptr, nullptr, nullptr);
    }
}

void ConnectionPool::adopt(std::unique_ptr<Connection> conn) {
    if (conn == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    ++open_;
    idle_.push_back(std::move(conn));
}

std::unique_ptr<Connection> ConnectionPool::acquire(bool *fresh) {
    auto bound = std::chrono::milliseconds(engineTimeoutMs());
    {
        std::unique_lock<std::mutex> lock(mu_);
        bool available = returned_.wait_for(
            lock, bound, [this] { return !idle_.empty() || open_ < kMaxConnections; });
        if (!available) {
            QL_SetError(QLE_AV_CONNECT);
            return nullptr;
        }
        if (!idle_.empty()) {
            auto conn = std::move(idle_.back());
            idle_.pop_back();
            if (fresh != nullptr) {
                *fresh = false;
            }
            return conn;
        }
        ++open_;  // reserved while the connection is made outside the lock
    }
    if (fresh != nullptr) {
        *fresh = true;
    }
    auto conn = Connection::open(socketPath_.c_str());
    if (conn == nullptr) {
        release();
        QL_SetError(QLE_AV_CONNECT);
    }
    return conn;
}

std::unique_ptr<Connection> ConnectionPool::openFresh() {
    {
        std::unique_lock<std::mutex> lock(mu_);
        if (!returned_.wait_for(lock, std::chrono::milliseconds(engineTimeoutMs()),
                                [this] { return open_ < kMaxConnections; })) {
            QL_SetError(QLE_AV_CONNECT);
            return nullptr;
        }
        ++open_;
    }
    auto conn = Connection::open(socketPath_.c_str());
    if (conn == nullptr) {
        release();
        QL_SetError(QLE_AV_CONNECT);
    }
    return conn;
}

void ConnectionPool::giveBack(std::unique_ptr<Connection> conn) {
    if (conn == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        idle_.push_back(std::move(conn));
    }
    returned_.notify_one();
}

void ConnectionPool::drop(std::unique_ptr<Connection> conn) {
    if (conn == nullptr) {
        return;
    }
    conn.reset();
    release();
}

void ConnectionPool::release() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        --open_;
    }
    returned_.notify_one();
}

void ConnectionPool::closeAll() {
    std::vector<std::unique_ptr<Connection>> idle;
    {
        std::lock_guard<std::mutex> lock(mu_);
        idle.swap(idle_);
        open_ -= idle.size();
    }
    for (auto &conn : idle) {
        conn->quit();
    }
}

std::size_t ConnectionPool::openCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return open_;
}

std::size_t ConnectionPool::idleCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return idle_.size();
}

int FdChannel::converse(const char *command, ReplyLineFn fn, void *context1, void *context2,
                        ReplyOutcome &out) {
    if (QL_SendDaemonCommand(fd_, command) < 0) {
        return -1;
    }
    FdLineReader reader(fd_);
    out = readReply(reader, fn, context1, context2);
    return 0;
}

PoolChannel::~PoolChannel() {
    pool_.giveBack(std::move(held_));
}

int PoolChannel::converse(const char *command, ReplyLineFn fn, void *context1, void *context2,
                          ReplyOutcome &out) {
    bool fresh = false;
    if (held_ == nullptr) {
        held_ = pool_.acquire(&fresh);
        if (held_ == nullptr) {
            return -1;
        }
    }
    for (int attempt = 0;; ++attempt) {
        bool mayRetry = attempt == 0;
        if (held_->send(command) < 0) {
            pool_.drop(std::move(held_));
            if (!mayRetry) {
                return -1;
            }
        } else {
            out = readReply(*held_, fn, context1, context2);
            if (out.complete) {
                return 0;
            }
            pool_.drop(std::move(held_));
            // Only a connection that lay idle can have been closed by an engine restart.
            if (!mayRetry || fresh || !out.endedBeforeFirstByte) {
                return 0;
            }
        }
        held_ = pool_.openFresh();
        if (held_ == nullptr) {
            return -1;
        }
        fresh = true;
    }
}

}  // namespace ql::kav
