// qlscan's process-scan mode: the running processes scanned through QL_ScanProcesses with the
// installed engine, one line per finding and the infected process at the end.
#ifndef QL_TOOLS_PROCESS_SCAN_CLI_H
#define QL_TOOLS_PROCESS_SCAN_CLI_H

#include <cstdio>
#include <string>

namespace ql::tools {

// The help lines of the process-scan options.
void printProcessScanHelp(std::FILE *out);

// Scan the running processes (with openFiles also the regular files they hold open) with the
// engine configured in confPath. Prints "pid <pid> <executable or open file>: <name> FOUND" (or
// SUSPICIOUS) per finding and "infected process: <pid>" when there is one; objects that could
// not be scanned go to stderr, as processes come and go during the walk. Returns kExitFound when
// something was found, kExitTrouble when the walk could not be made, else kExitClean.
int runProcessScan(const std::string &confPath, bool openFiles);

}  // namespace ql::tools

#endif  // QL_TOOLS_PROCESS_SCAN_CLI_H
