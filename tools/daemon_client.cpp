#include "tools/daemon_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "settings/ini_loader.h"
#include "settings/value_table.h"
#include "support/socket_io.h"
#include "tools/cli_common.h"

namespace ql::tools {

namespace {

using support::sendAll;
using support::waitReady;

constexpr const char *kSettingsFile = "/opt/Quellar/etc/postwick/interface.conf";
constexpr const char *kDefaultSocket = "/opt/Quellar/var/run/interface";
constexpr std::size_t kReplyLimit = 4096;

DaemonReply failure(const char *what) {
    return {false, std::string(what) + ": " + std::strerror(errno)};
}

bool connectTo(const std::string &socketPath, UniqueFd &fd, DaemonReply &why) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!copyBounded(address.sun_path, socketPath)) {
        errno = ENAMETOOLONG;
        why = failure(socketPath.c_str());
        return false;
    }
    fd.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        why = failure("socket");
        return false;
    }
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        why = failure(socketPath.c_str());
        return false;
    }
    return true;
}

// The reply line until the daemon closes the connection, without its line end.
DaemonReply readReply(int fd, int timeoutMs) {
    std::string reply;
    char chunk[512];
    while (reply.size() < kReplyLimit) {
        if (!waitReady(fd, POLLIN, timeoutMs)) {
            return failure("waiting for the reply");
        }
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
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
    UniqueFd fd;
    DaemonReply why;
    if (!connectTo(socketPath, fd, why)) {
        return why;
    }
    if (!sendAll(fd.get(), path + "\n", timeoutMs)) {
        return failure("send");
    }
    return readReply(fd.get(), timeoutMs);
}

DaemonReply pingDaemon(const std::string &socketPath, int timeoutMs) {
    UniqueFd fd;
    DaemonReply why;
    if (!connectTo(socketPath, fd, why)) {
        return why;
    }
    if (shutdown(fd.get(), SHUT_WR) != 0) {
        return failure("shutdown");
    }
    return readReply(fd.get(), timeoutMs);
}

int runDaemonPing(const std::string &socketPath, int timeoutMs) {
    std::string path = socketPath.empty() ? defaultSocketPath() : socketPath;
    DaemonReply reply = pingDaemon(path, timeoutMs);
    if (!reply.reached) {
        std::printf("%s: the interface daemon does not answer (%s)\n", path.c_str(),
                    reply.line.c_str());
        return kExitTrouble;
    }
    std::printf("%s: the interface daemon answers\n", path.c_str());
    return kExitClean;
}

}  // namespace ql::tools
