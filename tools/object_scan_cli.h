// qlscan's object-scan mode: files and directory trees scanned through QL_ScanObject with the
// installed engine, one line per finding and per action, a summary of the counters at the end.
#ifndef QL_TOOLS_OBJECT_SCAN_CLI_H
#define QL_TOOLS_OBJECT_SCAN_CLI_H

#include <string>
#include <vector>

#include "tools/object_scan_options.h"

namespace ql::tools {

// Scan each path with the engine configured in confPath. Findings and actions go to stdout,
// progress to stderr when it is a terminal; with --ask the terminal is asked about each
// infected file. Returns kExitClean, kExitFound or kExitTrouble.
int runObjectScan(const std::string &confPath, const ObjectScanSettings &settings,
                  const std::vector<std::string> &paths);

}  // namespace ql::tools

#endif  // QL_TOOLS_OBJECT_SCAN_CLI_H
