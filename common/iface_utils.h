// Library-internal helpers shared by every layer: bounded copies into fixed buffers, the
// installation root, errno as last error, and the error-line format of the loggers.
#ifndef QL_COMMON_IFACE_UTILS_H
#define QL_COMMON_IFACE_UTILS_H

#include <cstdarg>
#include <cstddef>
#include <string_view>

#include "ql/qlscan.h"

namespace ql {

// Copy src into dst[cap], always NUL-terminated (nothing when cap is 0). Returns false when
// src had to be cut.
bool copyBounded(char *dst, std::size_t cap, std::string_view src);

template <std::size_t N>
bool copyBounded(char (&dst)[N], std::string_view src) {
    return copyBounded(dst, N, src);
}

// snprintf into dst[cap], always NUL-terminated. Returns false when the text was cut or the
// format failed.
bool formatBounded(char *dst, std::size_t cap, const char *format, ...) QL_PRINTF(3, 4);
// formatBounded with the arguments in a va_list.
bool formatBoundedV(char *dst, std::size_t cap, const char *format, va_list args) QL_PRINTF(3, 0);

// White space as the C library's isspace sees it in the C locale.
[[nodiscard]] constexpr bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// text without its leading and trailing white space.
[[nodiscard]] constexpr std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The path a fixed installation path stands for: QL_ROOT (when set and not empty) put in front.
// Writes out[cap] and returns its length; -1 with error 22 when QL_ROOT is relative or the
// result does not fit.
[[nodiscard]] int rootedPath(std::string_view fixedPath, char *out, std::size_t cap);

template <std::size_t N>
[[nodiscard]] int rootedPath(std::string_view fixedPath, char (&out)[N]) {
    return rootedPath(fixedPath, out, N);
}

// Store the current errno as the last error; returns -1.
int setErrnoError();

// The calling thread's last error code.
[[nodiscard]] int lastErrorCode();

// Fail with code: set it as the last error, write the standard error line "function [line]<its
// text>" to logger (may be NULL), and return -1 with code still the last error.
int failLogged(QLLogger *logger, const char *function, int line, int code);

// atoi's reading of text (white space, an optional sign, digits; 0 without digits), saturated
// at the limits of long long instead of overflowing.
[[nodiscard]] long long leadingNumber(const char *text);

// leadingNumber saturated at the limits of int.
[[nodiscard]] int leadingInt(const char *text);

// Close the process-wide trace stream if it is set, and reset it.
void closeTraceStream();

}  // namespace ql

// Write the standard error line "function [line]reason" of the calling site to a logger.
#define QL_LOG_FAILURE(logger) \
    QL_Log((logger), QL_LOG_ERROR, "%s [%d]%s\n", __func__, __LINE__, QL_GetErrorText())

// ql::failLogged for the calling site: fail with code, logged, and return -1.
#define QL_FAIL_LOGGED(logger, code) ql::failLogged((logger), __func__, __LINE__, (code))

#endif  // QL_COMMON_IFACE_UTILS_H
