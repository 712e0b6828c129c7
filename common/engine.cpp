#include "common/engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>

#include "bd/bd_iface.h"
#include "common/backend_ops.h"
#include "common/iface_conf.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "kav/kav_iface.h"

namespace ql {

namespace {

// Missing, not a file, or not ours to read: no engine is installed. Anything else is the
// system failing (out of descriptors or memory, an I/O error), which the caller must not
// mistake for an engine that is not there.
bool meansNotInstalled(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM ||
           error == ELOOP || error == ENAMETOOLONG || error == EISDIR;
}

void *initBackend(AVType kind, const char *confPath, QL_EventFn onEvent, uint8_t startDaemon) {
    if (kind == AV_KAV) {
        return QL_InitKAVHandle(confPath, onEvent, startDaemon);
    }
    return QL_InitBDHandle(confPath, onEvent);
}

void closeLogger(AVEngine *handle) {
    const BackendOps &ops = backendOps(handle->kind);
    QLLogger *logger = ops.getLogger(handle->backend);
    ops.clearLogger(handle->backend);
    QL_DestroyLogger(logger);
}

}  // namespace

AVType engineKindOf(const char *text) {
    long long value = leadingNumber(text);
    if (value >= 3) {
        return AV_BD;
    }
    return value == 2 ? AV_KAV : AV_NONE;
}

AVType readInstalledEngine(int &unreadable) {
    unreadable = 0;
    AVType kind = AV_NONE;
    char path[QL_PATH_MAX];
    int savedError = lastErrorCode();
    if (rootedPath(kVersionFile, path) < 0) {
        QL_SetError(savedError);  // finding no engine is an answer, not a failure
        return kind;
    }
    // The open itself tells whether the file can be read.
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        unreadable = meansNotInstalled(errno) ? 0 : errno;
        return kind;
    }
    // Each chunk is read as a text of its own, as the engine installation writes one number.
    char chunk[65];
    for (;;) {
        ssize_t n = read(fd.get(), chunk, 64);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            unreadable = meansNotInstalled(errno) ? 0 : errno;
        }
        if (n <= 0) {
            break;
        }
        chunk[n] = '\0';
        AVType named = engineKindOf(chunk);
        if (named != AV_NONE) {
            kind = named;
            break;
        }
    }
    return kind;
}

int failNotInstalled(int unreadable) {
    return QL_SetError(unreadable != 0 ? unreadable : QLE_UNKNOWN_SYSTEM);
}

AVType installedEngineOf(const AVEngine *handle) {
    if (handle == nullptr) {
        return AV_NONE;
    }
    AVType installed = QL_GetInstalledAV();
    return installed == handle->kind ? installed : AV_NONE;
}

QLLogger *handleLogger(const AVEngine *handle) {
    return handle != nullptr ? backendOps(handle->kind).getLogger(handle->backend) : nullptr;
}

}  // namespace ql

extern "C" {

AVType QL_GetInstalledAV(void) {
    int unreadable = 0;
    return ql::readInstalledEngine(unreadable);
}

AVHandle QL_InitAVHandle(const char *confPath, QL_EventFn onEvent, uint8_t startDaemon) {
    AVType kind = QL_GetInstalledAV();
    if (kind == AV_NONE) {
        return nullptr;
    }
    auto *handle = new (std::nothrow) AVEngine{kind, nullptr};
    if (handle == nullptr) {
        QL_SetError(EAGAIN);
        return nullptr;
    }
    handle->backend = ql::initBackend(kind, confPath, onEvent, startDaemon);
    if (handle->backend == nullptr) {
        delete handle;
        return nullptr;
    }
    return handle;
}

void QL_DeinitAVHandle(AVHandle handle, QL_EventFn onEvent) {
    if (handle != nullptr) {
        ql::closeLogger(handle);
        // Released by the engine that made it, whatever the version file says by now.
        ql::backendOps(handle->kind).deinit(handle->backend, onEvent);
        delete handle;
    }
    ql::closeTraceStream();
}

char *QL_GetScannerConf(const char *confPath) {
    AVType kind = QL_GetInstalledAV();
    if (kind == AV_NONE || confPath == nullptr) {
        return nullptr;
    }
    auto *block = static_cast<char *>(std::calloc(1, QL_CONF_BLOCK_SIZE));
    if (block == nullptr) {
        return nullptr;
    }
    int read = kind == AV_KAV ? QL_getKAVScannerConf(confPath, block)
                              : QL_getBDScannerConf(confPath, block);
    if (read != 0) {
        std::free(block);
        return nullptr;
    }
    return block;
}

int QL_OpenHandleLog(AVHandle handle, const char *path, int level) {
    if (ql::installedEngineOf(handle) == AV_NONE) {
        return -1;
    }
    QLLogger *logger = nullptr;
    if (path != nullptr && level > 0) {
        logger = QL_CreateLogger(level, path);
    }
    if (logger == nullptr) {
        logger = QL_NewLogger();
    }
    if (logger == nullptr) {
        return -1;
    }
    ql::backendOps(handle->kind).setLogger(handle->backend, logger);
    return 0;
}

void QL_CloseHandleLog(AVHandle handle) {
    if (handle != nullptr && QL_GetInstalledAV() != AV_NONE) {
        ql::closeLogger(handle);
    }
}

void QL_SetHandleLogCallback(AVHandle handle, LogFn callback) {
    if (ql::installedEngineOf(handle) != AV_NONE) {
        QL_SetLogCallback(ql::handleLogger(handle), callback);
    }
}

void QL_ClearHandleLogCallback(AVHandle handle) {
    if (ql::installedEngineOf(handle) != AV_NONE) {
        QL_ClearLogCallback(ql::handleLogger(handle));
    }
}

}  // extern "C"
