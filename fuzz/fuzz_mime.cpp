// The mail reader over a message of arbitrary bytes: every part lies inside the message, in
// order, and decodes to no more bytes than it has, the same bytes whether read in one piece or
// in small steps.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "standins/common/mime_reader.h"

using ql::standin::MemorySource;
using ql::standin::MimePartSource;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    MemorySource message(data, size);
    ql::standin::MimeListing listing = ql::standin::listMime(message, 64);
    QL_FUZZ_CHECK(listing.parts.size() <= 64);
    QL_FUZZ_CHECK(listing.isMessage || listing.parts.empty());
    std::uint64_t previous = 0;
    std::size_t step = size > 0 ? data[0] % 17 + 1 : 1;
    for (const ql::standin::MimePart &part : listing.parts) {
        QL_FUZZ_CHECK(part.offset >= previous && part.offset + part.length <= size);
        QL_FUZZ_CHECK(!part.name.empty() && part.name.size() <= ql::standin::kMimeMaxNameLength);
        previous = part.offset;
        MimePartSource decoded(message, part);
        QL_FUZZ_CHECK(decoded.ok() && decoded.size() <= part.length);
        std::string whole(decoded.size(), '\0');
        QL_FUZZ_CHECK(readFully(decoded, 0, whole.data(), whole.size()) ==
                      static_cast<std::int64_t>(whole.size()));
        std::string stepped(decoded.size(), '\0');
        for (std::size_t at = 0; at < stepped.size(); at += step) {
            std::size_t len = std::min(step, stepped.size() - at);
            QL_FUZZ_CHECK(decoded.read(at, stepped.data() + at, len) ==
                          static_cast<std::int64_t>(len));
        }
        QL_FUZZ_CHECK(stepped == whole);
    }
    return 0;
}
