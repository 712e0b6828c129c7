// Loading and unloading the core library, and looking up its entry points.
#ifndef QL_BD_BD_CORE_H
#define QL_BD_BD_CORE_H

#include <dlfcn.h>

#include "bd/core_contract.h"

#ifdef __cplusplus
extern "C" {
#endif

// The core library's fixed path (put under QL_ROOT when it is set); also handed to CoreInit5.
#define QL_BD_CORE_LIBRARY "/opt/Quellar/lib/libavcore.so"

// Load the core library and initialise it with the core path block (QL_CONF_BLOCK_SIZE bytes:
// the plug-ins directory at 0, the temporary directory at QL_VALUE_MAX). Returns the library
// handle for QL_BDUnloadCore, or NULL: error 22 for a NULL block; the loader's message as the
// error text when the library or CoreInit5 cannot be found; a text naming CoreInit5 and its
// answer when that fails (the library is then unloaded again).
void *QL_BDLoadCore(const char *conf);

// Call CoreUninit (when the library has it) and unload the library. NULL is ignored.
void QL_BDUnloadCore(void *library);

#ifdef __cplusplus
}

namespace ql::bd {

// The entry point name of the core library, or nullptr with the loader's message as the error
// text. Looked up on every use: nothing is cached.
[[nodiscard]] void *coreSymbol(void *library, const char *name);

template <typename Fn>
[[nodiscard]] Fn coreEntry(void *library, const char *name) {
    return reinterpret_cast<Fn>(coreSymbol(library, name));
}

}  // namespace ql::bd

#endif

#endif  // QL_BD_BD_CORE_H
