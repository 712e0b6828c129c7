// What a client may learn: the daemon runs as root, but answers a client other than root only
// about files that client could open for reading itself.
//
// The client's credentials come from its connection (SO_PEERCRED, and SO_PEERGROUPS for its
// supplementary groups). The request's path is opened with the client's file-system user, group
// and groups, switched for the calling thread only, through the raw system calls: the C
// library's setgroups changes every thread of the process. The descriptor so opened is what the
// engine then reads, so that a path swapped after the check can never have another file judged.
#ifndef QL_DAEMON_CLIENT_ACCESS_H
#define QL_DAEMON_CLIENT_ACCESS_H

#include <sys/types.h>

#include <vector>

#include "common/unique_fd.h"

namespace ql::daemon {

struct ClientCredentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary; empty where the kernel does not tell them
};

// The credentials of the peer of connection fd, taken when it connected. False (errno set) when
// the kernel cannot tell them.
[[nodiscard]] bool clientCredentials(int fd, ClientCredentials &out);

// Open path read-only (not as a controlling terminal, not waiting for a FIFO's writer) with the
// client's file-system ids and groups on the calling thread, which are then put back. Returns 0
// with the descriptor in out, the errno of the open (EACCES when the client may not read the
// file or search a folder on the way), or EPERM when the thread cannot take on the client's ids.
[[nodiscard]] int openAsClient(const char *path, const ClientCredentials &client, UniqueFd &out);

}  // namespace ql::daemon

#endif  // QL_DAEMON_CLIENT_ACCESS_H
