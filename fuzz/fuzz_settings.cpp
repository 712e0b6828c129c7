// The settings loader over a file of arbitrary bytes: every entry it stores is a C string, and a
// table read back gives what the loader stored.
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "settings/ini_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static ql::fuzz::TempFile file;
    file.rewrite(data, size);
    ValueTable *table = iniLoad(nullptr, file.path());
    QL_FUZZ_CHECK(table != nullptr);
    int32_t count = 0;
    for (const ValueEntry *entry = table->entries; entry != nullptr; entry = entry->next) {
        QL_FUZZ_CHECK(tableFind(table, entry->name) == entry);
        (void)std::strlen(entry->value);
        (void)tableGetNumber(table, entry->name, 0);
        ++count;
    }
    QL_FUZZ_CHECK(count == table->count);
    tableDelete(table);
    return 0;
}
