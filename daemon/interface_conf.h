// The interface daemon's settings: their defaults and the settings file that overrides them.
//
// The file is INI syntax (the settings store), section `postwicker`, names matched exactly:
//   PostwickerSocket  the listening socket's path        (any value, cut to 255 characters)
//   PostwickerPID     the pid file's path                (any value, cut to 255 characters)
//   MaxInstances      worker instances, 10 to 50          (another value leaves the default)
//   RequestTimeout    seconds to wait for a request, 1 to 3600 (another value leaves the default)
//   PostwickerSocketMode   the socket file's mode, octal, 0 to 0777 (default 0777)
//   PostwickerSocketGroup  the group given the socket file (default: none, the daemon's own)
//   AlertSuspicious, AlertEncrypted, AlertCorrupted   yes or no (default no): answer that kind
//                          of finding "1 ..." instead of "0"
//   TagErrorReplies   yes or no (default no): every error reply reads "1 ERROR: <text>"
// A yes/no key takes yes, true, on or 1 and no, false, off or 0; another value leaves the default.
//   ClientAccess      check (default): a client learns only about files it may read; any
//   StopTimeout       seconds a stop waits for busy instances, 1 to 3600 (default 30)
// The two socket keys and ClientAccess are kept as written; the entry checks them when it
// applies them.
#ifndef QL_DAEMON_INTERFACE_CONF_H
#define QL_DAEMON_INTERFACE_CONF_H

#include <sys/types.h>

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
inline constexpr int32_t kDefaultSockMode = 0777;
inline constexpr int32_t kDefaultStopTimeout = 30;
inline constexpr int32_t kMaxStopTimeout = 3600;

// Whom the daemon answers about a file: kCheck judges every client but root by the client's own
// rights; kAny answers every client about every file the daemon can read.
enum class ClientAccess { kCheck, kAny };

// How replies are worded beyond the fixed ones: the findings besides infections and errors that
// are answered "1 ..." rather than "0", and whether error replies carry the "ERROR: " tag.
struct ReplyRules {
    bool alertSuspicious = false;
    bool alertEncrypted = false;
    bool alertCorrupted = false;
    bool tagErrors = false;
};

// The yes/no settings key of each rule and the field it sets.
struct ReplyKey {
    const char *key;
    bool ReplyRules::*field;
};
inline constexpr ReplyKey kReplyKeys[] = {{"AlertSuspicious", &ReplyRules::alertSuspicious},
                                          {"AlertEncrypted", &ReplyRules::alertEncrypted},
                                          {"AlertCorrupted", &ReplyRules::alertCorrupted},
                                          {"TagErrorReplies", &ReplyRules::tagErrors}};

struct InterfaceSettings {
    char sockPath[QL_VALUE_MAX];
    char pidFilePath[QL_VALUE_MAX];
    int32_t maxInstances;
    int32_t requestTimeout;           // seconds a worker waits for a client's request
    char sockMode[QL_VALUE_MAX];      // PostwickerSocketMode as written; empty when not set
    char sockGroup[QL_VALUE_MAX];     // PostwickerSocketGroup as written; empty when not set
    char clientAccess[QL_VALUE_MAX];  // ClientAccess as written; empty when not set
    int32_t stopTimeout;              // seconds a stop waits for instances inside a scan
    ReplyRules replies;
};

// The defaults: the fixed socket and pid paths below QL_ROOT (empty when QL_ROOT is unusable),
// 20 instances, 30 seconds for a request and for a stop.
[[nodiscard]] InterfaceSettings defaultSettings();

// Override settings with the keys that the settings file at path provides. Returns 0 when the
// file was processed (also when it set nothing, or could not be read), -1 when it does not exist,
// the store could not load it, or an argument is NULL.
[[nodiscard]] int readInterfaceConf(const char *path, InterfaceSettings *settings);

// The socket file's mode that text (a PostwickerSocketMode value) asks for: an octal number from 0
// to 0777, blanks around it allowed; kDefaultSockMode for an empty text; -1 for anything else.
[[nodiscard]] int32_t socketModeOf(const char *text);

// A yes/no value (the keys of kReplyKeys), case ignored, blanks around it allowed: yes, true, on
// or 1 set *value, no, false, off or 0 clear it. False, leaving *value alone, for any other text
// or NULL.
[[nodiscard]] bool yesNoOf(const char *text, bool *value);

// The ClientAccess that text asks for: "check" or "any", blanks around them allowed; an empty
// text is kCheck. False (out left alone) for anything else.
[[nodiscard]] bool clientAccessOf(const char *text, ClientAccess &out);

// The id of the group named name (a PostwickerSocketGroup value) into gid. False when no such
// group exists or name is empty or NULL.
[[nodiscard]] bool socketGroupOf(const char *name, gid_t *gid);

// True when the settings file set either socket access key; without them the socket gets the
// fixed mode 0777 and nothing is logged about it.
[[nodiscard]] inline bool socketAccessConfigured(const InterfaceSettings &settings) {
    return settings.sockMode[0] != '\0' || settings.sockGroup[0] != '\0';
}

}  // namespace ql::daemon

#endif  // QL_DAEMON_INTERFACE_CONF_H
