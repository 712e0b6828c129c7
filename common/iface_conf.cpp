#include "common/iface_conf.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/iface_utils.h"
#include "common/unique_fd.h"

namespace {

constexpr unsigned char kLineFeed = 10;
constexpr unsigned char kCarriageReturn = 13;
// Some writers end a file's lines with 0xFF; it is taken as a line end of its own.
constexpr unsigned char kByteFF = 0xFF;
constexpr std::size_t kLineChars = QL_PATH_MAX - 1;

constexpr const char *kPathSection = "path";

bool isLineEnd(unsigned char c) {
    return c == kLineFeed || c == kCarriageReturn || c == kByteFF;
}

// One byte from fd: 1 when a byte came, 0 at the end of the file or on an error.
int readByte(int fd, unsigned char *byte) {
    for (;;) {
        ssize_t got = ::read(fd, byte, 1);
        if (got >= 0 || errno != EINTR) {
            return got == 1 ? 1 : 0;
        }
    }
}

// Copy text into a field, cut to fit, then strip it.
void copyTrimmed(char *dst, std::string_view text) {
    ql::copyBounded(dst, QL_VALUE_MAX, text);
    QL_Trim(dst);
}

bool sameWord(const char *a, const char *b) {
    return ::strcasecmp(a, b) == 0;
}

// Which of an engine's two keys fills which field of the block, and how.
struct EngineKeys {
    const char *first;
    const char *second;
    const char *firstSuffix;
};

constexpr EngineKeys kKAVKeys{"LocalSocketPath", "AVSpidPATH", ""};
constexpr EngineKeys kBDKeys{"BasesPath", "TempPath", "/Plugins"};

int readScannerConf(const char *path, char *conf, const EngineKeys &keys) {
    if (path == nullptr || conf == nullptr) {
        return QL_SetError(EINVAL);
    }
    ql::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return ql::setErrnoError();
    }
    char *field1 = conf;
    char *field2 = conf + QL_VALUE_MAX;
    field1[0] = '\0';
    field2[0] = '\0';

    bool inSection = false;
    bool haveFirst = false;
    bool haveSecond = false;
    char line[QL_PATH_MAX];
    char key[QL_VALUE_MAX];
    char value[QL_VALUE_MAX];
    while (!(haveFirst && haveSecond) && QL_getConfFileLine(fd.get(), line) == 0) {
        int kind = QL_getOption(line, key, value);
        if (kind == 1) {
            // Only the section "path" matters, and it runs to the end of the file.
            inSection = inSection || sameWord(key, kPathSection);
        } else if (kind == 2 && inSection) {
            if (sameWord(key, keys.first)) {
                ql::formatBounded(field1, QL_VALUE_MAX, "%s%s", value, keys.firstSuffix);
                haveFirst = true;
            } else if (sameWord(key, keys.second)) {
                ql::copyBounded(field2, QL_VALUE_MAX, value);
                haveSecond = true;
            }
        }
    }
    return 0;
}

}  // namespace

char *QL_TrimLeft(char *text) {
    if (text == nullptr) {
        return nullptr;
    }
    std::size_t skip = 0;
    while (ql::isBlank(text[skip])) {
        ++skip;
    }
    if (skip > 0) {
        std::memmove(text, text + skip, std::strlen(text + skip) + 1);
    }
    return text;
}

char *QL_TrimRight(char *text) {
    if (text == nullptr) {
        return nullptr;
    }
    std::size_t len = std::strlen(text);
    while (len > 0 && ql::isBlank(text[len - 1])) {
        --len;
    }
    text[len] = '\0';
    return text;
}

char *QL_Trim(char *text) {
    return QL_TrimRight(QL_TrimLeft(text));
}

int QL_filterComment(char *text) {
    if (text == nullptr) {
        return QL_SetError(EINVAL);
    }
    char *hash = std::strchr(text, '#');
    if (hash == nullptr) {
        return 0;
    }
    *hash = '\0';
    return static_cast<int>(hash - text) + 1;
}

int QL_getConfFileLine(int fd, char *line) {
    if (fd < 0 || line == nullptr) {
        return QL_SetError(EINVAL);
    }
    std::memset(line, 0, QL_PATH_MAX);
    std::size_t stored = 0;
    unsigned char byte = 0;
    bool ended = false;
    bool sawByte = false;
    while (!ended && stored < kLineChars) {
        if (readByte(fd, &byte) == 0) {
            return sawByte ? 0 : -1;
        }
        sawByte = true;
        ended = isLineEnd(byte);
        // 0xFF is not white space: kept, it would end up inside the last value of the line.
        if (byte != kByteFF) {
            line[stored++] = static_cast<char>(byte);
        }
    }
    while (!ended && readByte(fd, &byte) == 1) {
        ended = isLineEnd(byte);
    }
    return 0;
}

int QL_getOption(const char *line, char *key, char *value) {
    if (line == nullptr || key == nullptr || value == nullptr) {
        return QL_SetError(EINVAL);
    }
    key[0] = '\0';
    value[0] = '\0';
    char work[QL_PATH_MAX];
    ql::copyBounded(work, line);
    QL_filterComment(work);
    std::string_view text = ql::trimmed(work);

    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        copyTrimmed(key, text.substr(1, text.size() - 2));
        return 1;
    }
    std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        return -1;
    }
    copyTrimmed(key, text.substr(0, equals));
    copyTrimmed(value, text.substr(equals + 1));
    return 2;
}

int QL_getKAVScannerConf(const char *path, char *conf) {
    return readScannerConf(path, conf, kKAVKeys);
}

int QL_getBDScannerConf(const char *path, char *conf) {
    return readScannerConf(path, conf, kBDKeys);
}
