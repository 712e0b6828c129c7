#include "tools/cli_common.h"

#include <cstdio>

#include "common/iface_utils.h"

namespace ql::tools {

std::string printable(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            static constexpr char kHex[] = "0123456789abcdef";
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xf];
        } else {
            shown += c;
        }
    }
    return shown;
}

namespace {

constexpr const char *kDefaultConf = "/opt/Quellar/etc/qorn.conf";

}  // namespace

std::string engineConfPath(const std::string &configured) {
    if (!configured.empty()) {
        return configured;
    }
    char path[QL_PATH_MAX];
    if (rootedPath(kDefaultConf, path) < 0) {
        std::fprintf(stderr, "qlscan: QL_ROOT does not give a usable %s\n", kDefaultConf);
        return "";
    }
    return path;
}

EngineHandle openEngine(const std::string &confPath) {
    if (QL_GetInstalledAV() == AV_NONE) {
        std::fprintf(stderr, "qlscan: no scan engine is installed (see the version file)\n");
        return EngineHandle();
    }
    QL_SetError(0);
    AVHandle handle = QL_InitAVHandle(confPath.c_str(), nullptr, 0);
    if (handle == nullptr) {
        std::fprintf(stderr, "qlscan: cannot open the scan engine with %s: %s\n", confPath.c_str(),
                     QL_GetErrorText());
    }
    return EngineHandle(handle);
}

}  // namespace ql::tools
