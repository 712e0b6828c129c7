#include "tools/object_scan_options.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "api/object_scan.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"

namespace ql::tools {

namespace {

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

// The filter only asks whether the request has a prompt.
int noPrompt(const char * /*path*/, char * /*argument*/) {
    return QL_ACT_NONE;
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
    ObjectRequest request{"", settings.scanOpts, settings.actOpts, &noPrompt};
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

}  // namespace ql::tools
