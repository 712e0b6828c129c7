// qlscan: the command-line front end of the scanning service.
//
//   qlscan --daemon [--socket PATH] [--timeout SECONDS] FILE...
//
// Exit status: 0 every file clean, 1 something was found (or the scan failed on a file),
// 2 the service could not be used at all (bad usage, daemon not reachable).
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ql/qlscan.h"
#include "tools/daemon_client.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitFound = 1;
constexpr int kExitTrouble = 2;

struct Options {
    bool daemon = false;
    std::string socketPath;
    int timeoutMs = 150 * 1000;
    std::vector<std::string> files;
};

void usage(std::FILE *out) {
    std::fprintf(out,
                 "Usage: qlscan --daemon [--socket PATH] [--timeout SECONDS] FILE...\n"
                 "\n"
                 "Ask the interface daemon whether each FILE is clean.\n"
                 "  --daemon           scan through the running interface daemon\n"
                 "  --socket PATH      the daemon's socket (default: from interface.conf)\n"
                 "  --timeout SECONDS  bound of each wait for the daemon (default 150)\n"
                 "  -h, --help         show this help\n"
                 "\n"
                 "Prints \"FILE: OK\" or \"FILE: <reason>\" per file. Exit status: 0 all clean,\n"
                 "1 something found or a file could not be scanned, 2 the daemon could not be\n"
                 "reached or the command line is wrong.\n");
}

// Parse the command line; returns -1 to go on, or the exit status to end with.
int parseOptions(int argc, char **argv, Options &options) {
    static const option longOptions[] = {
        {"daemon", no_argument, nullptr, 'd'},
        {"socket", required_argument, nullptr, 's'},
        {"timeout", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'd':
                options.daemon = true;
                break;
            case 's':
                options.socketPath = optarg;
                break;
            case 't': {
                char *end = nullptr;
                long seconds = std::strtol(optarg, &end, 10);
                if (end == optarg || *end != '\0' || seconds < 1 || seconds > 3600) {
                    std::fprintf(stderr, "qlscan: --timeout takes 1 to 3600 seconds\n");
                    return kExitTrouble;
                }
                options.timeoutMs = static_cast<int>(seconds * 1000);
                break;
            }
            case 'h':
                usage(stdout);
                return kExitClean;
            default:
                usage(stderr);
                return kExitTrouble;
        }
    }
    options.files.assign(argv + optind, argv + argc);
    if (!options.daemon || options.files.empty()) {
        usage(stderr);
        return kExitTrouble;
    }
    return -1;
}

int scanThroughDaemon(const Options &options) {
    std::string socketPath =
        options.socketPath.empty() ? ql::tools::defaultSocketPath() : options.socketPath;
    int status = kExitClean;
    for (const std::string &file : options.files) {
        char absolute[QL_PATH_MAX];
        if (QL_GetAbsolutePath(file.c_str(), nullptr, absolute) < 0) {
            std::printf("%s: %s\n", file.c_str(), QL_GetErrorText());
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
            std::printf("%s: OK\n", file.c_str());
        } else {
            bool found = reply.line.rfind("1 ", 0) == 0;
            std::printf("%s: %s\n", file.c_str(),
                        found ? reply.line.c_str() + 2 : reply.line.c_str());
            status = kExitFound;
        }
        std::fflush(stdout);
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    int status = parseOptions(argc, argv, options);
    if (status >= 0) {
        return status;
    }
    return scanThroughDaemon(options);
}
