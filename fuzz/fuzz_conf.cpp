// The engine configuration reader over a file of arbitrary bytes: the line reader and the option
// parser keep to their buffers, and both engine look-ups leave two terminated fields.
#include <cstdint>
#include <cstring>

#include "common/iface_conf.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static ql::fuzz::TempFile file;
    file.rewrite(data, size);

    char line[QL_PATH_MAX];
    char key[QL_VALUE_MAX];
    char value[QL_VALUE_MAX];
    while (QL_getConfFileLine(file.fd(), line) == 0) {
        QL_FUZZ_CHECK(ql::fuzz::terminatedWithin(line, sizeof line));
        int kind = QL_getOption(line, key, value);
        QL_FUZZ_CHECK(kind == 1 || kind == 2 || kind == -1);
        QL_FUZZ_CHECK(ql::fuzz::terminatedWithin(key, sizeof key));
        QL_FUZZ_CHECK(ql::fuzz::terminatedWithin(value, sizeof value));
        QL_FUZZ_CHECK(kind != 1 || value[0] == '\0');
    }

    char conf[QL_CONF_BLOCK_SIZE];
    for (auto read : {QL_getKAVScannerConf, QL_getBDScannerConf}) {
        std::memset(conf, 'x', sizeof conf);
        QL_FUZZ_CHECK(read(file.path(), conf) == 0);
        QL_FUZZ_CHECK(ql::fuzz::terminatedWithin(conf, QL_VALUE_MAX));
        QL_FUZZ_CHECK(ql::fuzz::terminatedWithin(conf + QL_VALUE_MAX, QL_VALUE_MAX));
    }
    return 0;
}
