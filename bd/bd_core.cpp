#include "bd/bd_core.h"

#include "common/iface_utils.h"
#include "common/unique_fd.h"

namespace ql::bd {

void *coreSymbol(void *library, const char *name) {
    dlerror();  // a stale message must not stand for this look-up
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) {
        QL_SetErrorText(dlerror());
    }
    return symbol;
}

}  // namespace ql::bd

extern "C" void *QL_BDLoadCore(const char *conf) {
    if (conf == nullptr) {
        QL_SetError(22);
        return nullptr;
    }
    char libraryPath[QL_PATH_MAX];
    if (ql::rootedPath(QL_BD_CORE_LIBRARY, libraryPath) < 0) {
        return nullptr;
    }
    void *library = dlopen(libraryPath, RTLD_NOW);
    if (library == nullptr) {
        QL_SetErrorText(dlerror());
        return nullptr;
    }
    ql::ScopeGuard unload([library] { dlclose(library); });
    auto init = ql::bd::coreEntry<CoreInit5Fn>(library, "CoreInit5");
    if (init == nullptr) {
        return nullptr;
    }
    int answer = init(0, conf, libraryPath, conf + QL_VALUE_MAX);
    if (answer != 0) {
        char text[QL_ERROR_TEXT_MAX];
        ql::formatBounded(text, sizeof text, "CoreInit5 failed (%d)", answer);
        QL_SetErrorText(text);
        return nullptr;
    }
    unload.dismiss();
    return library;
}

extern "C" void QL_BDUnloadCore(void *library) {
    if (library == nullptr) {
        return;
    }
    dlerror();
    if (auto uninit = reinterpret_cast<CoreUninitFn>(dlsym(library, "CoreUninit"))) {
        uninit();
    }
    dlclose(library);
}
