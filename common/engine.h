// Engine selection: which engine is installed, and the handle that opens it.
//
// An AVHandle records the engine kind that made it; every engine-neutral call still reads the
// version file and refuses a handle whose engine is no longer the installed one, so that a KAV
// handle never reaches the BD back end (and the other way round).
#ifndef QL_COMMON_ENGINE_H
#define QL_COMMON_ENGINE_H

#include "ql/qlscan.h"

struct AVEngine {
    AVType kind;    // the engine that made backend
    void *backend;  // KAVHandle * or BDHandle *, owned
};

namespace ql {

// The fixed path of the version file that names the installed engine.
inline constexpr const char *kVersionFile = "/opt/Quellar/etc/qorn-ver";

// The engine kind a version file's text names: 2 is KAV, 3 or more BD, anything else none.
[[nodiscard]] AVType engineKindOf(const char *text);

// The installed engine, read from the version file now (QL_GetInstalledAV). unreadable gets 0,
// or the errno when the file is there but the system failed to open or read it (out of
// descriptors or memory, an I/O error); a missing or unreadable file is no engine, as always.
[[nodiscard]] AVType readInstalledEngine(int &unreadable);

// Fail a call whose engine is not the installed one: with unreadable when reading the version
// file failed that way (so "Too many open files" is not taken for 901), else with 901.
int failNotInstalled(int unreadable);

// The handle's engine when it is the installed one; AV_NONE (the last error left as it is)
// otherwise.
[[nodiscard]] AVType installedEngineOf(const AVEngine *handle);

// The handle's logger through its back end's accessor; NULL for a NULL handle.
[[nodiscard]] QLLogger *handleLogger(const AVEngine *handle);

}  // namespace ql

#endif  // QL_COMMON_ENGINE_H
