// One client connection of the stand-in engine daemon: the greeting, then commands until QUIT,
// the peer closing, or the daemon stopping.
//
//   SCAN <letters> <path>  per-object 3xx lines, then one final line (the path is the rest of
//                          the line after the letters and may hold blanks; letters are ignored)
//   INFO                   the 201 line
//   QUIT                   "200 Goodbye", then the connection closes
#ifndef QL_STANDINS_QORND_SESSION_H
#define QL_STANDINS_QORND_SESSION_H

#include <atomic>
#include <string>
#include <vector>

#include "standins/common/matcher.h"

namespace ql::qornd {

// What a SCAN command gets back.
struct ScanReply {
    enum class Switch { None, Hang, Drop };
    std::vector<std::string> lines;  // each ending in CR LF; the final line last
    Switch testSwitch = Switch::None;
    int delayMs = 0;
};

// The reply to scanning path: "3xx-<name> /" for the file itself, "3xx-<name> /<member>" for a
// member of a plain tar archive (announced by "325-tar /"), "330-/<member>" for a clean member,
// and the final line: 220 clean, 221 disinfected, 230 infected, 231 disinfection failed, 232
// suspicious, 234 corrupted, 240 encrypted, 241 engine error, an error5xx signature's own line,
// or "501 <C library text>" for a path that cannot be read.
[[nodiscard]] ScanReply scanPath(const standin::Matcher &matcher, const std::string &path);

// The greeting and INFO line (seven blank-separated fields), with CR LF.
[[nodiscard]] std::string infoLine(std::size_t signatureCount);

// Serve the connection on fd until QUIT, the peer closes, or stopping becomes true; closes fd.
void serveConnection(int fd, const standin::Matcher &matcher, const std::atomic<bool> &stopping);

}  // namespace ql::qornd

#endif  // QL_STANDINS_QORND_SESSION_H
