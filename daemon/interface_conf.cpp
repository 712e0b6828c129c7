#include "daemon/interface_conf.h"

#include <unistd.h>

#include <memory>

#include "common/iface_utils.h"
#include "settings/ini_loader.h"
#include "settings/value_table.h"

namespace ql::daemon {

namespace {

struct TableDeleter {
    void operator()(ValueTable *table) const { tableDelete(table); }
};
using UniqueTable = std::unique_ptr<ValueTable, TableDeleter>;

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
    return 0;
}

}  // namespace ql::daemon
