// The interface daemon's settings: their defaults and the settings file that overrides them.
//
// The file is INI syntax (the settings store), section `postwicker`, names matched exactly:
//   PostwickerSocket  the listening socket's path        (any value, cut to 255 characters)
//   PostwickerPID     the pid file's path                (any value, cut to 255 characters)
//   MaxInstances      worker instances, 10 to 50          (another value leaves the default)
//   RequestTimeout    seconds to wait for a request, 1 to 3600 (another value leaves the default)
#ifndef QL_DAEMON_INTERFACE_CONF_H
#define QL_DAEMON_INTERFACE_CONF_H

#include <cstdint>

#include "ql/qlscan.h"

namespace ql::daemon {

inline constexpr const char *kInterfaceConfFile = "/opt/Quellar/etc/postwick/interface.conf";
inline constexpr const char *kDefaultSockPath = "/opt/Quellar/var/run/interface";
inline constexpr const char *kDefaultPidFilePath = "/opt/Quellar/var/run/interface.pid";
inline constexpr int32_t kDefaultMaxInstances = 20;
inline constexpr int32_t kMinInstances = 10;
inline constexpr int32_t kMaxInstances = 50;
inline constexpr int32_t kDefaultRequestTimeout = 30;
inline constexpr int32_t kMaxRequestTimeout = 3600;

struct InterfaceSettings {
    char sockPath[QL_VALUE_MAX];
    char pidFilePath[QL_VALUE_MAX];
    int32_t maxInstances;
    int32_t requestTimeout;  // seconds a worker waits for a client's request
};

// The defaults: the fixed socket and pid paths below QL_ROOT (empty when QL_ROOT is unusable),
// 20 instances, 30 seconds.
[[nodiscard]] InterfaceSettings defaultSettings();

// Override settings with the keys that the settings file at path provides. Returns 0 when the
// file was processed (also when it set nothing, or could not be read), -1 when it does not exist,
// the store could not load it, or an argument is NULL.
[[nodiscard]] int readInterfaceConf(const char *path, InterfaceSettings *settings);

}  // namespace ql::daemon

#endif  // QL_DAEMON_INTERFACE_CONF_H
