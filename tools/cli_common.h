// What every mode of qlscan shares: the exit statuses, the engine configuration path and the
// opening of the engine.
#ifndef QL_TOOLS_CLI_COMMON_H
#define QL_TOOLS_CLI_COMMON_H

#include <string>
#include <string_view>

#include "api/engine_handle.h"
#include "ql/qlscan.h"

namespace ql::tools {

// Exit statuses, as scanners' command-line tools use them.
inline constexpr int kExitClean = 0;    // nothing found
inline constexpr int kExitFound = 1;    // something was found
inline constexpr int kExitTrouble = 2;  // bad usage, or the scan could not be done

// text with its control characters written as \n, \r, \t or \xHH, so that a file name can
// never break or fake an output line.
std::string printable(std::string_view text);

// The engine configuration to open: configured when not empty, else /opt/Quellar/etc/qorn.conf
// under QL_ROOT. "" when QL_ROOT makes the default unusable (the message is printed).
std::string engineConfPath(const std::string &configured);

// Open the installed engine from confPath without starting an engine daemon. On failure prints
// "qlscan: ..." with the reason to stderr and returns an empty handle.
EngineHandle openEngine(const std::string &confPath);

}  // namespace ql::tools

#endif  // QL_TOOLS_CLI_COMMON_H
