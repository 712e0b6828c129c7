#include "daemon/interface_conf.h"

#include <grp.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "common/iface_utils.h"
#include "settings/ini_loader.h"
#include "settings/value_table.h"

namespace ql::daemon {

namespace {

using ql::settings::UniqueTable;

void copyIfSet(const ValueTable *table, const char *name, char (&field)[QL_VALUE_MAX]) {
    const char *value = tableGet(table, name, nullptr);
    if (value != nullptr) {
        ql::copyBounded(field, value);
    }
}

void takeNumberInRange(const ValueTable *table, const char *name, int32_t low, int32_t high,
                       int32_t &field) {
    int32_t value = tableGetNumber(table, name, -1);
    if (value >= low && value <= high) {
        field = value;
    }
}

bool isAnyOf(std::string_view value, std::initializer_list<const char *> words) {
    for (const char *word : words) {
        if (value.size() == std::strlen(word) &&
            strncasecmp(value.data(), word, value.size()) == 0) {
            return true;
        }
    }
    return false;
}

void takeReplyRules(const ValueTable *table, ReplyRules &rules) {
    for (const ReplyKey &rule : kReplyKeys) {
        std::string name = std::string("postwicker:") + rule.key;
        (void)yesNoOf(tableGet(table, name.c_str(), nullptr), &(rules.*rule.field));
    }
}

}  // namespace

InterfaceSettings defaultSettings() {
    InterfaceSettings settings{};
    if (ql::rootedPath(kDefaultSockPath, settings.sockPath) < 0) {
        settings.sockPath[0] = '\0';
    }
    if (ql::rootedPath(kDefaultPidFilePath, settings.pidFilePath) < 0) {
        settings.pidFilePath[0] = '\0';
    }
    settings.maxInstances = kDefaultMaxInstances;
    settings.requestTimeout = kDefaultRequestTimeout;
    settings.stopTimeout = kDefaultStopTimeout;
    return settings;
}

int readInterfaceConf(const char *path, InterfaceSettings *settings) {
    if (path == nullptr || settings == nullptr || access(path, F_OK) != 0) {
        return -1;
    }
    UniqueTable table(tableCreate());
    if (!table || iniLoad(table.get(), path) == nullptr) {
        return -1;
    }
    copyIfSet(table.get(), "postwicker:PostwickerSocket", settings->sockPath);
    copyIfSet(table.get(), "postwicker:PostwickerPID", settings->pidFilePath);
    takeNumberInRange(table.get(), "postwicker:MaxInstances", kMinInstances, kMaxInstances,
                      settings->maxInstances);
    takeNumberInRange(table.get(), "postwicker:RequestTimeout", 1, kMaxRequestTimeout,
                      settings->requestTimeout);
    copyIfSet(table.get(), "postwicker:PostwickerSocketMode", settings->sockMode);
    copyIfSet(table.get(), "postwicker:PostwickerSocketGroup", settings->sockGroup);
    copyIfSet(table.get(), "postwicker:ClientAccess", settings->clientAccess);
    takeNumberInRange(table.get(), "postwicker:StopTimeout", 1, kMaxStopTimeout,
                      settings->stopTimeout);
    takeReplyRules(table.get(), settings->replies);
    return 0;
}

bool yesNoOf(const char *text, bool *value) {
    if (text == nullptr || value == nullptr) {
        return false;
    }
    std::string_view word = ql::trimmed(text);
    if (isAnyOf(word, {"yes", "true", "on", "1"})) {
        *value = true;
    } else if (isAnyOf(word, {"no", "false", "off", "0"})) {
        *value = false;
    } else {
        return false;
    }
    return true;
}

int32_t socketModeOf(const char *text) {
    if (text == nullptr) {
        return -1;
    }
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    if (*text == '\0') {
        return kDefaultSockMode;
    }
    if (*text < '0' || *text > '7') {
        return -1;
    }
    char *end = nullptr;
    errno = 0;
    long mode = std::strtol(text, &end, 8);
    while (*end == ' ' || *end == '\t') {
        ++end;
    }
    if (errno != 0 || *end != '\0' || mode < 0 || mode > 0777) {
        return -1;
    }
    return static_cast<int32_t>(mode);
}

bool clientAccessOf(const char *text, ClientAccess &out) {
    std::string_view value = text != nullptr ? ql::trimmed(text) : std::string_view("?");
    if (value.empty() || value == "check") {
        out = ClientAccess::kCheck;
        return true;
    }
    if (value == "any") {
        out = ClientAccess::kAny;
        return true;
    }
    return false;
}

bool socketGroupOf(const char *name, gid_t *gid) {
    if (name == nullptr || *name == '\0' || gid == nullptr) {
        return false;
    }
    long hint = sysconf(_SC_GETGR_R_SIZE_MAX);
    // Groups with many members need more room than the hint; the bound keeps the loop finite.
    for (std::size_t size = hint > 0 ? static_cast<std::size_t>(hint) : 4096; size <= (1u << 20);
         size *= 2) {
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
        if (!buffer) {
            return false;
        }
        group entry{};
        group *found = nullptr;
        int error = getgrnam_r(name, &entry, buffer.get(), size, &found);
        if (error == ERANGE) {
            continue;
        }
        if (error != 0 || found == nullptr) {
            return false;
        }
        *gid = found->gr_gid;
        return true;
    }
    return false;
}

}  // namespace ql::daemon
