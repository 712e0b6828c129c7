#include "settings/value_table.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "ql/qlscan.h"

namespace {

using MallocText = ql::UniqueText;

MallocText copyText(std::string_view text) {
    MallocText copy(static_cast<char *>(std::malloc(text.size() + 1)));
    if (copy) {
        std::memcpy(copy.get(), text.data(), text.size());
        copy.get()[text.size()] = '\0';
    }
    return copy;
}

uint8_t bucketOf(std::string_view name) {
    unsigned sum = 0;
    for (char c : name) {
        sum += static_cast<unsigned char>(c);
    }
    return static_cast<uint8_t>(sum % VALUE_TABLE_BUCKETS);
}

// The name lives right behind the entry, in the same allocation, so an entry is freed at once.
ValueEntry *newEntry(std::string_view name, std::string_view value) {
    std::unique_ptr<void, ql::FreeDeleter> block(std::malloc(sizeof(ValueEntry) + name.size() + 1));
    MallocText valueCopy = copyText(value);
    if (!block || !valueCopy) {
        return nullptr;
    }
    auto *entry = static_cast<ValueEntry *>(block.release());
    char *nameCopy = reinterpret_cast<char *>(entry + 1);
    std::memcpy(nameCopy, name.data(), name.size());
    nameCopy[name.size()] = '\0';
    *entry = ValueEntry{};
    entry->name = nameCopy;
    entry->value = valueCopy.release();
    entry->bucket = bucketOf(name);
    return entry;
}

void link(ValueTable *table, ValueEntry *entry) {
    entry->next = table->entries;
    if (table->entries != nullptr) {
        table->entries->prev = entry;
    }
    table->entries = entry;

    ValueEntry *&head = table->buckets[entry->bucket];
    entry->bucketNext = head;
    if (head != nullptr) {
        head->bucketPrev = entry;
    }
    head = entry;
    ++table->count;
}

ValueEntry *findEntry(const ValueTable *table, std::string_view name) {
    for (ValueEntry *e = table->buckets[bucketOf(name)]; e != nullptr; e = e->bucketNext) {
        if (name == e->name) {
            return e;
        }
    }
    return nullptr;
}

ValueEntry *setEntry(ValueTable *table, std::string_view name, std::string_view value) {
    if (ValueEntry *entry = findEntry(table, name)) {
        if (value != entry->value) {
            // Copy before freeing: value may point into the old text.
            MallocText copy = copyText(value);
            if (!copy) {
                QL_SetError(ENOMEM);
                return nullptr;
            }
            std::free(entry->value);
            entry->value = copy.release();
        }
        return entry;
    }
    ValueEntry *entry = newEntry(name, value);
    if (entry == nullptr) {
        QL_SetError(ENOMEM);
        return nullptr;
    }
    link(table, entry);
    return entry;
}

}  // namespace

extern "C" {

ValueTable *tableCreate(void) {
    auto *table = static_cast<ValueTable *>(std::calloc(1, sizeof(ValueTable)));
    if (table == nullptr) {
        QL_SetError(ENOMEM);
    }
    return table;
}

void tableDelete(ValueTable *table) {
    if (table == nullptr) {
        return;
    }
    ValueEntry *entry = table->entries;
    while (entry != nullptr) {
        ValueEntry *next = entry->next;
        std::free(entry->value);
        std::free(entry);
        entry = next;
    }
    std::free(table);
}

ValueEntry *tableSet(ValueTable *table, const char *name, const char *value) {
    if (table == nullptr || name == nullptr || value == nullptr) {
        QL_SetError(EINVAL);
        return nullptr;
    }
    return setEntry(table, name, value);
}

ValueEntry *tableFind(const ValueTable *table, const char *name) {
    if (table == nullptr || name == nullptr) {
        return nullptr;
    }
    return findEntry(table, name);
}

const char *tableGet(const ValueTable *table, const char *name, const char *defaultValue) {
    if (table == nullptr || name == nullptr) {
        return defaultValue;
    }
    const ValueEntry *entry = findEntry(table, ql::trimmed(name));
    return entry != nullptr ? entry->value : defaultValue;
}

int32_t tableGetNumber(const ValueTable *table, const char *name, int32_t defaultValue) {
    const char *text = tableGet(table, name, nullptr);
    if (text == nullptr) {
        return defaultValue;
    }
    return ql::leadingInt(text);
}

}  // extern "C"
