#include "kav/kav_scanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/iface_utils.h"
#include "kav/kav_daemon_pool.h"
#include "kav/kav_reply.h"

namespace ql::kav {

namespace {

constexpr const char *kTempDir = "/var/Quellar/var/tmp";

// The quick scan's context seen as a reply target.
ReplyTarget quickTarget(const char *path, QuickReplyContext &context) {
    ReplyTarget target;
    target.reader = Reader::kQuick;
    target.name = path;
    target.events = context.events;
    target.lineKind = context.bufferScan != 0 ? QL_OBJ_BUFFER : QL_OBJ_FILE;
    target.errorText = &context.errorText;
    return target;
}

bool isEmptyPath(const char *path) {
    return path == nullptr || *path == '\0';
}

int tempFilePath(uint32_t id, char (&out)[QL_PATH_MAX]) {
    char dir[QL_PATH_MAX];
    if (rootedPath(kTempDir, dir) < 0) {
        return -1;
    }
    if (!formatBounded(out, sizeof out, "%s/scan_%u.tmp", dir, id)) {
        return QL_SetError(ENAMETOOLONG);
    }
    return 0;
}

// Remove the temporary file without losing the reason the caller is failing or returning for.
void deleteKeepingError(BufferObject *buffer, const char *path) {
    int saved = lastErrorCode();
    (void)QL_KAVdeleteTempFile(buffer, path);
    QL_SetError(saved);
}

}  // namespace

void quickOptionText(uint32_t scanOpts, char (&out)[kOptionTextSize]) {
    formatBounded(out, sizeof out, "abcdefghijk%s%s%s%s%sW%s", (scanOpts & 0x0002) ? "l" : "",
                  (scanOpts & 0x0020) ? "p" : "P", (scanOpts & 0x0040) ? "qr" : "QR",
                  (scanOpts & 0x0100) ? "st" : "ST", (scanOpts & 0x0200) ? "u" : "U",
                  ((scanOpts & 0x8000) && (scanOpts & 0x0001)) ? "M" : "m");
}

bool scanCommand(const char *options, const char *path, char (&command)[kCommandSize]) {
    if (!isLineSafe(path) || !isLineSafe(options) ||
        !formatBounded(command, sizeof command, "SCAN %s %s\r\n", options, path)) {
        QL_SetError(EINVAL);
        return false;
    }
    return true;
}

int quickFileScan(Channel &channel, const char *path, int mode, const char *options,
                  EventCallback *events) {
    if (isEmptyPath(path) || options == nullptr || events == nullptr) {
        return QL_SetError(EINVAL);
    }
    char command[kCommandSize];
    if (!scanCommand(options, path, command)) {
        return -1;
    }
    QuickReplyContext context{};
    context.events = events;
    context.bufferScan = mode == QL_KAV_MODE_BUFFER ? 1 : 0;
    ReplyOutcome reply;
    if (channel.converse(command, QL_KAVQuickReturnMessage, const_cast<char *>(path), &context,
                         reply) < 0) {
        return -1;
    }
    if (!reply.complete) {
        return QL_SetError(QLE_AV_CONNECT);
    }
    ReplyTarget target = quickTarget(path, context);
    ReplyEnd end = finishReply(reply.code, target, target.lineKind);
    return end.stopped ? QL_RES_STOPPED : end.result;
}

int bufferScan(Channel &channel, QuickRequest *request, EventCallback *events) {
    auto *buffer = request != nullptr ? static_cast<BufferObject *>(request->object) : nullptr;
    if (buffer == nullptr || buffer->app_buf == nullptr || buffer->app_buf_size < 0) {
        return QL_SetError(EINVAL);
    }
    char path[QL_PATH_MAX];
    if (tempFilePath(buffer->id, path) < 0) {
        return -1;
    }
    if (buffer->accum == nullptr && QL_KAVcreateTempFile(buffer, path) < 0) {
        return -1;
    }
    if (QL_KAVwriteTempFile(buffer) < 0) {
        deleteKeepingError(buffer, path);
        return -1;
    }
    int result = quickFileScan(channel, path, QL_KAV_MODE_BUFFER, QL_KAV_BUFFER_OPTIONS, events);
    if (buffer->more == 0) {
        deleteKeepingError(buffer, path);
    }
    return result;
}

// The engine daemon opens the descriptor's file through this process's descriptor table, so it
// reads the very file the caller opened, whatever its path names by now.
int descriptorScan(Channel &channel, QuickRequest *request, EventCallback *events) {
    auto *descriptor = static_cast<DescriptorObject *>(request->object);
    if (descriptor == nullptr || descriptor->fd < 0) {
        return QL_SetError(EINVAL);
    }
    char path[QL_PATH_MAX];
    formatBounded(path, sizeof path, "/proc/%d/fd/%d", static_cast<int>(getpid()),
                  static_cast<int>(descriptor->fd));
    char options[kOptionTextSize];
    quickOptionText(request->scanOpts, options);
    return quickFileScan(channel, path, QL_KAV_MODE_PATH, options, events);
}

int quickScan(Channel &channel, QuickRequest *request, EventCallback *events) {
    if (request == nullptr || events == nullptr) {
        return QL_SetError(EINVAL);
    }
    switch (request->type) {
        case QL_REQ_PATH: {
            if (request->object == nullptr) {
                return QL_SetError(EINVAL);
            }
            char options[kOptionTextSize];
            quickOptionText(request->scanOpts, options);
            return quickFileScan(channel, static_cast<const char *>(request->object),
                                 QL_KAV_MODE_PATH, options, events);
        }
        case QL_REQ_BUFFER:
            return bufferScan(channel, request, events);
        case QL_REQ_DESCRIPTOR:
            return descriptorScan(channel, request, events);
        default:
            return QL_SetError(ENOSYS);
    }
}

}  // namespace ql::kav

extern "C" {

int QL_KAVQuickScan(int connection, QuickRequest *request, EventCallback *events) {
    ql::kav::FdChannel channel(connection);
    return ql::kav::quickScan(channel, request, events);
}

int QL_KAVBufferScan(int connection, QuickRequest *request, EventCallback *events) {
    if (request == nullptr) {
        return QL_SetError(EINVAL);
    }
    ql::kav::FdChannel channel(connection);
    return ql::kav::bufferScan(channel, request, events);
}

int QL_KAVQuickFileScanner(int connection, const char *path, int mode, const char *options,
                           EventCallback *events) {
    if (connection < 0) {
        return QL_SetError(EINVAL);
    }
    ql::kav::FdChannel channel(connection);
    return ql::kav::quickFileScan(channel, path, mode, options, events);
}

int QL_KAVcreateTempFile(BufferObject *buffer, const char *path) {
    if (buffer == nullptr || buffer->app_buf == nullptr || buffer->accum != nullptr ||
        buffer->app_buf_size < 0 || path == nullptr) {
        return QL_SetError(EINVAL);
    }
    // O_NOFOLLOW: a link planted at the path must not redirect the write; O_NONBLOCK: a FIFO
    // planted there must not hang the scan.
    ql::UniqueFd fd(
        open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (!fd) {
        return ql::setErrnoError();
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        return ql::setErrnoError();
    }
    if (!S_ISREG(st.st_mode)) {
        return QL_SetError(EINVAL);
    }
    // A file left over by an earlier run keeps its mode through O_TRUNC.
    if (fchmod(fd.get(), 0600) != 0 || fcntl(fd.get(), F_SETFL, 0) != 0) {
        return ql::setErrnoError();
    }
    std::FILE *stream = fdopen(fd.get(), "w");
    if (stream == nullptr) {
        return ql::setErrnoError();
    }
    (void)fd.release();
    buffer->accum = stream;
    buffer->accumLen = 0;
    return 0;
}

int QL_KAVwriteTempFile(BufferObject *buffer) {
    if (buffer == nullptr || buffer->app_buf == nullptr || buffer->accum == nullptr ||
        buffer->app_buf_size < 0) {
        return QL_SetError(EINVAL);
    }
    QL_Log(nullptr, QL_LOG_INFO, "data->app_buf_size = %d\n", buffer->app_buf_size);
    if (buffer->app_buf_size == 0) {
        return QL_SetError(QLE_ZERO_SIZE);
    }
    auto *stream = static_cast<std::FILE *>(buffer->accum);
    errno = 0;
    if (std::fwrite(buffer->app_buf, static_cast<std::size_t>(buffer->app_buf_size), 1, stream) !=
        1) {
        return QL_SetError(errno != 0 ? errno : EIO);
    }
    if (std::fflush(stream) != 0) {
        return ql::setErrnoError();
    }
    buffer->accumLen += static_cast<uint32_t>(buffer->app_buf_size);
    return buffer->app_buf_size;
}

int QL_KAVdeleteTempFile(BufferObject *buffer, const char *path) {
    if (buffer == nullptr || buffer->accum == nullptr) {
        return QL_SetError(errno != 0 ? errno : EINVAL);
    }
    int failure = 0;
    if (std::fclose(static_cast<std::FILE *>(buffer->accum)) != 0) {
        failure = errno;
    }
    buffer->accum = nullptr;  // closed even when fclose failed: never close it twice
    if (path == nullptr) {
        failure = failure != 0 ? failure : EINVAL;
    } else if (unlink(path) != 0 && failure == 0) {
        failure = errno;
    }
    QL_InitBufferObject(buffer);
    return failure != 0 ? QL_SetError(failure) : 0;
}

int QL_KAVQuickReturnMessage(char *line, void *context1, void *context2) {
    auto *path = static_cast<const char *>(context1);
    auto *context = static_cast<QuickReplyContext *>(context2);
    if (path == nullptr || context == nullptr || context->events == nullptr) {
        return ql::kav::dispatchReplyLine(line, nullptr);
    }
    ql::kav::ReplyTarget target = ql::kav::quickTarget(path, *context);
    return ql::kav::dispatchReplyLine(line, &target);
}

}  // extern "C"
