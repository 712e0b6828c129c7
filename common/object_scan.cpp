#include "common/object_scan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/backend_ops.h"
#include "common/engine.h"
#include "common/iface_conf.h"
#include "common/iface_utils.h"
#include "common/object_reach.h"
#include "common/scan_tree.h"
#include "common/unique_fd.h"

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

// Everything one object scan owns: its parsed extra data, its scan tree and the directories
// the tree had to leave out.
struct ObjectScanState {
    ExtraData extra{};
    ScanTreeNode *tree = nullptr;
    std::vector<ql::LeftOutDirectory> leftOut;
    ~ObjectScanState() {
        std::free(extra.excludeDirs);
        QL_ClearScanTree(&tree);
    }
};

// Make request->path the absolute, link-resolved path in path[QL_PATH_MAX]. Returns 1 to
// scan, 0 for a link that is not to be scanned, -1 on failure.
int prepareObjectPath(ObjectRequest *request, QLLogger *logger, char *path, struct stat &status) {
    if (QL_GetAbsolutePath(request->path, nullptr, path) < 0) {
        int code = ql::lastErrorCode();
        QL_Log(logger, QL_LOG_ERROR, "%s [%d]%s\n", "QL_ScanObject", __LINE__,
               "Error getting absolute path");
        return QL_SetError(code);
    }
    if (lstat(path, &status) != 0) {
        return ql::failLogged(logger, "QL_ScanObject", __LINE__, errno);
    }
    if (S_ISLNK(status.st_mode)) {
        if ((request->scanOpts & QL_OPT_LINK) == 0) {
            QL_Log(logger, QL_LOG_INFO, "%s is link but link not to scan\n", path);
            return 0;
        }
        if (QL_ResolveSymlink(path, path) < 0) {
            return ql::failLogged(logger, "QL_ScanObject", __LINE__, ql::lastErrorCode());
        }
    }
    request->path = path;
    if (stat(path, &status) != 0) {
        return ql::failLogged(logger, "QL_ScanObject", __LINE__, errno);
    }
    return 1;
}

// Report every directory the scan tree left out as not scanned, after the tree was walked.
int reportLeftOut(const std::vector<ql::LeftOutDirectory> &leftOut, ScanReport *report,
                  int result) {
    for (const ql::LeftOutDirectory &dir : leftOut) {
        if (result < 0 || result == QL_RES_STOPPED) {
            break;
        }
        int part =
            ql::reportNotScanned(report, dir.path.c_str(), QL_OBJ_DIRECTORY, dir.reason.c_str());
        result = part == QL_RES_STOPPED ? part : result | part;
    }
    return result;
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

int QL_ScanObject(AVHandle handle, ObjectRequest *request, ScanReport *report, int count,
                  const char *const *texts) {
    ObjectScanState state;
    QL_SetError(0);
    int unreadable = 0;
    AVType installed = ql::readInstalledEngine(unreadable);
    if (handle == nullptr || request == nullptr || request->path == nullptr || report == nullptr) {
        return QL_SetError(EINVAL);
    }
    if (installed == AV_NONE || installed != handle->kind) {
        return ql::failNotInstalled(unreadable);
    }
    QLLogger *logger = ql::handleLogger(handle);
    QL_ExtraDataList(logger, count, texts, request->scanOpts, request->actOpts, &state.extra);
    QL_FilterOptions(logger, request, &state.extra);

    char path[QL_PATH_MAX];
    struct stat status {};
    const char *callersPath = request->path;
    ql::ScopeGuard restorePath([&] { request->path = callersPath; });
    int prepared = prepareObjectPath(request, logger, path, status);
    if (prepared <= 0) {
        return prepared;
    }
    if (S_ISDIR(status.st_mode) && (request->scanOpts & QL_OPT_LINK) != 0) {
        uint8_t crossDevices = (request->scanOpts & QL_OPT_XDEV) != 0 ? 1 : 0;
        if (ql::createScanTree(&state.tree, path, state.extra.excludeDirs, state.extra.maxDepth,
                               true, crossDevices != 0, state.leftOut) < 0) {
            QL_Log(logger, QL_LOG_ERROR, "%s [%d]Error Creating Scan tree - %s\n", "QL_ScanObject",
                   __LINE__, QL_GetErrorText());
            return -1;
        }
    }
    QL_Log(logger, QL_LOG_INFO,
           installed == AV_KAV ? "Installed AV Version is KAV\n" : "Installed AV Version is BDE\n");
    const ql::BackendOps &ops = ql::backendOps(installed);
    int result;
    if (state.tree != nullptr) {
        // The back ends take the tree through the request's path slot.
        ObjectRequest treeRequest{reinterpret_cast<const char *>(&state.tree),
                                  request->scanOpts | QL_OPT_NO_RECURSE, request->actOpts,
                                  request->prompt};
        result = reportLeftOut(state.leftOut, report,
                               ops.scanTree(handle->backend, &treeRequest, &state.extra, report));
    } else {
        result = ops.scanObject(handle->backend, request, &state.extra, report);
    }
    ql::closeTraceStream();
    return result;
}

}  // extern "C"
