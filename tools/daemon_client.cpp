#include "tools/daemon_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "settings/ini_loader.h"
#include "settings/value_table.h"

namespace ql::tools {

namespace {

constexpr const char *kSettingsFile = "/opt/Quellar/etc/postwick/interface.conf";
constexpr const char *kDefaultSocket = "/opt/Quellar/var/run/interface";
constexpr std::size_t kReplyLimit = 4096;

DaemonReply failure(const char *what) {
    return {false, std::string(what) + ": " + std::strerror(errno)};
}

// Wait until fd is ready for events, at most timeoutMs; false on timeout (errno ETIMEDOUT).
bool waitReady(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    int ready;
    do {
        ready = poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        errno = ETIMEDOUT;
    }
    return ready > 0;
}

bool sendAll(int fd, const std::string &data, int timeoutMs) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        if (!waitReady(fd, POLLOUT, timeoutMs)) {
            return false;
        }
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR) {
            return false;
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

}  // namespace

std::string defaultSocketPath() {
    char settings[QL_PATH_MAX];
    char socket[QL_PATH_MAX];
    if (rootedPath(kDefaultSocket, socket) < 0) {
        return kDefaultSocket;
    }
    if (rootedPath(kSettingsFile, settings) < 0 || access(settings, R_OK) != 0) {
        return socket;
    }
    ValueTable *table = iniLoad(tableCreate(), settings);
    std::string configured = tableGet(table, "postwicker:PostwickerSocket", socket);
    tableDelete(table);
    return configured;
}

DaemonReply askDaemon(const std::string &socketPath, const std::string &path, int timeoutMs) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!copyBounded(address.sun_path, socketPath)) {
        errno = ENAMETOOLONG;
        return failure(socketPath.c_str());
    }
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return failure("socket");
    }
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        return failure(socketPath.c_str());
    }
    if (!sendAll(fd.get(), path + "\n", timeoutMs)) {
        return failure("send");
    }
    std::string reply;
    char chunk[512];
    while (reply.size() < kReplyLimit) {
        if (!waitReady(fd.get(), POLLIN, timeoutMs)) {
            return failure("waiting for the reply");
        }
        ssize_t n = recv(fd.get(), chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return failure("recv");
        }
        if (n == 0) {
            break;
        }
        reply.append(chunk, static_cast<std::size_t>(n));
    }
    if (reply.empty() || reply.back() != '\n') {
        return {false, "incomplete reply \"" + reply + "\""};
    }
    reply.pop_back();
    return {true, reply};
}

}  // namespace ql::tools
