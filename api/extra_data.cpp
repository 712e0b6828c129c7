#include "api/extra_data.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/iface_conf.h"
#include "common/iface_utils.h"

namespace {

constexpr int kMaxTexts = 127;
constexpr std::size_t kKeywordLength = 6;

struct Taken {
    bool action = false;
    bool scanList = false;
    bool skipList = false;
    bool excludeList = false;
    bool depth = false;
    bool size = false;
};

void copyTrimmed(char *dst, std::size_t cap, std::string_view value) {
    ql::copyBounded(dst, cap, value);
    QL_Trim(dst);
}

bool isRefusedExtension(std::string_view value) {
    bool foreign = false;
    for (char c : value) {
        foreign = foreign || std::isalnum(static_cast<unsigned char>(c)) == 0;
    }
    bool letterFirst = !value.empty() && std::isalpha(static_cast<unsigned char>(value[0])) != 0;
    return foreign && !letterFirst && value.size() > 4;
}

// DPTH:: takes decimal digits only (empty is 0), 0 to 64.
bool parseDepth(std::string_view value, uint8_t &depth) {
    unsigned long number = 0;
    for (char c : value) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
        number = number * 10 + static_cast<unsigned long>(c - '0');
        if (number > 64) {
            return false;
        }
    }
    depth = static_cast<uint8_t>(number);
    return true;
}

// SIZE:: is a leading number in the unit its last character names: b bytes (rounded up to
// KB), m MB, k or a digit KB; any other last character leaves the limit as it is.
void parseSize(std::string_view value, uint32_t &sizeLimit) {
    if (value.empty()) {
        return;
    }
    std::string copy(value);
    unsigned long long number = std::strtoull(copy.c_str(), nullptr, 10);
    constexpr unsigned long long kMax = UINT32_MAX;
    switch (value.back()) {
        case 'b':
        case 'B':
            sizeLimit = static_cast<uint32_t>(std::min(kMax, (number + 1023) / 1024));
            break;
        case 'm':
        case 'M':
            sizeLimit = static_cast<uint32_t>(std::min(kMax, number * 1024));
            break;
        case 'k':
        case 'K':
            sizeLimit = static_cast<uint32_t>(std::min(kMax, number));
            break;
        default:
            if (std::isdigit(static_cast<unsigned char>(value.back())) != 0) {
                sizeLimit = static_cast<uint32_t>(std::min(kMax, number));
            }
            break;
    }
}

void takeText(std::string_view text, uint32_t scanOpts, int32_t actOpts, ExtraData *extra,
              Taken &taken) {
    if (text.size() < kKeywordLength) {
        return;
    }
    std::string_view keyword = text.substr(0, kKeywordLength);
    std::string_view value = text.substr(kKeywordLength);
    if (keyword == "QDIR::" && actOpts == QL_ACT_QUARANTINE && !taken.action) {
        copyTrimmed(extra->actionArg, sizeof extra->actionArg, value);
        taken.action = extra->actionArg[0] == '/';
        if (!taken.action) {
            extra->actionArg[0] = '\0';
        }
    } else if (keyword == "REXT::" && actOpts == QL_ACT_RENAME && !taken.action) {
        if (isRefusedExtension(value)) {
            extra->actionArg[0] = '\0';
        } else {
            copyTrimmed(extra->actionArg, sizeof extra->actionArg, value);
            taken.action = true;
        }
    } else if (keyword == "SEXT::" && (scanOpts & QL_OPT_SCAN_EXT) != 0 && !taken.scanList) {
        ql::copyBounded(extra->extList, taken.skipList ? std::string_view{} : value);
        taken.scanList = true;
    } else if (keyword == "XEXT::" && (scanOpts & QL_OPT_SKIP_EXT) != 0 && !taken.skipList) {
        ql::copyBounded(extra->extList, taken.scanList ? std::string_view{} : value);
        taken.skipList = true;
    } else if (keyword == "XDIR::" && (scanOpts & QL_OPT_SKIP_DIRS) != 0 && !taken.excludeList) {
        std::free(extra->excludeDirs);
        extra->excludeDirs = strndup(value.data(), value.size());
        taken.excludeList = extra->excludeDirs != nullptr;
    } else if (keyword == "DPTH::" && (scanOpts & QL_OPT_DEPTH) != 0 && !taken.depth) {
        taken.depth = parseDepth(value, extra->maxDepth);
    } else if (keyword == "SIZE::" && (scanOpts & QL_OPT_SIZE) != 0 && !taken.size) {
        parseSize(value, extra->sizeLimit);
        taken.size = extra->sizeLimit != 0;
    }
}

uint32_t filteredScanOptions(uint32_t entry, ExtraData *extra) {
    uint32_t opts = entry;
    auto clear = [&opts](uint32_t bits) { opts &= ~bits; };
    if ((entry & 0x0002) != 0 && (entry & 0x0001) != 0) {
        clear(0x0001);
    }
    if ((entry & QL_OPT_XDEV) != 0 && (entry & QL_OPT_LINK) == 0) {
        clear(QL_OPT_XDEV);
    }
    bool scanExt = (entry & QL_OPT_SCAN_EXT) != 0;
    bool skipExt = (entry & QL_OPT_SKIP_EXT) != 0;
    if (scanExt && skipExt) {
        extra->extList[0] = '\0';
        clear(QL_OPT_SCAN_EXT | QL_OPT_SKIP_EXT);
    } else if ((scanExt || skipExt) && extra->extList[0] == '\0') {
        clear(QL_OPT_SCAN_EXT | QL_OPT_SKIP_EXT);
    }
    if ((entry & QL_OPT_SKIP_DIRS) != 0 && extra->excludeDirs == nullptr) {
        clear(QL_OPT_SKIP_DIRS);
    }
    if ((entry & QL_OPT_DEPTH) != 0 && extra->maxDepth == 0) {
        clear(QL_OPT_DEPTH);
    }
    if ((entry & QL_OPT_SIZE) != 0 && extra->sizeLimit == 0) {
        clear(QL_OPT_SIZE);
    }
    if ((entry & 0x0002) != 0 && (entry & 0x8000) != 0) {
        clear(0x8000);
    }
    return opts;
}

}  // namespace

extern "C" {

int QL_ExtraDataList(QLLogger *logger, int count, const char *const *texts, uint32_t scanOpts,
                     int32_t actOpts, ExtraData *extra) {
    if (extra == nullptr) {
        return ql::failLogged(logger, "QL_ExtraDataList", __LINE__, EINVAL);
    }
    extra->actionArg[0] = '\0';
    extra->extList[0] = '\0';
    extra->sizeLimit = 0;
    extra->maxDepth = 0;
    Taken taken;
    for (int i = 0; texts != nullptr && i < count && i < kMaxTexts && texts[i] != nullptr; ++i) {
        takeText(texts[i], scanOpts, actOpts, extra, taken);
    }
    return 0;
}

int QL_FilterOptions(QLLogger *logger, ObjectRequest *request, ExtraData *extra) {
    if (request == nullptr || extra == nullptr) {
        return ql::failLogged(logger, "QL_FilterOptions", __LINE__, EINVAL);
    }
    if (request->scanOpts == QL_OPT_INVALID) {
        request->scanOpts = 0;
    } else {
        QL_Log(logger, QL_LOG_INFO, "Invalid scanOpts. Filtering\n");
        request->scanOpts = filteredScanOptions(request->scanOpts, extra);
    }
    int32_t action = request->actOpts;
    if (action < QL_ACT_NONE || action > QL_ACT_PROMPT) {
        request->actOpts = QL_ACT_NONE;
        return 0;
    }
    QL_Log(logger, QL_LOG_INFO, "Invalid actOpts. Filtering\n");
    bool needsArgument = action == QL_ACT_RENAME || action == QL_ACT_QUARANTINE;
    if ((needsArgument && extra->actionArg[0] == '\0') ||
        (action == QL_ACT_PROMPT && request->prompt == nullptr)) {
        request->actOpts = QL_ACT_NONE;
    }
    return 0;
}

}  // extern "C"
