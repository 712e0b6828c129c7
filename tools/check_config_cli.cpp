#include "tools/check_config_cli.h"

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "api/engine.h"
#include "common/iface_conf.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "daemon/daemon_state.h"
#include "daemon/interface_conf.h"
#include "engine/check_report.h"
#include "settings/ini_loader.h"
#include "settings/value_table.h"

namespace ql::tools {

namespace {

using daemon::InterfaceSettings;

constexpr const char *kEngineConfFile = "/opt/Quellar/etc/qorn.conf";

class Report final : public CheckReport {
  public:
    explicit Report(std::FILE *out) : out_(out) {}
    void value(const char *name, const std::string &text) override {
        std::fprintf(out_, "%-20s %s\n", name, text.c_str());
    }
    void warning(const std::string &text) override {
        std::fprintf(out_, "warning: %s\n", text.c_str());
    }
    void error(const std::string &text) override {
        ++errors_;
        std::fprintf(out_, "error: %s\n", text.c_str());
    }
    [[nodiscard]] int errors() const { return errors_; }

  private:
    std::FILE *out_;
    int errors_ = 0;
};

using ql::settings::UniqueTable;

std::string rooted(const char *fixed) {
    char path[QL_PATH_MAX];
    return rootedPath(fixed, path) < 0 ? std::string() : std::string(path);
}

bool exists(const std::string &path) {
    return !path.empty() && access(path.c_str(), F_OK) == 0;
}

std::string folderOf(const std::string &path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return "/";  // the daemon works in "/"
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string firstLine(const std::string &path) {
    UniqueFile file(std::fopen(path.c_str(), "re"));
    char line[QL_VALUE_MAX] = "";
    if (!file || std::fgets(line, sizeof line, file.get()) == nullptr) {
        return "";
    }
    line[std::strcspn(line, "\r\n")] = '\0';
    return line;
}

// A number the daemon takes only within low to high; another value is ignored without a word.
void checkIgnoredNumber(Report &report, const ValueTable *table, const char *key, int32_t low,
                        int32_t high, int32_t effective) {
    std::string name = std::string("postwicker:") + key;
    const char *raw = tableGet(table, name.c_str(), nullptr);
    if (raw == nullptr) {
        return;
    }
    int32_t number = tableGetNumber(table, name.c_str(), -1);
    if (number < low || number > high) {
        report.warning(std::string(key) + " = " + raw + " is outside " + std::to_string(low) + "-" +
                       std::to_string(high) + " and ignored; " + std::to_string(effective) +
                       " is used");
    }
}

// A yes/no key the daemon takes only as yes or no; another value leaves it no.
void checkIgnoredYesNo(Report &report, const ValueTable *table, const char *key) {
    std::string name = std::string("postwicker:") + key;
    const char *raw = tableGet(table, name.c_str(), nullptr);
    bool ignored = false;
    if (raw != nullptr && !daemon::yesNoOf(raw, &ignored)) {
        report.warning(std::string(key) + " = " + raw +
                       " is neither yes nor no and ignored; no is used");
    }
}

bool readSettings(Report &report, InterfaceSettings &settings) {
    std::string path = rooted(daemon::kInterfaceConfFile);
    if (path.empty()) {
        report.error("QL_ROOT is not an absolute path: no fixed path can be used");
        return false;
    }
    report.value("settings file", path);
    if (!exists(path)) {
        report.error(path + " is missing: the daemon logs \"Config error\" and ends");
        return false;
    }
    if (daemon::readInterfaceConf(path.c_str(), &settings) < 0) {
        report.error(path + " cannot be loaded: the daemon logs \"Config error\" and ends");
        return false;
    }
    if (access(path.c_str(), R_OK) != 0) {
        report.warning(path + " cannot be read: every setting takes its default");
    }
    UniqueTable table(tableCreate());
    if (table && iniLoad(table.get(), path.c_str()) != nullptr) {
        checkIgnoredNumber(report, table.get(), "MaxInstances", daemon::kMinInstances,
                           daemon::kMaxInstances, settings.maxInstances);
        checkIgnoredNumber(report, table.get(), "RequestTimeout", 1, daemon::kMaxRequestTimeout,
                           settings.requestTimeout);
        for (const daemon::ReplyKey &rule : daemon::kReplyKeys) {
            checkIgnoredYesNo(report, table.get(), rule.key);
        }
        checkIgnoredNumber(report, table.get(), "StopTimeout", 1, daemon::kMaxStopTimeout,
                           settings.stopTimeout);
    }
    return true;
}

void checkSocketAccess(Report &report, const InterfaceSettings &settings) {
    int32_t mode = daemon::socketModeOf(settings.sockMode);
    if (mode < 0) {
        report.warning(std::string("PostwickerSocketMode = ") + settings.sockMode +
                       " is not an octal mode from 0 to 0777; 0777 is used");
        mode = daemon::kDefaultSockMode;
    }
    char octal[8];
    formatBounded(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
    report.value("socket mode", octal);
    gid_t group = 0;
    if (settings.sockGroup[0] == '\0') {
        report.value("socket group", "(the daemon's own)");
    } else if (!daemon::socketGroupOf(settings.sockGroup, &group)) {
        report.value("socket group", "(the daemon's own)");
        report.warning(std::string("PostwickerSocketGroup = ") + settings.sockGroup +
                       " names no group; the socket keeps the daemon's group");
    } else {
        report.value("socket group",
                     std::string(settings.sockGroup) + " (gid " + std::to_string(group) + ")");
    }
}

void checkSocket(Report &report, const InterfaceSettings &settings) {
    std::string path = settings.sockPath;
    report.value("socket", orNone(settings.sockPath));
    if (path.empty()) {
        report.error("PostwickerSocket is empty: the daemon cannot bind");
    } else if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
        report.error("PostwickerSocket is " + std::to_string(path.size()) +
                     " characters long, a socket path holds at most " +
                     std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) +
                     ": the daemon refuses to start");
    } else if (!isDirectory(folderOf(path))) {
        report.error("the socket's folder " + folderOf(path) +
                     " is missing: the daemon cannot bind");
    } else if (path.front() != '/') {
        report.warning(
            "PostwickerSocket is relative: it is taken below \"/\", and the check for "
            "another running copy does not look at it");
    }
    checkSocketAccess(report, settings);
}

void checkClientAccess(Report &report, const InterfaceSettings &settings) {
    daemon::ClientAccess access = daemon::ClientAccess::kCheck;
    if (!daemon::clientAccessOf(settings.clientAccess, access)) {
        report.warning(std::string("ClientAccess = ") + settings.clientAccess +
                       " is neither check nor any; check is used");
    }
    report.value("client access", access == daemon::ClientAccess::kAny
                                      ? "any (every client learns about every file)"
                                      : "check (a client learns only about files it may read)");
}

void checkPidFile(Report &report, const InterfaceSettings &settings) {
    std::string path = settings.pidFilePath;
    report.value("pid file", orNone(settings.pidFilePath));
    if (path.empty()) {
        report.warning("PostwickerPID is empty: the daemon runs without a pid file");
    } else if (!isDirectory(folderOf(path))) {
        report.warning("the pid file's folder " + folderOf(path) +
                       " is missing: the daemon runs without a pid file");
    }
}

void checkLog(Report &report) {
    std::string path = rooted(daemon::kDaemonLogFile);
    report.value("log", path);
    bool writable =
        exists(path) ? access(path.c_str(), W_OK) == 0 : access(folderOf(path).c_str(), W_OK) == 0;
    if (!writable) {
        report.warning(path + " cannot be opened for appending: the daemon runs without a log");
    }
}

// The daemon's own verdict: the engine opened as at start-up, without starting an engine daemon.
void checkEngineOpens(Report &report, const std::string &conf) {
    AVHandle handle = QL_InitAVHandle(conf.c_str(), nullptr, 0);
    if (handle == nullptr) {
        report.error(std::string("the engine does not open (") + QL_GetErrorText() +
                     "): the daemon logs \"Error Initializing AV\" and ends");
        return;
    }
    QL_DeinitAVHandle(handle, nullptr);
    report.value("engine opens", "yes");
}

void checkEngine(Report &report) {
    std::string version = rooted(kVersionFile);
    report.value("version file", exists(version) ? version + " (\"" + firstLine(version) + "\")"
                                                 : version + " (missing)");
    AVType kind = QL_GetInstalledAV();
    report.value("engine", kind == AV_KAV  ? "KAV (engine daemon)"
                           : kind == AV_BD ? "BD (core library)"
                                           : "none");
    if (kind != AV_KAV && kind != AV_BD) {
        report.error(
            "no engine is installed (the version file names 2 for KAV, 3 or more for "
            "BD): the daemon logs \"Error Initializing AV\" and ends");
        return;
    }
    std::string conf = rooted(kEngineConfFile);
    report.value("engine configuration", conf);
    if (!exists(conf)) {
        report.error("the engine configuration " + conf + " is missing");
        return;
    }
    if (backendFor(kind)->checkInstallation(conf.c_str(), report)) {
        checkEngineOpens(report, conf);
    }
}

}  // namespace

int runCheckConfig(std::FILE *out) {
    Report report(out);
    InterfaceSettings settings = daemon::defaultSettings();
    if (readSettings(report, settings)) {
        checkSocket(report, settings);
        checkPidFile(report, settings);
        report.value("instances", std::to_string(settings.maxInstances));
        report.value("request timeout", std::to_string(settings.requestTimeout) + " s");
        for (const daemon::ReplyKey &rule : daemon::kReplyKeys) {
            report.value(rule.key, settings.replies.*rule.field ? "yes" : "no");
        }
        report.value("stop timeout", std::to_string(settings.stopTimeout) + " s");
        checkClientAccess(report, settings);
    }
    checkLog(report);
    checkEngine(report);
    if (report.errors() > 0) {
        std::fprintf(out, "The interface daemon would not start: %d error%s.\n", report.errors(),
                     report.errors() == 1 ? "" : "s");
        return kExitWouldNotStart;
    }
    std::fprintf(out, "The interface daemon would start.\n");
    return kExitWouldStart;
}

}  // namespace ql::tools
