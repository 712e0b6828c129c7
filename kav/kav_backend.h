// The KAV back end's table for the engine-neutral calls.
#ifndef QL_KAV_KAV_BACKEND_H
#define QL_KAV_KAV_BACKEND_H

#include "engine/backend.h"

namespace ql::kav {

// The table over kav/kav_iface.h: handles are KAVHandle *.
[[nodiscard]] const Backend &backend();

}  // namespace ql::kav

#endif  // QL_KAV_KAV_BACKEND_H
