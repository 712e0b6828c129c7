// QL_GetAbsolutePath on arbitrary text, against a given base or the working directory, and in
// place (out being path, as the quick scan calls it): the result is an absolute path whose length
// is the return value and fits the buffer.
//
// Input: one flag byte (bit 0: a base is given; bit 1: resolve in place), then the base up to
// the first NUL when one is given, then the path.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "ql/qlscan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint8_t flags = data[0];
    std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string base;
    bool withBase = (flags & 1) != 0;
    if (withBase) {
        std::size_t nul = rest.find('\0');
        base = "/" + rest.substr(0, nul);
        rest = nul == std::string::npos ? std::string() : rest.substr(nul + 1);
    }
    std::string path = rest.substr(0, rest.find('\0'));

    char out[QL_PATH_MAX];
    int length;
    if ((flags & 2) != 0) {
        if (path.size() >= sizeof out) {
            return 0;
        }
        std::memcpy(out, path.c_str(), path.size() + 1);
        length = QL_GetAbsolutePath(out, withBase ? base.c_str() : nullptr, out);
    } else {
        length = QL_GetAbsolutePath(path.c_str(), withBase ? base.c_str() : nullptr, out);
    }
    if (length < 0) {
        return 0;
    }
    QL_FUZZ_CHECK(length < QL_PATH_MAX);
    QL_FUZZ_CHECK(std::strlen(out) == static_cast<std::size_t>(length));
    QL_FUZZ_CHECK(out[0] == '/');
    return 0;
}
