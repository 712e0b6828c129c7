#include "api/engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "common/iface_conf.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"

namespace ql {

namespace {

// Missing, not a file, or not ours to read: no engine is installed. Anything else is the
// system failing (out of descriptors or memory, an I/O error), which the caller must not
// mistake for an engine that is not there.
bool meansNotInstalled(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM ||
           error == ELOOP || error == ENAMETOOLONG || error == EISDIR;
}

// The back end that made handle, whatever the version file says by now.
const Backend *makerOf(const AVEngine *handle) {
    return handle != nullptr ? backendFor(handle->kind) : nullptr;
}

void closeLogger(const Backend &backend, AVEngine *handle) {
    QLLogger *logger = backend.getLogger(handle->backend);
    backend.clearLogger(handle->backend);
    QL_DestroyLogger(logger);
}

}  // namespace

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

const Backend *installedBackendOf(const AVEngine *handle) {
    if (handle == nullptr) {
        return nullptr;
    }
    AVType installed = QL_GetInstalledAV();
    return installed == handle->kind ? backendFor(installed) : nullptr;
}

}  // namespace ql

extern "C" {

AVType QL_GetInstalledAV(void) {
    int unreadable = 0;
    return ql::readInstalledEngine(unreadable);
}

AVHandle QL_InitAVHandle(const char *confPath, QL_EventFn onEvent, uint8_t startDaemon) {
    AVType kind = QL_GetInstalledAV();
    const ql::Backend *backend = ql::backendFor(kind);
    if (backend == nullptr) {
        return nullptr;
    }
    auto *handle = new (std::nothrow) AVEngine{kind, nullptr};
    if (handle == nullptr) {
        QL_SetError(EAGAIN);
        return nullptr;
    }
    handle->backend = backend->init(confPath, onEvent, startDaemon);
    if (handle->backend == nullptr) {
        delete handle;
        return nullptr;
    }
    return handle;
}

void QL_DeinitAVHandle(AVHandle handle, QL_EventFn onEvent) {
    // Released by the engine that made it, whatever the version file says by now.
    const ql::Backend *backend = ql::makerOf(handle);
    if (backend != nullptr) {
        ql::closeLogger(*backend, handle);
        backend->shutDown(handle->backend, onEvent);
    }
    delete handle;
    ql::closeTraceStream();
}

char *QL_GetScannerConf(const char *confPath) {
    const ql::Backend *backend = ql::backendFor(QL_GetInstalledAV());
    if (backend == nullptr || confPath == nullptr) {
        return nullptr;
    }
    auto *block = static_cast<char *>(std::calloc(1, QL_CONF_BLOCK_SIZE));
    if (block == nullptr) {
        return nullptr;
    }
    if (backend->readConf(confPath, block) != 0) {
        std::free(block);
        return nullptr;
    }
    return block;
}

int QL_OpenHandleLog(AVHandle handle, const char *path, int level) {
    const ql::Backend *backend = ql::installedBackendOf(handle);
    if (backend == nullptr) {
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
    backend->setLogger(handle->backend, logger);
    return 0;
}

void QL_CloseHandleLog(AVHandle handle) {
    const ql::Backend *backend = ql::makerOf(handle);
    if (backend != nullptr && QL_GetInstalledAV() != AV_NONE) {
        ql::closeLogger(*backend, handle);
    }
}

void QL_SetHandleLogCallback(AVHandle handle, LogFn callback) {
    if (const ql::Backend *backend = ql::installedBackendOf(handle)) {
        QL_SetLogCallback(backend->getLogger(handle->backend), callback);
    }
}

void QL_ClearHandleLogCallback(AVHandle handle) {
    if (const ql::Backend *backend = ql::installedBackendOf(handle)) {
        QL_ClearLogCallback(backend->getLogger(handle->backend));
    }
}

}  // extern "C"
