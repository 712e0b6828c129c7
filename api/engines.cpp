#include "api/engines.h"

#include "bd/bd_iface.h"
#include "common/iface_utils.h"
#include "kav/kav_iface.h"

namespace ql {

AVType engineKindOf(const char *text) {
    long long value = leadingNumber(text);
    if (value >= 3) {
        return AV_BD;
    }
    return value == 2 ? AV_KAV : AV_NONE;
}

const Backend *backendFor(AVType kind) {
    switch (kind) {
        case AV_KAV:
            return &kav::backend();
        case AV_BD:
            return &bd::backend();
        default:
            return nullptr;
    }
}

}  // namespace ql
