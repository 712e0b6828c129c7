// An owned engine handle, for the programs built on the library (the daemon, qlscan).
#ifndef QL_API_ENGINE_HANDLE_H
#define QL_API_ENGINE_HANDLE_H

#include <memory>

#include "ql/qlscan.h"

namespace ql {

// Closes the handle with QL_DeinitAVHandle, without an event function.
struct EngineCloser {
    void operator()(AVHandle handle) const { QL_DeinitAVHandle(handle, nullptr); }
};
using EngineHandle = std::unique_ptr<AVEngine, EngineCloser>;

}  // namespace ql

#endif  // QL_API_ENGINE_HANDLE_H
