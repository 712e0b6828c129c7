#include "tools/process_scan_cli.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string_view>

#include "ql/qlscan.h"
#include "tools/cli_common.h"

namespace ql::tools {

namespace {

// Where an object name of the walk leads: "<pid>" is the process's executable, "(<pid>)FD:<fd>"
// one of its open files. Returns the pid text and, when it can still be read, the file.
struct ObjectOfWalk {
    std::string pid;
    std::string file;
};

std::string linkTarget(const std::string &link) {
    char target[PATH_MAX];
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "";
}

ObjectOfWalk objectOf(std::string_view name, int32_t kind) {
    ObjectOfWalk object;
    std::size_t fdMark = name.find(")FD:");
    if (name.rfind('(', 0) == 0 && fdMark != std::string_view::npos) {
        object.pid = std::string(name.substr(1, fdMark - 1));
        object.file =
            linkTarget("/proc/" + object.pid + "/fd/" + std::string(name.substr(fdMark + 4)));
    } else {
        object.pid = std::string(name);
        // An open file named by its process only: which of its files it was is not told.
        object.file = kind == QL_OBJ_PROCESS ? linkTarget("/proc/" + object.pid + "/exe") : "";
    }
    return object;
}

std::string describe(const ObjectOfWalk &object, int32_t kind) {
    std::string text = "pid " + object.pid;
    if (kind == QL_OBJ_PROCESS_FILE) {
        text += " open file";
    }
    if (!object.file.empty()) {
        text += " " + object.file;
    }
    return text;
}

struct Printer {
    bool found = false;

    static int onEvent(const char *name, int32_t kind, int32_t event, const char *infection,
                       const char *message, void *user) {
        auto *printer = static_cast<Printer *>(user);
        if (name == nullptr || (kind != QL_OBJ_PROCESS && kind != QL_OBJ_PROCESS_FILE)) {
            return 0;  // the start and end of the walk
        }
        // A finding carries its infection name; the KAV open-files-done event carries none.
        bool finding =
            (event == QL_RES_INFECTED || event == QL_RES_SUSPICIOUS) && infection != nullptr;
        if (finding) {
            printer->found = true;
            std::printf("%s: %s %s\n", printable(describe(objectOf(name, kind), kind)).c_str(),
                        infection, event == QL_RES_INFECTED ? "FOUND" : "SUSPICIOUS");
            std::fflush(stdout);
        } else if (event == QL_RES_ERROR && message != nullptr) {
            std::fprintf(stderr, "qlscan: %s: not scanned: %s\n",
                         printable(describe(objectOf(name, kind), kind)).c_str(), message);
        }
        return 0;
    }
};

}  // namespace

void printProcessScanHelp(std::FILE *out) {
    std::fprintf(out,
                 "Running processes:\n"
                 "  --processes        scan the executable of every running process this user\n"
                 "                     may read; prints \"pid PID FILE: NAME FOUND\" per finding\n"
                 "                     and \"infected process: PID\" (takes no PATH)\n"
                 "  --open-files       with --processes, also the regular files they hold open\n");
}

int runProcessScan(const std::string &confPath, bool openFiles) {
    EngineHandle engine = openEngine(confPath);
    if (!engine) {
        return kExitTrouble;
    }
    Printer printer;
    int32_t infectedPid = 0;
    int result = QL_ScanProcesses(engine.get(), &infectedPid, openFiles ? 1 : 0, &Printer::onEvent,
                                  &printer);
    if (result < 0) {
        std::fprintf(stderr, "qlscan: the process scan failed: %s\n", QL_GetErrorText());
        return kExitTrouble;
    }
    if (infectedPid != 0) {
        std::printf("infected process: %d\n", static_cast<int>(infectedPid));
    }
    bool found =
        printer.found || infectedPid != 0 || (result & (QL_RES_INFECTED | QL_RES_SUSPICIOUS)) != 0;
    return found ? kExitFound : kExitClean;
}

}  // namespace ql::tools
