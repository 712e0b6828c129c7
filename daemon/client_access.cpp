#include "daemon/client_access.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace ql::daemon {

namespace {

// The 32-bit x86 calls without the suffix take 16-bit ids.
#ifdef SYS_setfsuid32
constexpr long kSetFsUid = SYS_setfsuid32;
constexpr long kSetFsGid = SYS_setfsgid32;
constexpr long kSetGroups = SYS_setgroups32;
constexpr long kGetGroups = SYS_getgroups32;
#else
constexpr long kSetFsUid = SYS_setfsuid;
constexpr long kSetFsGid = SYS_setfsgid;
constexpr long kSetGroups = SYS_setgroups;
constexpr long kGetGroups = SYS_getgroups;
#endif

constexpr std::size_t kFirstGroupGuess = 32;

// setfsuid and setfsgid report no failure; asking with an invalid id returns the current one.
uid_t currentFsUid() {
    return static_cast<uid_t>(::syscall(kSetFsUid, static_cast<uid_t>(-1)));
}

gid_t currentFsGid() {
    return static_cast<gid_t>(::syscall(kSetFsGid, static_cast<gid_t>(-1)));
}

bool takeFsGid(gid_t gid) {
    ::syscall(kSetFsGid, gid);
    return currentFsGid() == gid;
}

bool takeFsUid(uid_t uid) {
    ::syscall(kSetFsUid, uid);
    return currentFsUid() == uid;
}

bool takeGroups(const std::vector<gid_t> &groups) {
    return ::syscall(kSetGroups, groups.size(), groups.data()) == 0;
}

// The calling thread's file-system ids and groups, switched to a client's while this lives and
// put back when it ends. The file-system user goes last and comes back first: while it is not
// root, the thread has none of the capabilities that override file permissions.
class ThreadCredentials {
  public:
    explicit ThreadCredentials(const ClientCredentials &client) {
        long count = ::syscall(kGetGroups, 0, nullptr);
        if (count < 0) {
            return;
        }
        savedGroups_.resize(static_cast<std::size_t>(count));
        if (::syscall(kGetGroups, count, savedGroups_.data()) != count) {
            return;
        }
        savedUid_ = currentFsUid();
        savedGid_ = currentFsGid();
        saved_ = true;
        switched_ = takeGroups(client.groups) && takeFsGid(client.gid) && takeFsUid(client.uid);
    }
    ~ThreadCredentials() {
        if (saved_) {
            (void)takeFsUid(savedUid_);
            (void)takeFsGid(savedGid_);
            (void)takeGroups(savedGroups_);
        }
    }
    ThreadCredentials(const ThreadCredentials &) = delete;
    ThreadCredentials &operator=(const ThreadCredentials &) = delete;

    [[nodiscard]] bool switched() const { return switched_; }

  private:
    std::vector<gid_t> savedGroups_;
    uid_t savedUid_ = 0;
    gid_t savedGid_ = 0;
    bool saved_ = false;
    bool switched_ = false;
};

// Without them the client is judged by its user and primary group alone, never with more.
void takePeerGroups(int fd, std::vector<gid_t> &groups) {
#ifdef SO_PEERGROUPS
    groups.resize(groups.capacity() > kFirstGroupGuess ? groups.capacity() : kFirstGroupGuess);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            return;
        }
        if (errno != ERANGE) {
            break;
        }
        groups.resize(size / sizeof(gid_t) + 1);
    }
#else
    (void)fd;
#endif
    groups.clear();
}

}  // namespace

bool clientCredentials(int fd, ClientCredentials &out) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        return false;
    }
    if (size != sizeof peer) {
        errno = EINVAL;
        return false;
    }
    out.uid = peer.uid;
    out.gid = peer.gid;
    takePeerGroups(fd, out.groups);
    return true;
}

int openAsClient(const char *path, const ClientCredentials &client, UniqueFd &out) {
    ThreadCredentials as(client);
    if (!as.switched()) {
        return EPERM;
    }
    out.reset(::open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    return out ? 0 : errno;
}

}  // namespace ql::daemon
