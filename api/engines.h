// The engines the library serves, by kind: the one place that knows both back ends.
#ifndef QL_API_ENGINES_H
#define QL_API_ENGINES_H

#include "engine/backend.h"
#include "ql/qlscan.h"

namespace ql {

// The engine kind a version file's text names: 2 is KAV, 3 or more BD, anything else none.
[[nodiscard]] AVType engineKindOf(const char *text);

// The back end of an engine kind; NULL for AV_NONE and any kind no back end serves.
[[nodiscard]] const Backend *backendFor(AVType kind);

}  // namespace ql

#endif  // QL_API_ENGINES_H
