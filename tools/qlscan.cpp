// qlscan: the command-line front end of the scanning service.
//
//   qlscan [options] PATH...                               scan with the installed engine
//   qlscan --daemon [--socket PATH] [--timeout SECONDS] FILE...  ask the interface daemon
//   qlscan --processes [--open-files]                      scan the running processes
//   qlscan --daemon --ping [--socket PATH] [--timeout SECONDS]   does the daemon answer?
//   qlscan --check-config                                  would the daemon start?
//
// This file reads the command line and hands it to one mode; each mode lives in a unit of its
// own (tools/object_scan_cli.*, ...). Exit status: 0 nothing found, 1 something found, 2 bad
// usage or the scan could not be done (see each mode's help).
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ql/qlscan.h"
#include "tools/check_config_cli.h"
#include "tools/cli_common.h"
#include "tools/daemon_client.h"
#include "tools/object_scan_cli.h"
#include "tools/process_scan_cli.h"

namespace {

using ql::tools::kExitClean;
using ql::tools::kExitFound;
using ql::tools::kExitTrouble;

enum class Mode { Objects, Daemon, Processes };

// getopt values; the object-scan options share one and are told apart by name.
enum OptionCode : int {
    kHelp = 'h',
    kDaemon = 1000,
    kSocket,
    kTimeout,
    kConfig,
    kObjectScan,
    kProcesses,
    kOpenFiles,
    kPing,
    kCheckConfig,
};

struct Options {
    Mode mode = Mode::Objects;
    std::string configPath;
    std::string socketPath;
    int timeoutMs = 150 * 1000;
    bool openFiles = false;
    bool ping = false;
    bool checkConfig = false;
    ql::tools::ObjectScanSettings objects;
    std::vector<std::string> paths;
};

void usage(std::FILE *out) {
    std::fprintf(out,
                 "Usage: qlscan [OPTION]... PATH...\n"
                 "       qlscan --daemon [--socket PATH] [--timeout SECONDS] FILE...\n"
                 "       qlscan --processes [--open-files]\n"
                 "\n"
                 "Scan files and directory trees with the installed engine, or ask the running\n"
                 "interface daemon about single files.\n"
                 "\n"
                 "General:\n"
                 "  --config FILE      engine configuration (default "
                 "/opt/Quellar/etc/qorn.conf\n"
                 "                     under QL_ROOT)\n"
                 "  -h, --help         show this help\n"
                 "\n");
    ql::tools::printObjectScanHelp(out);
    std::fprintf(out, "\n");
    ql::tools::printProcessScanHelp(out);
    std::fprintf(out,
                 "\n"
                 "Through the interface daemon:\n"
                 "  --daemon           scan each FILE through the running interface daemon;\n"
                 "                     prints \"FILE: OK\" or \"FILE: <reason>\"\n"
                 "  --socket PATH      the daemon's socket (default: from interface.conf)\n"
                 "  --timeout SECONDS  bound of each wait for the daemon (1 to 3600, default 150)\n"
                 "  --ping             with --daemon and no FILE: say whether the daemon answers\n"
                 "                     (exit 0 it does, 2 it does not)\n"
                 "\n"
                 "Operations:\n"
                 "  --check-config     check the daemon's settings and the installed engine as a\n"
                 "                     start would; exit 1 when the daemon would not start\n"
                 "\n"
                 "Exit status: 0 nothing found, 1 something found (with --daemon also a file the\n"
                 "daemon could not scan), 2 wrong command line or the scan could not be done.\n");
}

int badUsage(const std::string &reason) {
    std::fprintf(stderr, "qlscan: %s\nTry 'qlscan --help' for more information.\n", reason.c_str());
    return kExitTrouble;
}

std::vector<option> longOptions() {
    std::vector<option> options = {
        {"help", no_argument, nullptr, kHelp},
        {"config", required_argument, nullptr, kConfig},
        {"daemon", no_argument, nullptr, kDaemon},
        {"socket", required_argument, nullptr, kSocket},
        {"timeout", required_argument, nullptr, kTimeout},
        {"processes", no_argument, nullptr, kProcesses},
        {"open-files", no_argument, nullptr, kOpenFiles},
        {"ping", no_argument, nullptr, kPing},
        {"check-config", no_argument, nullptr, kCheckConfig},
    };
    ql::tools::appendObjectScanOptions(options, kObjectScan);
    options.push_back({nullptr, 0, nullptr, 0});
    return options;
}

bool parseTimeout(const char *text, int &timeoutMs) {
    char *end = nullptr;
    long seconds = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || seconds < 1 || seconds > 3600) {
        return false;
    }
    timeoutMs = static_cast<int>(seconds * 1000);
    return true;
}

// Check that the options given belong to the chosen mode.
int checkMode(const Options &options, bool objectOptionsGiven, bool daemonOptionsGiven) {
    if (options.checkConfig) {
        bool alone = !options.ping && options.mode == Mode::Objects && options.paths.empty() &&
                     !objectOptionsGiven && !daemonOptionsGiven && options.configPath.empty();
        return alone ? -1 : badUsage("--check-config takes no other option and no PATH");
    }
    if (options.ping) {
        bool fits = options.mode == Mode::Daemon && options.paths.empty() && !objectOptionsGiven &&
                    options.configPath.empty();
        return fits ? -1 : badUsage("--ping goes with --daemon and takes no FILE");
    }
    if (options.mode == Mode::Processes) {
        if (!options.paths.empty() || objectOptionsGiven || daemonOptionsGiven) {
            return badUsage("--processes takes no PATH and only --open-files and --config");
        }
        return -1;
    }
    if (options.openFiles) {
        return badUsage("--open-files needs --processes");
    }
    if (options.paths.empty()) {
        return badUsage("no PATH to scan");
    }
    if (options.mode == Mode::Daemon) {
        if (objectOptionsGiven || !options.configPath.empty()) {
            return badUsage("--daemon takes only --socket and --timeout");
        }
        return -1;
    }
    if (daemonOptionsGiven) {
        return badUsage("--socket and --timeout need --daemon");
    }
    std::string error;
    if (!ql::tools::checkObjectScanSettings(options.objects, error)) {
        return badUsage(error);
    }
    return -1;
}

// Parse the command line; returns -1 to go on, or the exit status to end with.
int parseOptions(int argc, char **argv, Options &options) {
    std::vector<option> table = longOptions();
    bool objectOptionsGiven = false;
    bool daemonOptionsGiven = false;
    bool processes = false;
    int code;
    int index = -1;
    opterr = 0;
    while ((code = getopt_long(argc, argv, ":h", table.data(), &index)) != -1) {
        std::string error;
        switch (code) {
            case kHelp:
                usage(stdout);
                return kExitClean;
            case kConfig:
                options.configPath = optarg;
                break;
            case kDaemon:
                options.mode = Mode::Daemon;
                break;
            case kSocket:
                options.socketPath = optarg;
                daemonOptionsGiven = true;
                break;
            case kTimeout:
                if (!parseTimeout(optarg, options.timeoutMs)) {
                    return badUsage("--timeout takes 1 to 3600 seconds");
                }
                daemonOptionsGiven = true;
                break;
            case kPing:
                options.ping = true;
                break;
            case kCheckConfig:
                options.checkConfig = true;
                break;
            case kProcesses:
                processes = true;
                break;
            case kOpenFiles:
                options.openFiles = true;
                break;
            case kObjectScan:
                if (!ql::tools::takeObjectScanOption(table[index].name, optarg, options.objects,
                                                     error)) {
                    return badUsage(error);
                }
                objectOptionsGiven = true;
                break;
            case ':':
                return badUsage(std::string("option '") + argv[optind - 1] + "' needs a value");
            default:
                return badUsage(std::string("unknown option '") + argv[optind - 1] + "'");
        }
        index = -1;
    }
    options.paths.assign(argv + optind, argv + argc);
    if (processes) {
        if (options.mode == Mode::Daemon) {
            return badUsage("--processes and --daemon cannot be combined");
        }
        options.mode = Mode::Processes;
    }
    return checkMode(options, objectOptionsGiven, daemonOptionsGiven);
}

int scanThroughDaemon(const Options &options) {
    std::string socketPath =
        options.socketPath.empty() ? ql::tools::defaultSocketPath() : options.socketPath;
    int status = kExitClean;
    for (const std::string &file : options.paths) {
        char absolute[QL_PATH_MAX];
        if (QL_GetAbsolutePath(file.c_str(), nullptr, absolute) < 0) {
            std::printf("%s: %s\n", ql::tools::printable(file).c_str(), QL_GetErrorText());
            status = kExitFound;
            continue;
        }
        ql::tools::DaemonReply reply =
            ql::tools::askDaemon(socketPath, absolute, options.timeoutMs);
        if (!reply.reached) {
            std::fprintf(stderr, "qlscan: %s\n", reply.line.c_str());
            return kExitTrouble;
        }
        if (reply.line == "0") {
            std::printf("%s: OK\n", ql::tools::printable(file).c_str());
        } else {
            bool found = reply.line.rfind("1 ", 0) == 0;
            std::printf("%s: %s\n", ql::tools::printable(file).c_str(),
                        found ? reply.line.c_str() + 2 : reply.line.c_str());
            status = kExitFound;
        }
        std::fflush(stdout);
    }
    return status;
}

int scanObjects(const Options &options) {
    std::string confPath = ql::tools::engineConfPath(options.configPath);
    if (confPath.empty()) {
        return kExitTrouble;
    }
    return ql::tools::runObjectScan(confPath, options.objects, options.paths);
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    int status = parseOptions(argc, argv, options);
    if (status >= 0) {
        return status;
    }
    if (options.checkConfig) {
        return ql::tools::runCheckConfig(stdout);
    }
    if (options.ping) {
        return ql::tools::runDaemonPing(options.socketPath, options.timeoutMs);
    }
    switch (options.mode) {
        case Mode::Daemon:
            return scanThroughDaemon(options);
        case Mode::Processes:
            return ql::tools::runProcessScan(ql::tools::engineConfPath(options.configPath),
                                             options.openFiles);
        case Mode::Objects:
            break;
    }
    return scanObjects(options);
}
