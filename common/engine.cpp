#include "common/engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/iface_utils.h"
#include "common/unique_fd.h"

namespace ql {

namespace {

// atoi's reading of a number (optional sign, digits) without its overflow, after white space.
long leadingNumber(const char *text) {
    while (std::isspace(static_cast<unsigned char>(*text)) != 0) {
        ++text;
    }
    errno = 0;
    long value = std::strtol(text, nullptr, 10);
    return errno == ERANGE ? (value > 0 ? INT_MAX : INT_MIN) : value;
}

}  // namespace

AVType engineKindOf(const char *text) {
    long value = leadingNumber(text);
    if (value >= 3) {
        return AV_BD;
    }
    return value == 2 ? AV_KAV : AV_NONE;
}

}  // namespace ql

extern "C" AVType QL_GetInstalledAV(void) {
    AVType kind = AV_NONE;
    char path[QL_PATH_MAX];
    int savedError = ql::lastErrorCode();
    if (ql::rootedPath(ql::kVersionFile, path) < 0) {
        QL_SetError(savedError);  // finding no engine is an answer, not a failure
        return kind;
    }
    if (access(path, R_OK) != 0) {
        return kind;
    }
    ql::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    // Each chunk is read as a text of its own, as the engine installation writes one number.
    char chunk[65];
    while (fd) {
        ssize_t n = read(fd.get(), chunk, 64);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        chunk[n] = '\0';
        AVType named = ql::engineKindOf(chunk);
        if (named != AV_NONE) {
            kind = named;
            break;
        }
    }
    return kind;
}
