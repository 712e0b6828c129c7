// The engine handle, and the installed engine as every engine-neutral call finds it.
//
// An AVHandle records the engine kind that made it; every engine-neutral call still reads the
// version file and refuses a handle whose engine is no longer the installed one, so that a KAV
// handle never reaches the BD back end (and the other way round).
#ifndef QL_API_ENGINE_H
#define QL_API_ENGINE_H

#include <cerrno>

#include "api/engines.h"
#include "ql/qlscan.h"

struct AVEngine {
    AVType kind;    // the engine that made backend
    void *backend;  // the back end's handle (KAVHandle *, BDHandle *), owned
};

namespace ql {

// The fixed path of the version file that names the installed engine.
inline constexpr const char *kVersionFile = "/opt/Quellar/etc/qorn-ver";

// The installed engine, read from the version file now (QL_GetInstalledAV). unreadable gets 0,
// or the errno when the file is there but the system failed to open or read it (out of
// descriptors or memory, an I/O error); a missing or unreadable file is no engine, as always.
[[nodiscard]] AVType readInstalledEngine(int &unreadable);

// Fail a call whose engine is not the installed one: with unreadable when reading the version
// file failed that way (so "Too many open files" is not taken for 901), else with 901.
int failNotInstalled(int unreadable);

// The back end of handle's engine when it is the installed one; NULL (the last error left as it
// is) otherwise.
[[nodiscard]] const Backend *installedBackendOf(const AVEngine *handle);

// The guard every engine-neutral scan passes first: the last error cleared, the version file
// read, then the call refused with error 22 for a NULL handle or when argumentsGiven() is false
// (not called for a NULL handle), and with failNotInstalled when handle's engine is not the
// installed one. The back end to call, or NULL after a refusal (neither is logged: no logger is
// at hand yet).
template <typename ArgumentsGiven>
[[nodiscard]] const Backend *backendForScan(AVHandle handle, ArgumentsGiven argumentsGiven) {
    QL_SetError(0);
    int unreadable = 0;
    AVType installed = readInstalledEngine(unreadable);
    if (handle == nullptr || !argumentsGiven()) {
        QL_SetError(EINVAL);
        return nullptr;
    }
    if (installed == AV_NONE || installed != handle->kind) {
        failNotInstalled(unreadable);
        return nullptr;
    }
    return backendFor(installed);
}

}  // namespace ql

#endif  // QL_API_ENGINE_H
