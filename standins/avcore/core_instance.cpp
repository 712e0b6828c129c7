#include "standins/avcore/core_instance.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "common/iface_actions.h"
#include "common/unique_fd.h"

namespace ql::avcore {

namespace {

std::string shown(const char *text) {
    return text == nullptr || *text == '\0' ? std::string("\"\"") : std::string(text);
}

int answerFor(int option);

// Calls fn with each non-empty entry of a ':'-separated list until it answers true.
template <typename Fn>
bool anyEntry(std::string_view list, Fn fn) {
    while (!list.empty()) {
        std::size_t colon = list.find(':');
        std::string_view entry = list.substr(0, colon);
        if (!entry.empty() && fn(entry)) {
            return true;
        }
        list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
    return false;
}

// The text after the last '.' of the file name, empty when it has none.
std::string_view extensionOf(std::string_view path) {
    std::string_view name = path.substr(path.rfind('/') + 1);
    std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

bool inExtensionList(std::string_view list, std::string_view extension) {
    return !extension.empty() && anyEntry(list, [extension](std::string_view entry) {
        return entry.size() == extension.size() &&
               strncasecmp(entry.data(), extension.data(), entry.size()) == 0;
    });
}

// Stores the option's text value and answers as the fail switch says.
int keepText(std::string &slot, const char *value, int option) {
    slot = value != nullptr ? value : "";
    return answerFor(option);
}

// The core refuses option when the fail switch names it.
int answerFor(int option) {
    return failSwitchHas("set:" + std::to_string(option)) ? 1 : 0;
}

}  // namespace

bool failSwitchHas(std::string_view token) {
    const char *value = std::getenv(kFailVariable);
    std::string_view rest = value != nullptr ? value : "";
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        if (rest.substr(0, comma) == token) {
            return true;
        }
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return false;
}

void recordLine(const std::string &line) {
    const char *path = std::getenv(kRecordVariable);
    if (path == nullptr || *path == '\0') {
        return;
    }
    UniqueFd fd(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        return;
    }
    // One write per line, so that lines of instances on other threads never interleave.
    std::string text = line + "\n";
    ssize_t written = write(fd.get(), text.data(), text.size());
    (void)written;
}

int Instance::set(int option, va_list args) {
    std::string line = std::to_string(option);
    switch (option) {
        case CORE_OPT_SWITCH25:
        case CORE_OPT_SWITCH26:
        case CORE_OPT_SWITCH27:
        case CORE_OPT_ACTION:
        case CORE_OPT_SWITCH33:
        case CORE_OPT_DEPTH:
        case CORE_OPT_SIZE_LIMIT: {
            int value = va_arg(args, int);
            recordLine(line + " " + std::to_string(value));
            if (option == CORE_OPT_DEPTH) {
                depthLimit_ = value;
            } else if (option == CORE_OPT_ACTION) {
                action_ = value;
            } else if (option == CORE_OPT_SIZE_LIMIT) {
                sizeLimitKb_ = value;
            }
            return answerFor(option);
        }
        case CORE_OPT_SWITCH_DIR:
        case CORE_OPT_QUARANTINE_DIR:
        case CORE_OPT_SCAN_EXT:
        case CORE_OPT_SKIP_EXT:
        case CORE_OPT_RENAME_EXT:
        case CORE_OPT_SKIP_DIRS: {
            const char *value = va_arg(args, const char *);
            recordLine(line + " " + shown(value));
            return keepText(textSlot(option), value, option);
        }
        case CORE_OPT_CONTEXT:
            context_ = va_arg(args, void *);
            break;
        case CORE_OPT_CALLBACK:
            callback_ = va_arg(args, CoreScanCallback);
            break;
        case CORE_OPT_IO_TABLE:
            table_ = va_arg(args, const CoreIOTable *);
            break;
        case CORE_OPT_NO_RECURSE:
            noRecurse_ = true;
            break;
        case CORE_OPT_RESET:
            counters_.fill(0);
            break;
        case CORE_OPT_SCAN: {
            int type = va_arg(args, int);
            if (type == CORE_OBJECT_FILE || type == CORE_OBJECT_DIRECTORY) {
                const char *path = va_arg(args, const char *);
                recordLine(line + " " + std::to_string(type) + " " + shown(path));
                return answerFor(option) != 0 ? 1 : scan(type, path);
            }
            if (type == CORE_OBJECT_IO) {
                auto *object = va_arg(args, CoreIOObject *);
                recordLine(line + " 3 " + shown(object != nullptr ? object->name : nullptr));
                return answerFor(option) != 0 ? 1 : scan(type, object);
            }
            recordLine(line + " " + std::to_string(type));
            return 1;
        }
        default:
            // Unknown options carry values of unknown types: none is read.
            recordLine(line);
            return 1;
    }
    recordLine(line);
    return answerFor(option);
}

int Instance::get(int item, void *out) const {
    if (out == nullptr) {
        return 1;
    }
    switch (item) {
        case CORE_ITEM_DIRS:
            *static_cast<uint32_t *>(out) = counters_[CORE_COUNTER_DIRS];
            return 0;
        case CORE_ITEM_OBJECTS:
            *static_cast<uint32_t *>(out) = counters_[CORE_COUNTER_OBJECTS];
            return 0;
        case CORE_ITEM_INFECTED:
            *static_cast<uint32_t *>(out) = counters_[CORE_COUNTER_INFECTED];
            return 0;
        case CORE_ITEM_COUNTERS:
            *static_cast<const uint32_t **>(out) = counters_.data();
            return 0;
        default:
            return 1;
    }
}

Instance::Flow Instance::report(const char *name, int32_t type, uint32_t flags, uint32_t status,
                                uint32_t event, const char *infection) {
    if (callback_ == nullptr) {
        return Flow::Go;
    }
    CoreEventInfo info{};
    info.objectName = name;
    info.objectType = type;
    info.objectFlags = flags;
    info.status = status;
    info.infectionName = infection;
    info.context = context_;
    switch (callback_(event, &info)) {
        case CORE_ANSWER_ACT:
            return Flow::Act;
        case CORE_ANSWER_STOP:
            return Flow::Stop;
        case CORE_ANSWER_ERROR:
            return Flow::Abort;
        default:
            return Flow::Go;
    }
}

std::string &Instance::textSlot(int option) {
    switch (option) {
        case CORE_OPT_SWITCH_DIR:
            return switchDirectory_;
        case CORE_OPT_QUARANTINE_DIR:
            return quarantineDirectory_;
        case CORE_OPT_SCAN_EXT:
            return scanExtensions_;
        case CORE_OPT_SKIP_EXT:
            return skipExtensions_;
        case CORE_OPT_RENAME_EXT:
            return renameExtension_;
        default:
            return skipDirectories_;
    }
}

bool Instance::skipsFile(const std::string &path, std::uint64_t size) const {
    std::string_view extension = extensionOf(path);
    if (!scanExtensions_.empty() && !inExtensionList(scanExtensions_, extension)) {
        return true;
    }
    if (!skipExtensions_.empty() && inExtensionList(skipExtensions_, extension)) {
        return true;
    }
    return sizeLimitKb_ > 0 && size > static_cast<std::uint64_t>(sizeLimitKb_) * 1024;
}

bool Instance::skipsDirectory(const std::string &path) const {
    struct stat dir {};
    if (skipDirectories_.empty() || stat(path.c_str(), &dir) != 0) {
        return false;
    }
    return anyEntry(skipDirectories_, [&dir](std::string_view entry) {
        struct stat other {};
        std::string text(entry);
        return stat(text.c_str(), &other) == 0 && other.st_dev == dir.st_dev &&
               other.st_ino == dir.st_ino;
    });
}

bool Instance::act(const std::string &path) {
    const std::string &quarantine =
        quarantineDirectory_.empty() ? switchDirectory_ : quarantineDirectory_;
    switch (action_) {
        case 4:
            if (QL_DeleteFile(path.c_str()) == 0) {
                count(CORE_COUNTER_DELETED);
                return true;
            }
            return false;
        case 6:
            if (!quarantine.empty() && QL_QuarantineFile(path.c_str(), quarantine.c_str()) == 0) {
                count(CORE_COUNTER_QUARANTINED);
                return true;
            }
            return false;
        case 7:
            if (!renameExtension_.empty() &&
                QL_RenameFile(path.c_str(), renameExtension_.c_str()) == 0) {
                count(CORE_COUNTER_RENAMED);
                return true;
            }
            return false;
        default:
            return false;
    }
}

bool Instance::descends(int level) const {
    return !noRecurse_ && (depthLimit_ <= 0 || level + 1 < depthLimit_);
}

}  // namespace ql::avcore
