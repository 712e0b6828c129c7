#include "support/socket_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>

namespace ql::support {

bool waitReady(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    int ready;
    do {
        ready = poll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        errno = ETIMEDOUT;
    }
    return ready > 0;
}

bool sendAll(int fd, std::string_view text, int timeoutMs) {
    while (!text.empty()) {
        if (timeoutMs >= 0 && !waitReady(fd, POLLOUT, timeoutMs)) {
            return false;
        }
        ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace ql::support
