// The BD back end's table for the engine-neutral calls.
#ifndef QL_BD_BD_BACKEND_H
#define QL_BD_BD_BACKEND_H

#include "engine/backend.h"

namespace ql::bd {

// The table over bd/bd_iface.h: handles are BDHandle *.
[[nodiscard]] const Backend &backend();

}  // namespace ql::bd

#endif  // QL_BD_BD_BACKEND_H
