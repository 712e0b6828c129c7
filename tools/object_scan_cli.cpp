#include "tools/object_scan_cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <map>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "tools/cli_common.h"

namespace ql::tools {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(250);
constexpr std::size_t kProgressWidth = 60;

// QL_PromptFn carries no context: the prompt and the event printer meet through this.
class Reporter;
Reporter *activeReporter = nullptr;

// Prints findings and actions, and the progress line on a terminal.
class Reporter {
  public:
    Reporter() : progress_(isatty(STDERR_FILENO) != 0) { activeReporter = this; }
    ~Reporter() {
        clearProgress();
        activeReporter = nullptr;
    }
    Reporter(const Reporter &) = delete;
    Reporter &operator=(const Reporter &) = delete;

    EventCallback callback() { return {&Reporter::onEvent, this}; }
    // Print "path: text" as a line of its own.
    void line(const char *path, const std::string &text);
    // The infection last reported for path, or "".
    std::string findingOf(const char *path) const;
    void clearProgress();

  private:
    static int onEvent(const char *name, int32_t kind, int32_t event, const char *infection,
                       const char *message, void *user);
    void report(const char *name, int32_t event, const char *infection, const char *message);
    void showProgress(const char *name);

    bool progress_;
    bool progressShown_ = false;
    unsigned long objects_ = 0;
    std::chrono::steady_clock::time_point lastProgress_{};
    std::map<std::string, std::string> findings_;
};

void Reporter::line(const char *path, const std::string &text) {
    clearProgress();
    std::printf("%s: %s\n", printable(path).c_str(), text.c_str());
    std::fflush(stdout);
}

std::string Reporter::findingOf(const char *path) const {
    auto found = findings_.find(path);
    return found != findings_.end() ? found->second : "";
}

void Reporter::clearProgress() {
    if (progressShown_) {
        std::fputs("\r\033[K", stderr);
        progressShown_ = false;
    }
}

void Reporter::showProgress(const char *name) {
    objects_++;
    auto now = std::chrono::steady_clock::now();
    if (!progress_ || now - lastProgress_ < kProgressInterval) {
        return;
    }
    lastProgress_ = now;
    std::string shown = printable(name);
    if (shown.size() > kProgressWidth) {
        shown.erase(0, shown.size() - kProgressWidth);
    }
    std::fprintf(stderr, "\r\033[KScanning (%lu): %s", objects_, shown.c_str());
    progressShown_ = true;
}

int Reporter::onEvent(const char *name, int32_t, int32_t event, const char *infection,
                      const char *message, void *user) {
    static_cast<Reporter *>(user)->report(name != nullptr ? name : "", event,
                                          infection != nullptr ? infection : "",
                                          message != nullptr ? message : "");
    return 0;
}

void Reporter::report(const char *name, int32_t event, const char *infection, const char *message) {
    showProgress(name);
    std::string found = infection[0] != '\0' ? infection : findingOf(name);
    std::string named = found.empty() ? "" : found + " ";
    switch (event) {
        case QL_EV_CLEAN:
            return;
        case QL_EV_INFECTED:
            findings_[name] = found;
            return line(name, named + "FOUND");
        case QL_EV_SUSPICIOUS:
            findings_[name] = found;
            return line(name, named + "SUSPICIOUS");
        case QL_EV_DISINFECTED:
            return line(name, named + "disinfected");
        case QL_EV_DISINFECT_FAILED:
            findings_[name] = found;
            return line(name, named + "FOUND, disinfection failed");
        case QL_EV_DELETED:
            return line(name, named + "deleted");
        case QL_EV_RENAMED:
            return line(name, named + "renamed");
        case QL_EV_QUARANTINED:
            return line(name, named + "quarantined");
        case QL_EV_DELETE_FAILED:
            return line(name, named + "delete failed: " + message);
        case QL_EV_RENAME_FAILED:
            return line(name, named + "rename failed: " + message);
        case QL_EV_QUARANTINE_FAILED:
            return line(name, named + "quarantine failed: " + message);
        case QL_EV_NO_ACTION:
            // Some engines report a finding only with the (absent) action taken on it.
            if (findings_.count(name) == 0) {
                findings_[name] = found;
                line(name, named + "FOUND");
            }
            return;
        case QL_EV_CORRUPTED:
            return line(name, "corrupted");
        case QL_EV_ENCRYPTED:
            return line(name, "encrypted");
        case QL_EV_FAILED:
            // The engine's own text may end in its line's CR.
            return line(name, "ERROR " + (message[0] != '\0' ? printable(trimmed(message))
                                                             : std::string("failed")));
        default:
            return;
    }
}

// The terminal the prompt talks to: /dev/tty, else stdin when it is a terminal.
struct Terminal {
    UniqueFile owned;
    std::FILE *in = nullptr;
    std::FILE *out = nullptr;
};

Terminal openTerminal() {
    Terminal terminal;
    int fd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        terminal.owned.reset(fdopen(fd, "r+"));
        if (!terminal.owned) {
            close(fd);
        }
    }
    if (terminal.owned) {
        terminal.in = terminal.out = terminal.owned.get();
    } else if (isatty(STDIN_FILENO) != 0) {
        terminal.in = stdin;
        terminal.out = stderr;
    }
    return terminal;
}

int actionOfAnswer(const char *answer, char *argument) {
    while (std::isspace(static_cast<unsigned char>(*answer)) != 0) {
        answer++;
    }
    switch (std::tolower(static_cast<unsigned char>(*answer))) {
        case 'd':
            return QL_ACT_DELETE;
        case 'r':
            copyBounded(argument, QL_PATH_MAX, kPromptRenameExtension);
            return QL_ACT_RENAME;
        case 'q':
            return rootedPath(kPromptQuarantineDir, argument, QL_PATH_MAX) < 0 ? QL_ACT_NONE
                                                                               : QL_ACT_QUARANTINE;
        default:
            return QL_ACT_NONE;
    }
}

// Leave an infected file as it is, and say so.
int leaveInPlace(const char *path, const std::string &finding, const char *why) {
    if (activeReporter != nullptr) {
        activeReporter->line(path, (finding.empty() ? "" : finding + " ") + why);
    }
    return QL_ACT_NONE;
}

// Ask on the terminal what to do with an infected file; without a terminal nothing is done.
int askOnTerminal(const char *path, char *argument) {
    static Terminal terminal = openTerminal();
    std::string finding;
    if (activeReporter != nullptr) {
        activeReporter->clearProgress();
        finding = activeReporter->findingOf(path);
    }
    if (terminal.in == nullptr) {
        return leaveInPlace(path, finding, "left in place (no terminal to ask)");
    }
    std::fflush(stdout);
    std::fprintf(terminal.out,
                 "%s%s%s: [d]elete, [r]ename to .%s, [q]uarantine, anything else leaves it? ", path,
                 finding.empty() ? "" : " ", finding.c_str(), kPromptRenameExtension);
    std::fflush(terminal.out);
    char answer[64];
    int action = QL_ACT_NONE;
    if (std::fgets(answer, sizeof answer, terminal.in) != nullptr) {
        action = actionOfAnswer(answer, argument);
    } else {
        std::fputc('\n', terminal.out);
    }
    return action == QL_ACT_NONE ? leaveInPlace(path, finding, "left in place") : action;
}

void printSummary(const ScanReport &report) {
    struct Row {
        const char *label;
        uint32_t value;
    };
    const Row rows[] = {
        {"Directories scanned", report.dirsScanned},
        {"Objects scanned", report.objectsScanned},
        {"Clean", report.cleanObjects},
        {"Infected", report.infectedObjects},
        {"Suspicious", report.suspiciousObjects},
        {"Infections", report.infections},
        {"Disinfected", report.disinfectedObjects},
        {"Disinfection failed", report.disinfectFailed},
        {"Deleted", report.deletedObjects},
        {"Renamed", report.renamedObjects},
        {"Quarantined", report.quarantinedObjects},
        {"Corrupted", report.corruptedObjects},
        {"Encrypted", report.encryptedObjects},
        {"Scan errors", report.scanErrors},
        {"Actions failed", report.actionFailed},
    };
    std::printf("\n----------- SCAN SUMMARY -----------\n");
    for (const Row &row : rows) {
        std::printf("%-21s%u\n", (std::string(row.label) + ":").c_str(), row.value);
    }
    std::fflush(stdout);
}

bool isUnfollowedLink(const std::string &path, uint32_t scanOpts) {
    struct stat st {};
    return (scanOpts & QL_OPT_LINK) == 0 && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int exitStatusOf(int results, bool failed, const ScanReport &report) {
    constexpr int kFound = QL_RES_INFECTED | QL_RES_SUSPICIOUS | QL_RES_DISINFECTED;
    if ((results & kFound) != 0 || report.infectedObjects != 0 || report.suspiciousObjects != 0) {
        return kExitFound;
    }
    if (failed || (results & QL_RES_ERROR) != 0 || report.scanErrors != 0 ||
        report.actionFailed != 0) {
        return kExitTrouble;
    }
    return kExitClean;
}

}  // namespace

int runObjectScan(const std::string &confPath, const ObjectScanSettings &settings,
                  const std::vector<std::string> &paths) {
    EngineHandle engine = openEngine(confPath);
    if (!engine) {
        return kExitTrouble;
    }
    std::vector<const char *> texts;
    for (const std::string &text : settings.texts) {
        texts.push_back(text.c_str());
    }
    Reporter reporter;
    ScanReport report;
    QL_InitScanReport(&report);
    report.events = reporter.callback();
    int results = QL_RES_CLEAN;
    bool failed = false;
    for (const std::string &path : paths) {
        if (isUnfollowedLink(path, settings.scanOpts)) {
            reporter.line(path.c_str(), "symbolic link, not followed (see --follow-links)");
            continue;
        }
        ObjectRequest request;
        QL_InitObjectRequest(&request);
        request.path = path.c_str();
        request.scanOpts = settings.scanOpts;
        request.actOpts = settings.actOpts;
        request.prompt = settings.actOpts == QL_ACT_PROMPT ? &askOnTerminal : nullptr;
        int result = QL_ScanObject(engine.get(), &request, &report, static_cast<int>(texts.size()),
                                   texts.data());
        if (result < 0) {
            reporter.line(path.c_str(), std::string("ERROR ") + QL_GetErrorText());
            failed = true;
        } else {
            results |= result;
        }
    }
    reporter.clearProgress();
    printSummary(report);
    return exitStatusOf(results, failed, report);
}

}  // namespace ql::tools
