/*
 * value_table.h: a keyed table of text values, the store behind the settings loader.
 *
 * Conventions
 *  - Names are compared byte for byte: case matters and no white space inside the table is
 *    ignored. A name occurs at most once; storing it again replaces its value.
 *  - The table owns every name and value. A value handed out by a look-up stays valid until that
 *    entry's value is replaced or the table is deleted. Values are kept whole; a caller that
 *    copies one into a fixed buffer cuts it there.
 *  - Functions returning a pointer give NULL on failure and store the reason as the calling
 *    thread's last error (12 when memory runs out, 22 for a NULL argument).
 *  - No locks: a table may be read by several threads at once, but any change needs the caller
 *    to exclude every other use of that table.
 *
 * The header compiles as C and as C++.
 */
#ifndef QL_SETTINGS_VALUE_TABLE_H
#define QL_SETTINGS_VALUE_TABLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VALUE_TABLE_BUCKETS 256

typedef struct ValueEntry {
    struct ValueEntry *next; /* list of all entries, newest first */
    struct ValueEntry *prev;
    struct ValueEntry *bucketNext; /* chain of this entry's bucket */
    struct ValueEntry *bucketPrev;
    const char *name; /* stored in the entry's own allocation */
    char *value;      /* allocated copy, owned by the entry */
    uint8_t bucket;   /* sum of the name's bytes modulo 256 */
} ValueEntry;

typedef struct ValueTable {
    ValueEntry *buckets[VALUE_TABLE_BUCKETS];
    ValueEntry *entries; /* head of the list of all entries */
    int32_t count;
} ValueTable;

/* Allocate an empty table; NULL when memory runs out. Free with tableDelete. */
ValueTable *tableCreate(void);

/* Free every entry, its value and the table. NULL is accepted. */
void tableDelete(ValueTable *table);

/* Store a copy of value under name: adds an entry with copies of both when the name is new,
   otherwise replaces the entry's value by a copy when the texts differ (a value handed out
   before stays valid when they are equal). Returns the entry; NULL when memory runs out (an
   existing entry then keeps its old value) or an argument is NULL. */
ValueEntry *tableSet(ValueTable *table, const char *name, const char *value);

/* The entry with exactly this name, or NULL (also for a NULL table or name). */
ValueEntry *tableFind(const ValueTable *table, const char *name);

/* The value stored under name, looked up without the name's leading and trailing white space
   (the caller's text is not changed), or defaultValue (which may be NULL) when there is none. */
const char *tableGet(const ValueTable *table, const char *name, const char *defaultValue);

/* The value under name read as a decimal number the way strtol does (leading white space and a
   sign allowed, stops at the first non-digit, 0 without digits), clamped to the 32-bit range;
   defaultValue when tableGet finds nothing. */
int32_t tableGetNumber(const ValueTable *table, const char *name, int32_t defaultValue);

#ifdef __cplusplus
}

#include <memory>

namespace ql::settings {

// An owned table, deleted with tableDelete.
struct TableDeleter {
    void operator()(ValueTable *table) const { tableDelete(table); }
};
using UniqueTable = std::unique_ptr<ValueTable, TableDeleter>;

}  // namespace ql::settings
#endif

#endif /* QL_SETTINGS_VALUE_TABLE_H */
