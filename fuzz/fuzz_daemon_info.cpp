// QL_daemonInfoCallback on one arbitrary reply line, as the reply reader hands it over (at most
// 2047 bytes, terminated, writable): the fixed-width fields are filled within their sizes.
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "kav/kav_daemon_iface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    constexpr std::size_t kLineLimit = 2048;
    if (size >= kLineLimit) {
        return 0;
    }
    // Exactly the line's bytes on the heap, so a read past the terminator is caught.
    char *line = new char[size + 1];
    std::memcpy(line, data, size);
    line[size] = '\0';
    DaemonInfo info{};
    (void)QL_daemonInfoCallback(line, nullptr, &info);
    std::memcpy(line, data, size);
    (void)QL_daemonInfoCallback(line, nullptr, nullptr);
    delete[] line;
    return 0;
}
