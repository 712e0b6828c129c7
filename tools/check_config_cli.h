// qlscan's configuration check: the interface daemon's settings, the installed engine and its
// configuration, read with the daemon's and the library's own readers, as a start-up would.
#ifndef QL_TOOLS_CHECK_CONFIG_CLI_H
#define QL_TOOLS_CHECK_CONFIG_CLI_H

#include <cstdio>

namespace ql::tools {

inline constexpr int kExitWouldStart = 0;
inline constexpr int kExitWouldNotStart = 1;

// Print to out the effective values the daemon would use (settings file, socket and its access,
// pid file, instances, request timeout, error replies, log, engine and its paths) and every
// problem: "error:" lines for what keeps the daemon from starting (missing settings file, socket
// path too long or its folder missing, no engine installed, engine configuration missing, engine
// paths empty, engine daemon not running, core library missing or without its entry points, the
// engine not opening), "warning:" lines for values that are ignored or replaced by a default,
// and paths the daemon works without. The engine is opened and closed once, as the daemon would,
// without starting an engine daemon. Returns kExitWouldStart or kExitWouldNotStart.
int runCheckConfig(std::FILE *out);

}  // namespace ql::tools

#endif  // QL_TOOLS_CHECK_CONFIG_CLI_H
