#include "common/iface_utils.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace {

// Per thread, so that one worker's failure text never reaches another worker's client.
thread_local int lastError = 0;
thread_local char errorText[QL_ERROR_TEXT_MAX] = "";
thread_local char strerrorText[QL_VALUE_MAX] = "";

constexpr const char *kMessages[] = {
    "Scan Success",
    "Unknown system type",
    "Invalid file or buffer",
    "Invalid AV Message",
    "Invalid Quarantine directory",
    "Absolute path required",
    "Connecting AV Engine failed",
    "File size is zero",
};

// Entry traces are never written; the stream exists so that shut-down can close it.
std::FILE *traceStream = nullptr;

// strerror_r in either of its two flavours, into this thread's buffer.
const char *systemErrorText(int code) {
    auto text = strerror_r(code, strerrorText, sizeof strerrorText);
    if constexpr (std::is_same_v<decltype(text), char *>) {
        return text;
    } else {
        return text == 0 ? strerrorText : "Unknown error";
    }
}

}  // namespace

namespace ql {

bool copyBounded(char *dst, std::size_t cap, std::string_view src) {
    if (cap == 0) {
        return src.empty();
    }
    std::size_t n = src.size() < cap ? src.size() : cap - 1;
    if (n > 0) {  // an empty view may have no data pointer at all
        std::memmove(dst, src.data(), n);
    }
    dst[n] = '\0';
    return n == src.size();
}

bool formatBounded(char *dst, std::size_t cap, const char *format, ...) {
    va_list args;
    va_start(args, format);
    bool whole = formatBoundedV(dst, cap, format, args);
    va_end(args);
    return whole;
}

bool formatBoundedV(char *dst, std::size_t cap, const char *format, va_list args) {
    if (cap == 0) {
        return false;
    }
    int n = std::vsnprintf(dst, cap, format, args);
    if (n < 0) {
        dst[0] = '\0';
        return false;
    }
    return static_cast<std::size_t>(n) < cap;
}

int rootedPath(std::string_view fixedPath, char *out, std::size_t cap) {
    const char *root = std::getenv("QL_ROOT");
    std::string_view prefix = root != nullptr ? root : "";
    if (!prefix.empty() && prefix.front() != '/') {
        return QL_SetError(EINVAL);
    }
    while (prefix.size() > 1 && prefix.back() == '/') {
        prefix.remove_suffix(1);
    }
    if (prefix == "/") {
        prefix = {};
    }
    if (cap == 0 || prefix.size() + fixedPath.size() >= cap) {
        return QL_SetError(EINVAL);
    }
    std::memcpy(out, prefix.data(), prefix.size());
    std::memcpy(out + prefix.size(), fixedPath.data(), fixedPath.size());
    std::size_t len = prefix.size() + fixedPath.size();
    out[len] = '\0';
    return static_cast<int>(len);
}

int setErrnoError() {
    return QL_SetError(errno);
}

int lastErrorCode() {
    return lastError;
}

int failLogged(QLLogger *logger, const char *function, int line, int code) {
    QL_SetError(code);
    QL_Log(logger, QL_LOG_ERROR, "%s [%d]%s\n", function, line, QL_GetErrorText());
    // A log callback may have set an error of its own.
    return QL_SetError(code);
}

long long leadingNumber(const char *text) {
    return std::strtoll(text, nullptr, 10);  // which saturates by itself
}

int leadingInt(const char *text) {
    return static_cast<int>(std::clamp<long long>(leadingNumber(text), INT_MIN, INT_MAX));
}

void closeTraceStream() {
    if (traceStream != nullptr) {
        std::fclose(traceStream);
        traceStream = nullptr;
    }
}

}  // namespace ql

extern "C" {

int QL_SetError(int code) {
    lastError = code;
    return -1;
}

int QL_SetErrorText(const char *text) {
    ql::copyBounded(errorText, text != nullptr ? text : "Unknown error");
    lastError = QLE_TEXT;
    return -1;
}

const char *QL_GetErrorText(void) {
    if (lastError == QLE_TEXT) {
        return errorText;
    }
    if (lastError >= QLE_SCAN_SUCCESS && lastError <= QLE_ZERO_SIZE) {
        return kMessages[lastError - QLE_SCAN_SUCCESS];
    }
    return systemErrorText(lastError);
}

void QL_InitQuickRequest(QuickRequest *request) {
    lastError = 0;
    if (request != nullptr) {
        request->object = nullptr;
        request->scanOpts = 0;
        request->type = QL_REQ_UNSET;
    }
}

void QL_InitEventCallback(EventCallback *callback) {
    lastError = 0;
    if (callback != nullptr) {
        *callback = EventCallback{};
    }
}

void QL_InitBufferObject(BufferObject *buffer) {
    lastError = 0;
    if (buffer != nullptr) {
        *buffer = BufferObject{};
    }
}

void QL_InitDescriptorObject(DescriptorObject *descriptor) {
    lastError = 0;
    if (descriptor != nullptr) {
        descriptor->fd = -1;
        descriptor->size = 0;
    }
}

void QL_InitObjectRequest(ObjectRequest *request) {
    lastError = 0;
    if (request != nullptr) {
        *request = ObjectRequest{};
    }
}

void QL_ResetScanCounters(ScanReport *report) {
    lastError = 0;
    if (report != nullptr) {
        EventCallback events = report->events;
        *report = ScanReport{};
        report->events = events;
    }
}

void QL_InitScanReport(ScanReport *report) {
    lastError = 0;
    if (report != nullptr) {
        *report = ScanReport{};
    }
}

void QL_InitExtraData(ExtraData *extra) {
    lastError = 0;
    if (extra != nullptr) {
        extra->actionArg[0] = '\0';
        extra->extList[0] = '\0';
        extra->excludeDirs = nullptr;
        extra->sizeLimit = 0;
        extra->maxDepth = 0;
    }
}

QLLogger *QL_NewLogger(void) {
    return static_cast<QLLogger *>(std::calloc(1, sizeof(QLLogger)));
}

QLLogger *QL_CreateLogger(int level, const char *path) {
    if (path == nullptr || path[0] == '\0') {
        return nullptr;
    }
    if (path[0] != '/') {
        QL_SetError(QLE_ABSOLUTE_PATH);
        return nullptr;
    }
    QLLogger *logger = QL_NewLogger();
    if (logger == nullptr) {
        QL_SetError(ENOMEM);
        return nullptr;
    }
    logger->stream = std::fopen(path, "we");
    if (logger->stream == nullptr) {
        ql::setErrnoError();
        std::free(logger);
        return nullptr;
    }
    logger->level = level;
    return logger;
}

void QL_SetLogCallback(QLLogger *logger, LogFn callback) {
    if (logger != nullptr) {
        logger->callback = callback;
    }
}

void QL_ClearLogCallback(QLLogger *logger) {
    QL_SetLogCallback(logger, nullptr);
}

int QL_DestroyLogger(QLLogger *logger) {
    if (logger == nullptr) {
        return -1;
    }
    if (logger->stream != nullptr) {
        std::fclose(logger->stream);
    }
    std::free(logger);
    return 0;
}

int QL_Log(QLLogger *logger, int level, const char *format, ...) {
    if (logger == nullptr) {
        return -1;
    }
    if (logger->callback != nullptr) {
        va_list args;
        va_start(args, format);
        logger->callback(level, format, args);
        va_end(args);
        return 0;
    }
    if (level == 0 || logger->stream == nullptr || logger->level <= level) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    int written = std::vfprintf(logger->stream, format, args);
    va_end(args);
    return written < 0 ? 0 : written;
}

}  // extern "C"
