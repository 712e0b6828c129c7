// QL_ExtraDataList and QL_FilterOptions on arbitrary texts and options: the fields stay C strings
// within their sizes, and every option the filter keeps has the value it needs.
//
// Input: four bytes of scanOpts, one byte of actOpts (signed), one flag byte (bit 0: a prompt is
// given; bit 1: a NULL entry ends the list), then the texts separated by LF.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/object_scan.h"
#include "fuzz/fuzz_support.h"

namespace {

// Formats every message, so that a text the parser logs is read whole.
__attribute__((format(printf, 2, 0))) void formatMessage(int /*level*/, const char *format,
                                                         va_list args) {
    char sink[512];
    std::vsnprintf(sink, sizeof sink, format, args);
}

int prompt(const char * /*path*/, char * /*argument*/) {
    return QL_ACT_NONE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6) {
        return 0;
    }
    uint32_t scanOpts;
    std::memcpy(&scanOpts, data, sizeof scanOpts);
    auto actOpts = static_cast<int32_t>(static_cast<int8_t>(data[4]));
    const uint8_t flags = data[5];

    std::vector<std::string> texts;
    std::string all(reinterpret_cast<const char *>(data + 6), size - 6);
    for (std::size_t at = 0; at <= all.size();) {
        std::size_t end = all.find('\n', at);
        end = end == std::string::npos ? all.size() : end;
        texts.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    std::vector<const char *> pointers;
    for (const std::string &text : texts) {
        pointers.push_back(text.c_str());
    }
    if ((flags & 2) != 0) {
        pointers.push_back(nullptr);
    }

    QLLogger logger{nullptr, QL_LOG_INFO + 1, formatMessage};
    ExtraData extra{};
    QL_FUZZ_CHECK(QL_ExtraDataList(&logger, static_cast<int>(pointers.size()), pointers.data(),
                                   scanOpts, actOpts, &extra) == 0);
    QL_FUZZ_CHECK(ql::fuzz::terminatedWithin(extra.actionArg, sizeof extra.actionArg));
    QL_FUZZ_CHECK(ql::fuzz::terminatedWithin(extra.extList, sizeof extra.extList));
    QL_FUZZ_CHECK(extra.maxDepth <= 64);

    ObjectRequest request{"/var/spool/mail", scanOpts, actOpts,
                          (flags & 1) != 0 ? prompt : nullptr};
    QL_FUZZ_CHECK(QL_FilterOptions(&logger, &request, &extra) == 0);
    const uint32_t kept = request.scanOpts;
    QL_FUZZ_CHECK((kept & QL_OPT_SCAN_EXT) == 0 || (kept & QL_OPT_SKIP_EXT) == 0);
    QL_FUZZ_CHECK((kept & (QL_OPT_SCAN_EXT | QL_OPT_SKIP_EXT)) == 0 || extra.extList[0] != '\0');
    QL_FUZZ_CHECK((kept & QL_OPT_SKIP_DIRS) == 0 || extra.excludeDirs != nullptr);
    QL_FUZZ_CHECK((kept & QL_OPT_DEPTH) == 0 || extra.maxDepth != 0);
    QL_FUZZ_CHECK((kept & QL_OPT_SIZE) == 0 || extra.sizeLimit != 0);
    QL_FUZZ_CHECK((kept & QL_OPT_XDEV) == 0 || (kept & QL_OPT_LINK) != 0);
    QL_FUZZ_CHECK(request.actOpts >= QL_ACT_NONE && request.actOpts <= QL_ACT_PROMPT);
    QL_FUZZ_CHECK(request.actOpts != QL_ACT_QUARANTINE || extra.actionArg[0] == '/');
    QL_FUZZ_CHECK(request.actOpts != QL_ACT_RENAME || extra.actionArg[0] != '\0');
    QL_FUZZ_CHECK(request.actOpts != QL_ACT_PROMPT || request.prompt != nullptr);
    std::free(extra.excludeDirs);
    return 0;
}
