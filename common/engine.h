// Engine selection: which engine is installed, and the handle that opens it.
#ifndef QL_COMMON_ENGINE_H
#define QL_COMMON_ENGINE_H

#include "ql/qlscan.h"

namespace ql {

// The fixed path of the version file that names the installed engine.
inline constexpr const char *kVersionFile = "/opt/Quellar/etc/qorn-ver";

// The engine kind a version file's text names: 2 is KAV, 3 or more BD, anything else none.
[[nodiscard]] AVType engineKindOf(const char *text);

}  // namespace ql

#endif  // QL_COMMON_ENGINE_H
