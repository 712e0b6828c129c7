// Socket helpers shared by the daemon's tools, the stand-in engine daemon and the benchmark.
#ifndef QL_SUPPORT_SOCKET_IO_H
#define QL_SUPPORT_SOCKET_IO_H

#include <string_view>

namespace ql::support {

// Wait until fd is ready for events (poll's), at most timeoutMs (no bound when negative),
// waiting on through signals. False when the wait failed, or timed out (errno ETIMEDOUT).
[[nodiscard]] bool waitReady(int fd, short events, int timeoutMs);

// Send all of text on the socket fd without raising SIGPIPE, going on after signals. With a
// timeoutMs of 0 or more, each wait for room in the socket is bounded by it (see waitReady).
// False with errno set when the peer is gone, the send failed or a wait timed out.
[[nodiscard]] bool sendAll(int fd, std::string_view text, int timeoutMs = -1);

}  // namespace ql::support

#endif  // QL_SUPPORT_SOCKET_IO_H
