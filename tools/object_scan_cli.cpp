#include "tools/object_scan_cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

#include "api/object_scan.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "tools/cli_common.h"

namespace ql::tools {

namespace {

constexpr const char *kPromptQuarantineDir = "/var/Quellar/var/quarantine/kestra";
constexpr const char *kPromptRenameExtension = "qlt";
constexpr auto kProgressInterval = std::chrono::milliseconds(250);
constexpr std::size_t kProgressWidth = 60;

struct OptionSpec {
    const char *name;
    int hasArg;
};

constexpr OptionSpec kOptions[] = {
    {"follow-links", no_argument},
    {"cross-devices", no_argument},
    {"no-recurse", no_argument},
    {"include-ext", required_argument},
    {"exclude-ext", required_argument},
    {"exclude-dir", required_argument},
    {"max-depth", required_argument},
    {"max-size", required_argument},
    {"delete", no_argument},
    {"rename", required_argument},
    {"quarantine", required_argument},
    {"ask", no_argument},
};

struct ScanSwitch {
    std::string_view name;
    uint32_t bit;
};

constexpr ScanSwitch kSwitches[] = {
    {"follow-links", QL_OPT_LINK},
    {"cross-devices", QL_OPT_XDEV},
    {"no-recurse", QL_OPT_NO_RECURSE},
};

// Options with a value that go into the request as one scan bit and one extra data text.
struct ValueOption {
    std::string_view name;
    uint32_t bit;
    const char *keyword;
};

constexpr ValueOption kValueOptions[] = {
    {"include-ext", QL_OPT_SCAN_EXT, "SEXT::"},  {"exclude-ext", QL_OPT_SKIP_EXT, "XEXT::"},
    {"exclude-dir", QL_OPT_SKIP_DIRS, "XDIR::"}, {"max-depth", QL_OPT_DEPTH, "DPTH::"},
    {"max-size", QL_OPT_SIZE, "SIZE::"},
};

std::string quoted(std::string_view name) {
    return "--" + std::string(name);
}

bool allDigits(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

bool hasBlank(std::string_view text) {
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            return true;
        }
    }
    return false;
}

// A depth of 1 to 64 directory levels.
bool validDepth(std::string_view text) {
    return allDigits(text) && text.size() <= 2 && std::atoi(std::string(text).c_str()) >= 1 &&
           std::atoi(std::string(text).c_str()) <= 64;
}

// A size above 0: digits with an optional unit b, k or m (KB without one).
bool validSize(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    std::string_view digits = text;
    char unit = static_cast<char>(std::tolower(static_cast<unsigned char>(text.back())));
    if (unit == 'b' || unit == 'k' || unit == 'm') {
        digits.remove_suffix(1);
    }
    if (!allDigits(digits) || digits.size() > 12) {
        return false;
    }
    return std::strtoull(std::string(digits).c_str(), nullptr, 10) > 0;
}

std::string checkListValue(std::string_view name, std::string_view value) {
    if (value.empty() || hasBlank(value)) {
        return quoted(name) + " takes a ':'-separated list without blanks";
    }
    if (value.size() >= QL_PATH_MAX) {
        return quoted(name) + " list is too long";
    }
    return "";
}

// The reason a value is refused, or "" when it is good.
std::string checkValue(std::string_view name, std::string_view value) {
    if (name == "max-depth") {
        return validDepth(value) ? "" : "--max-depth takes a number of levels from 1 to 64";
    }
    if (name == "max-size") {
        return validSize(value) ? ""
                                : "--max-size takes a size above 0: digits with an optional "
                                  "unit b, k or m (KB without one)";
    }
    return checkListValue(name, value);
}

bool takeAction(std::string_view name, int32_t action, ObjectScanSettings &settings,
                std::string &error) {
    if (settings.actOpts != QL_ACT_NONE) {
        error = quoted(settings.actionOption) + " and " + quoted(name) + " cannot be combined";
        return false;
    }
    settings.actOpts = action;
    settings.actionOption = std::string(name);
    return true;
}

bool takeRename(const char *value, ObjectScanSettings &settings, std::string &error) {
    std::string_view extension(value);
    if (extension.empty() || hasBlank(extension) || extension.find('/') != std::string_view::npos ||
        extension.size() >= QL_VALUE_MAX) {
        error = "--rename takes an extension without blanks or '/'";
        return false;
    }
    settings.texts.push_back("REXT::" + std::string(extension));
    return takeAction("rename", QL_ACT_RENAME, settings, error);
}

bool takeQuarantine(const char *value, ObjectScanSettings &settings, std::string &error) {
    char directory[QL_PATH_MAX];
    struct stat st {};
    if (QL_GetAbsolutePath(value, nullptr, directory) < 0 || stat(directory, &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        error = std::string("--quarantine: '") + value + "' is not a directory";
        return false;
    }
    // The library refuses it for every finding; say so once, before anything is scanned.
    if (lstat(directory, &st) != 0 || S_ISLNK(st.st_mode) ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = std::string("--quarantine: '") + value +
                "' is a symbolic link or writable by others than its owner";
        return false;
    }
    if (std::strlen(directory) >= QL_VALUE_MAX || hasBlank(directory)) {
        error = std::string("--quarantine: '") + directory +
                "' cannot be used (at most 255 characters, no blanks at its ends)";
        return false;
    }
    settings.texts.push_back(std::string("QDIR::") + directory);
    return takeAction("quarantine", QL_ACT_QUARANTINE, settings, error);
}

// Which option the library's filter dropped, by the bits it cleared.
std::string droppedOption(uint32_t dropped) {
    if ((dropped & QL_OPT_XDEV) != 0) {
        return "--cross-devices needs --follow-links";
    }
    for (const ValueOption &option : kValueOptions) {
        if ((dropped & option.bit) != 0) {
            return quoted(option.name) + " value was refused";
        }
    }
    return "the scan options were refused";
}

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

void appendObjectScanOptions(std::vector<option> &options, int val) {
    for (const OptionSpec &spec : kOptions) {
        options.push_back({spec.name, spec.hasArg, nullptr, val});
    }
}

bool takeObjectScanOption(std::string_view name, const char *value, ObjectScanSettings &settings,
                          std::string &error) {
    for (const ScanSwitch &entry : kSwitches) {
        if (entry.name == name) {
            settings.scanOpts |= entry.bit;
            return true;
        }
    }
    for (const ValueOption &entry : kValueOptions) {
        if (entry.name != name) {
            continue;
        }
        if ((settings.scanOpts & entry.bit) != 0) {
            error = quoted(name) + " is given twice";
            return false;
        }
        error = checkValue(name, value);
        if (!error.empty()) {
            return false;
        }
        settings.scanOpts |= entry.bit;
        settings.texts.push_back(entry.keyword + std::string(value));
        return true;
    }
    if (name == "delete") {
        return takeAction(name, QL_ACT_DELETE, settings, error);
    }
    if (name == "ask") {
        return takeAction(name, QL_ACT_PROMPT, settings, error);
    }
    if (name == "rename") {
        return takeRename(value, settings, error);
    }
    if (name == "quarantine") {
        return takeQuarantine(value, settings, error);
    }
    error = "unknown option " + quoted(name);
    return false;
}

bool checkObjectScanSettings(const ObjectScanSettings &settings, std::string &error) {
    if ((settings.scanOpts & QL_OPT_SCAN_EXT) != 0 && (settings.scanOpts & QL_OPT_SKIP_EXT) != 0) {
        error = "--include-ext and --exclude-ext cannot be combined";
        return false;
    }
    std::vector<const char *> texts;
    for (const std::string &text : settings.texts) {
        texts.push_back(text.c_str());
    }
    ExtraData extra;
    QL_InitExtraData(&extra);
    ScopeGuard freeDirs([&extra] { std::free(extra.excludeDirs); });
    ObjectRequest request{"", settings.scanOpts, settings.actOpts, &askOnTerminal};
    if (QL_ExtraDataList(nullptr, static_cast<int>(texts.size()), texts.data(), request.scanOpts,
                         request.actOpts, &extra) < 0 ||
        QL_FilterOptions(nullptr, &request, &extra) < 0) {
        error = std::string("the options cannot be used: ") + QL_GetErrorText();
        return false;
    }
    if (request.scanOpts != settings.scanOpts) {
        error = droppedOption(settings.scanOpts & ~request.scanOpts);
        return false;
    }
    if (request.actOpts != settings.actOpts) {
        error = quoted(settings.actionOption) + " value was refused";
        return false;
    }
    return true;
}

void printObjectScanHelp(std::FILE *out) {
    std::fprintf(
        out,
        "Object scans (the default mode):\n"
        "  --follow-links       follow symbolic links and walk directories level by level\n"
        "                       (without it a link given as PATH is skipped and a directory\n"
        "                       is handed to the engine as one object)\n"
        "  --cross-devices      with --follow-links: also walk into other file systems\n"
        "  --no-recurse         do not descend into subdirectories\n"
        "  --include-ext LIST   scan only files with these extensions (LIST: exe:com:doc)\n"
        "  --exclude-ext LIST   skip files with these extensions\n"
        "  --exclude-dir LIST   skip these directories (LIST: /a:/b)\n"
        "  --max-depth N        descend at most N directory levels (1 to 64)\n"
        "  --max-size SIZE      skip files larger than SIZE: digits with an optional unit\n"
        "                       b, k or m (KB without one)\n"
        "Action on an infected or suspicious file (one at most; default: none):\n"
        "  --delete             delete it\n"
        "  --rename EXT         rename it to FILE.EXT (EXT without '/')\n"
        "  --quarantine DIR     move it into the directory DIR (no link, writable by its\n"
        "                       owner only), leaving it readable by its owner only\n"
        "An action touches only the file scanned: it fails when a folder on the way to the\n"
        "file is a symbolic link, or the file was replaced during the scan.\n"
        "  --ask                ask on the terminal for each one: delete, rename to .%s,\n"
        "                       quarantine into %s (under QL_ROOT),\n"
        "                       or leave it; without a terminal nothing is done\n"
        "Prints \"PATH: NAME FOUND\" (or SUSPICIOUS) per finding, \"PATH: NAME <action>\" per\n"
        "action, \"PATH: ERROR <reason>\" per object that could not be scanned, then a summary\n"
        "of the counters; progress goes to stderr when it is a terminal. Exit status: 0\n"
        "nothing found, 1 something found, 2 nothing found but an object could not be\n"
        "scanned or acted on, or the engine could not be used.\n",
        kPromptRenameExtension, kPromptQuarantineDir);
}

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
