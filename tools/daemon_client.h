// A client of the interface daemon's socket: one path per connection, one reply line back.
#ifndef QL_TOOLS_DAEMON_CLIENT_H
#define QL_TOOLS_DAEMON_CLIENT_H

#include <string>

namespace ql::tools {

struct DaemonReply {
    bool reached = false;  // false: no connection, or no complete reply
    std::string line;      // the reply without its line end ("0", "1 <text>"), or why not reached
};

// The daemon's socket path: the PostwickerSocket of its settings file when that names one,
// else the default, both under QL_ROOT.
std::string defaultSocketPath();

// Send one absolute path to the daemon at socketPath and read its reply until the daemon
// closes the connection, waiting at most timeoutMs for each step.
DaemonReply askDaemon(const std::string &socketPath, const std::string &path, int timeoutMs);

// Whether the daemon at socketPath answers: connects, sends an empty request (the daemon answers
// it as a missing path, so nothing is scanned) and reads the reply line, waiting at most
// timeoutMs for each step. reached is true when a complete reply line came back.
DaemonReply pingDaemon(const std::string &socketPath, int timeoutMs);

// qlscan --daemon --ping: ping the daemon at socketPath (the default one when empty) and print
// whether it answers. kExitClean when it does, kExitTrouble when it does not.
int runDaemonPing(const std::string &socketPath, int timeoutMs);

}  // namespace ql::tools

#endif  // QL_TOOLS_DAEMON_CLIENT_H
