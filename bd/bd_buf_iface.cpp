#include "bd/bd_buf_iface.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bd/bd_core.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"

namespace {

constexpr const char *kScanFailed = "Scan request failed";

const CoreIOTable kMemoryTable = {
    sizeof(CoreIOTable), QL_BD_memOpen,    QL_BD_memClose,   QL_BD_memRead,
    QL_BD_memWrite,      QL_BD_memGetSize, QL_BD_memSetSize, 0,
};

const CoreIOTable kDescriptorTable = {
    sizeof(CoreIOTable), QL_BD_fdOpen,    QL_BD_fdClose,   QL_BD_fdRead,
    QL_BD_fdWrite,       QL_BD_fdGetSize, QL_BD_fdSetSize, 0,
};

bool hasCore(const BDInstance *instance) {
    return instance != nullptr && instance->handle != nullptr &&
           instance->handle->coreLibrary != nullptr;
}

QLLogger *loggerOf(const BDInstance *instance) {
    return instance != nullptr ? QL_BDGetLogger(instance->handle) : nullptr;
}

// CoreSet of the instance's core with the scan callback registered, or nullptr (-1 to return).
CoreSetFn registerCallback(const BDInstance *instance) {
    auto set = ql::bd::coreEntry<CoreSetFn>(instance->handle->coreLibrary, "CoreSet");
    if (set == nullptr) {
        return nullptr;
    }
    if (set(instance->coreInstance, CORE_OPT_CALLBACK, QL_BD_BufferScanCallBack) != 0) {
        QL_SetError(EAGAIN);
        return nullptr;
    }
    return set;
}

enum class Command { Ran, Refused, Failed };

// Hand the core the scan context and run the scan command; the core reports through
// QL_BD_BufferScanCallBack before it returns.
Command runScanCommand(CoreSetFn set, const BDInstance *instance, BufferScanData *data, int type,
                       const void *object, const char *scanner) {
    if (set(instance->coreInstance, CORE_OPT_CONTEXT, static_cast<void *>(data)) != 0) {
        QL_SetError(EAGAIN);
        return Command::Refused;
    }
    if (set(instance->coreInstance, CORE_OPT_SCAN, type, object) != 0) {
        // Whatever the callback collected is no verdict: the core did not finish the object.
        QL_SetErrorText(kScanFailed);
        QL_Log(loggerOf(instance), QL_LOG_ERROR, "%s [%d]%s\n", scanner, __LINE__, kScanFailed);
        return Command::Failed;
    }
    return Command::Ran;
}

// Append the chunk to the accumulation block, leaving the block as it was on failure.
int accumulate(BufferObject *buffer, QLLogger *logger) {
    auto chunk = static_cast<uint32_t>(buffer->app_buf_size);
    if (buffer->accum == nullptr) {
        QL_Log(logger, QL_LOG_INFO, "Allocating expandable memory initially with %d\n",
               buffer->app_buf_size);
        // At least one byte, so that an empty first chunk is no allocation failure.
        void *block = std::malloc(std::max<uint32_t>(chunk, 1));
        if (block == nullptr) {
            return QL_SetError(EAGAIN);
        }
        buffer->accum = block;
        buffer->accumLen = 0;
    } else {
        uint64_t total = uint64_t{buffer->accumLen} + chunk;
        QL_Log(logger, QL_LOG_INFO, "Expanding memory (%p) to %d\n", buffer->accum,
               static_cast<int>(std::min<uint64_t>(total, INT_MAX)));
        // The core addresses the block with signed 32-bit offsets; a realloc to 0 would free it.
        if (total > INT32_MAX) {
            return QL_SetError(EAGAIN);
        }
        void *block = std::realloc(buffer->accum, std::max<uint64_t>(total, 1));
        if (block == nullptr) {
            return QL_SetError(EAGAIN);
        }
        buffer->accum = block;
    }
    if (chunk != 0) {
        std::memcpy(static_cast<char *>(buffer->accum) + buffer->accumLen, buffer->app_buf, chunk);
    }
    buffer->accumLen += chunk;
    return 0;
}

void releaseBlock(BufferObject *buffer) {
    std::free(buffer->accum);
    buffer->accum = nullptr;
    buffer->accumLen = 0;
}

int report(const BufferScanData *data, int32_t event, const char *infectionName) {
    if (data->onEvent == nullptr) {
        return 0;
    }
    return data->onEvent(data->name, static_cast<int32_t>(data->objectKind), event, infectionName,
                         nullptr, data->userData);
}

uint32_t findingResult(uint32_t status) {
    return (status & CORE_STATUS_INFECTED) != 0 ? QL_RES_INFECTED : QL_RES_SUSPICIOUS;
}

// Scan a path with the core and its heap copy of name as the object name of every report.
int scanPath(BDInstance *instance, const char *name, const char *path, uint32_t objectKind,
             uint8_t flags, QL_EventFn onEvent, void *userData, const char *scanner) {
    CoreSetFn set = registerCallback(instance);
    if (set == nullptr) {
        return -1;
    }
    QL_Log(loggerOf(instance), QL_LOG_INFO, "Initializing Quick scan data for file %s\n", path);
    ql::UniqueText copy(strdup(name));
    if (copy == nullptr) {
        return QL_SetError(EAGAIN);
    }
    BufferScanData data{copy.get(), onEvent, userData, flags, 0, objectKind};
    if (runScanCommand(set, instance, &data, CORE_OBJECT_FILE, path, scanner) != Command::Ran) {
        return -1;
    }
    return static_cast<int>(data.result);
}

struct MemoryBlock {
    void **accum;
    uint32_t *length;
};

MemoryBlock blockOf(const CoreIOObject *object) {
    return {reinterpret_cast<void **>(object->context1),
            reinterpret_cast<uint32_t *>(object->context2)};
}

// Resize the block to size bytes (size > 0), zero-filling what it gained.
bool resizeBlock(MemoryBlock block, uint32_t size) {
    void *grown = std::realloc(*block.accum, size);
    if (grown == nullptr) {
        return false;
    }
    if (size > *block.length) {
        std::memset(static_cast<char *>(grown) + *block.length, 0, size - *block.length);
    }
    *block.accum = grown;
    *block.length = size;
    return true;
}

int descriptorOf(const CoreIOObject *object) {
    return static_cast<int>(object->context1);
}

}  // namespace

extern "C" int QL_BDBufferScan(BDInstance *instance, QuickRequest *request,
                               EventCallback *callback) {
    QLLogger *logger = loggerOf(instance);
    if (instance == nullptr || request == nullptr || request->object == nullptr ||
        callback == nullptr) {
        return QL_FAIL_LOGGED(logger, EINVAL);
    }
    int result = -1;
    switch (request->type) {
        case QL_REQ_DESCRIPTOR: {
            auto *descriptor = static_cast<DescriptorObject *>(request->object);
            QL_Log(logger, QL_LOG_INFO, "Scanning Opened File (%s) Descriptor %d\n",
                   descriptor->name != nullptr ? descriptor->name : "", descriptor->fd);
            result = QL_BDFileDescScanner(instance, descriptor, request->scanOpts, callback);
            break;
        }
        case QL_REQ_PATH: {
            auto *path = static_cast<const char *>(request->object);
            QL_Log(logger, QL_LOG_INFO, "Scanning File %s\n", path);
            result = QL_BDQuickScanner(instance, path, request->scanOpts, callback);
            break;
        }
        case QL_REQ_BUFFER: {
            auto *buffer = static_cast<BufferObject *>(request->object);
            QL_Log(logger, QL_LOG_INFO, "Scanning Memory %p\n",
                   buffer->accum != nullptr ? buffer->accum : buffer->app_buf);
            result = QL_BDMemoryScanner(instance, buffer, request->scanOpts, callback);
            break;
        }
        default:
            return QL_FAIL_LOGGED(logger, ENOSYS);
    }
    QL_Log(logger, QL_LOG_INFO, "Scan Result %d\n", result);
    return result;
}

extern "C" int QL_BDMemoryScanner(BDInstance *instance, BufferObject *buffer, uint32_t scanOpts,
                                  EventCallback *callback) {
    if (!hasCore(instance) || buffer == nullptr || buffer->app_buf == nullptr ||
        buffer->app_buf_size < 0 || callback == nullptr) {
        return QL_SetError(EINVAL);
    }
    CoreSetFn set = registerCallback(instance);
    if (set == nullptr || accumulate(buffer, loggerOf(instance)) < 0) {
        return -1;
    }
    CoreIOObject object{QL_BD_BUFFER_NAME, reinterpret_cast<intptr_t>(&buffer->accum),
                        reinterpret_cast<intptr_t>(&buffer->accumLen), kMemoryTable};
    if (set(instance->coreInstance, CORE_OPT_IO_TABLE, &object.io) != 0) {
        return QL_SetError(EAGAIN);
    }
    BufferScanData data{
        QL_BD_BUFFER_NAME, callback->onEvent, callback->userData, static_cast<uint8_t>(scanOpts), 0,
        QL_OBJ_BUFFER};
    Command outcome = runScanCommand(set, instance, &data, CORE_OBJECT_IO, &object, __func__);
    if (outcome == Command::Refused) {
        return -1;  // the chunk stays in the block, so a retry scans it
    }
    if (buffer->more == 0) {
        releaseBlock(buffer);
    }
    return outcome == Command::Ran ? static_cast<int>(data.result) : -1;
}

extern "C" int QL_BDFileDescScanner(BDInstance *instance, DescriptorObject *descriptor,
                                    uint32_t scanOpts, EventCallback *callback) {
    if (!hasCore(instance) || descriptor == nullptr || descriptor->fd < 0 || callback == nullptr) {
        return QL_SetError(EINVAL);
    }
    // The core reads through signed 32-bit offsets: it would find the rest of a larger file clean
    // without ever reading it.
    if (descriptor->size > INT32_MAX) {
        return QL_SetError(EFBIG);
    }
    CoreSetFn set = registerCallback(instance);
    if (set == nullptr) {
        return -1;
    }
    QL_Log(loggerOf(instance), QL_LOG_INFO, "Initializing file desc scan data with desc %d\n",
           descriptor->fd);
    CoreIOObject object{descriptor->name, descriptor->fd, static_cast<intptr_t>(descriptor->size),
                        kDescriptorTable};
    if (set(instance->coreInstance, CORE_OPT_IO_TABLE, &object.io) != 0) {
        return QL_SetError(EAGAIN);
    }
    BufferScanData data{
        descriptor->name, callback->onEvent, callback->userData, static_cast<uint8_t>(scanOpts), 0,
        QL_OBJ_DESCRIPTOR};
    if (runScanCommand(set, instance, &data, CORE_OBJECT_IO, &object, __func__) != Command::Ran) {
        return -1;
    }
    return static_cast<int>(data.result);
}

extern "C" int QL_BDQuickScanner(BDInstance *instance, const char *path, uint32_t scanOpts,
                                 EventCallback *callback) {
    if (!hasCore(instance) || path == nullptr || path[0] != '/' || callback == nullptr) {
        return QL_SetError(EINVAL);
    }
    return scanPath(instance, path, path, QL_OBJ_FILE, static_cast<uint8_t>(scanOpts),
                    callback->onEvent, callback->userData, __func__);
}

extern "C" int QL_BDProcessScanner(BDInstance *instance, const char *displayName, const char *path,
                                   uint32_t objectKind, int32_t *processSlot, QL_EventFn onEvent,
                                   void *userData) {
    if (!hasCore(instance) || path == nullptr || path[0] != '/' || processSlot == nullptr) {
        return QL_SetError(EINVAL);
    }
    return scanPath(instance, displayName != nullptr ? displayName : path, path, objectKind, 0,
                    onEvent, userData, __func__);
}

extern "C" int QL_BD_BufferScanCallBack(uint32_t event, CoreEventInfo *info) {
    if (info == nullptr || info->context == nullptr) {
        return CORE_ANSWER_GO_ON;
    }
    auto *data = static_cast<BufferScanData *>(info->context);
    const uint32_t status = info->status;
    if ((status & (CORE_STATUS_INFECTED | CORE_STATUS_SUSPICIOUS)) != 0 &&
        (event & CORE_EVENT_FINDING) != 0) {
        int32_t reported = (status & CORE_STATUS_CLEAN) != 0      ? QL_EV_CLEAN
                           : (status & CORE_STATUS_INFECTED) != 0 ? QL_EV_INFECTED
                                                                  : QL_EV_SUSPICIOUS;
        if (report(data, reported, info->infectionName) == QL_CB_STOP) {
            data->result |= QL_RES_STOPPED;
            return CORE_ANSWER_STOP;
        }
        if ((data->flags & 0x2) != 0) {
            return CORE_ANSWER_ACT;
        }
        data->result |= findingResult(status);
        return CORE_ANSWER_GO_ON;
    }
    if ((status & CORE_STATUS_DISINFECTED) != 0) {
        if (report(data, QL_EV_DISINFECTED, info->infectionName) == QL_CB_STOP) {
            data->result = QL_RES_STOPPED;
            return CORE_ANSWER_STOP;
        }
        data->result |= QL_RES_DISINFECTED;
        return CORE_ANSWER_GO_ON;
    }
    if ((status & CORE_STATUS_DISINFECT_FAILED) != 0 && (status & CORE_STATUS_FAILED) != 0) {
        if (report(data, QL_EV_DISINFECT_FAILED, info->infectionName) == QL_CB_STOP) {
            data->result = QL_RES_STOPPED;
            return CORE_ANSWER_STOP;
        }
        data->result |= findingResult(status);
        return CORE_ANSWER_GO_ON;
    }
    // Without these bits an object the core could not look into, a password-protected archive
    // among them, would pass for clean with every caller.
    const uint32_t flags = info->objectFlags;
    if ((flags & (CORE_FLAG_ENCRYPTED | CORE_FLAG_ENCRYPTED_ALT | CORE_FLAG_CORRUPTED)) != 0) {
        bool encrypted = (flags & (CORE_FLAG_ENCRYPTED | CORE_FLAG_ENCRYPTED_ALT)) != 0;
        data->result |= encrypted ? QL_RES_ENCRYPTED : QL_RES_CORRUPTED;
        if (report(data, encrypted ? QL_EV_ENCRYPTED : QL_EV_CORRUPTED, nullptr) == QL_CB_STOP) {
            data->result |= QL_RES_STOPPED;
            return CORE_ANSWER_STOP;
        }
        return CORE_ANSWER_GO_ON;
    }
    if ((status & CORE_STATUS_CLEAN) != 0 && report(data, QL_EV_CLEAN, nullptr) == QL_CB_STOP) {
        data->result |= QL_RES_STOPPED;
        return CORE_ANSWER_STOP;
    }
    return CORE_ANSWER_GO_ON;
}

extern "C" int QL_BD_memOpen(CoreIOObject * /*object*/) {
    return 0;
}

extern "C" int QL_BD_memClose(CoreIOObject * /*object*/) {
    return 0;
}

extern "C" int QL_BD_memGetSize(uint32_t *size, CoreIOObject *object) {
    if (size == nullptr || object == nullptr) {
        return -1;
    }
    *size = *blockOf(object).length;
    return 0;
}

extern "C" int QL_BD_memRead(void *buffer, int32_t offset, int32_t length, int32_t *done,
                             CoreIOObject *object) {
    if (done == nullptr || object == nullptr) {
        return -1;
    }
    *done = 0;
    MemoryBlock block = blockOf(object);
    if (offset < 0 || length <= 0 || int64_t{offset} >= int64_t{*block.length}) {
        return 0;
    }
    auto count = static_cast<int32_t>(std::min<int64_t>(length, *block.length - int64_t{offset}));
    if (buffer == nullptr) {
        return -1;
    }
    std::memcpy(buffer, static_cast<const char *>(*block.accum) + offset,
                static_cast<size_t>(count));
    *done = count;
    return 0;
}

extern "C" int QL_BD_memWrite(const void *buffer, int32_t offset, int32_t length, int32_t *done,
                              CoreIOObject *object) {
    if (done == nullptr || object == nullptr) {
        return -1;
    }
    *done = 0;
    MemoryBlock block = blockOf(object);
    int64_t end = int64_t{offset} + length;
    if (offset < 0 || length <= 0 || end > INT32_MAX) {
        return 0;
    }
    if (buffer == nullptr) {
        return -1;
    }
    if (end > int64_t{*block.length} && !resizeBlock(block, static_cast<uint32_t>(end))) {
        return 0;
    }
    std::memcpy(static_cast<char *>(*block.accum) + offset, buffer, static_cast<size_t>(length));
    *done = length;
    return 0;
}

extern "C" int QL_BD_memSetSize(uint32_t size, CoreIOObject *object) {
    if (object == nullptr) {
        return -1;
    }
    if (size == 0) {
        return 0;
    }
    // Beyond what signed 32-bit offsets reach the block could never be read back.
    if (size > INT32_MAX || !resizeBlock(blockOf(object), size)) {
        return -1;
    }
    return 0;
}

extern "C" int QL_BD_fdOpen(CoreIOObject * /*object*/) {
    return 0;
}

extern "C" int QL_BD_fdClose(CoreIOObject * /*object*/) {
    return 0;
}

extern "C" int QL_BD_fdGetSize(uint32_t *size, CoreIOObject *object) {
    if (size == nullptr || object == nullptr) {
        return -1;
    }
    *size = static_cast<uint32_t>(object->context2);
    return 0;
}

extern "C" int QL_BD_fdSetSize(uint32_t size, CoreIOObject *object) {
    if (object == nullptr) {
        return -1;
    }
    object->context2 = static_cast<intptr_t>(size);
    return 0;
}

extern "C" int QL_BD_fdRead(void *buffer, int32_t offset, int32_t length, int32_t *done,
                            CoreIOObject *object) {
    if (done == nullptr || object == nullptr) {
        return -1;
    }
    *done = 0;
    auto size = static_cast<int64_t>(static_cast<uint32_t>(object->context2));
    if (length < 0 || int64_t{offset} > size) {
        return 0;
    }
    auto count = static_cast<size_t>(std::min<int64_t>(length, size - offset));
    if (lseek(descriptorOf(object), offset, SEEK_SET) < 0) {
        return -1;
    }
    ssize_t got;
    do {
        got = read(descriptorOf(object), buffer, count);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return -1;
    }
    *done = static_cast<int32_t>(got);
    return 0;
}

extern "C" int QL_BD_fdWrite(const void *buffer, int32_t offset, int32_t length, int32_t *done,
                             CoreIOObject *object) {
    if (done == nullptr || object == nullptr) {
        return -1;
    }
    *done = 0;
    if (length < 0) {
        return 0;
    }
    if (lseek(descriptorOf(object), offset, SEEK_SET) < 0) {
        return -1;
    }
    ssize_t put;
    do {
        put = write(descriptorOf(object), buffer, static_cast<size_t>(length));
    } while (put < 0 && errno == EINTR);
    if (put < 0) {
        return -1;
    }
    *done = static_cast<int32_t>(put);
    return 0;
}
