// The engine configuration reader: the line-based parser of the engine configuration file and
// the two look-ups that fill an engine configuration block from its section "path".
//
// The engine configuration block is QL_CONF_BLOCK_SIZE characters in two NUL-terminated fields
// of QL_VALUE_MAX: field 1 at offset 0, field 2 at offset QL_VALUE_MAX. The path handed in is
// used as it stands (it is never put under QL_ROOT); the caller decides where the file lives.
#ifndef QL_COMMON_IFACE_CONF_H
#define QL_COMMON_IFACE_CONF_H

#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// Strip white space (space, \t, \n, \v, \f, \r) from the start of text in place, moving the rest
// to the front. Returns text; NULL for NULL.
char *QL_TrimLeft(char *text);
// Strip white space from the end of text in place. Returns text; NULL for NULL.
char *QL_TrimRight(char *text);
// Strip white space from both ends of text in place. Returns text; NULL for NULL.
char *QL_Trim(char *text);

// Cut text at its first '#'. Returns the 1-based position of that '#', 0 when there is none,
// -1 with error 22 for NULL.
int QL_filterComment(char *text);

// Read the next line of fd into line[QL_PATH_MAX]. A line ends at \n, \r, a byte 0xFF or the
// end of the file; \n or \r is kept in the line, 0xFF is not. At most 1023 bytes are kept; the
// rest of a longer line is read and dropped. Returns 0 when a line (possibly empty) was read,
// -1 at the end of the file with nothing read, -1 with error 22 for a negative fd or NULL line.
int QL_getConfFileLine(int fd, char *line);

// Parse one line (not changed) into key[QL_VALUE_MAX] and value[QL_VALUE_MAX], after dropping
// any comment and the white space at both ends. Returns 1 for a section header "[name]" (key is
// the trimmed name, value empty), 2 for an option "key = value" split at the first '=' (both
// trimmed, each cut to 255 characters), -1 for any other line, -1 with error 22 for NULL.
int QL_getOption(const char *line, char *key, char *value);

// Fill conf[QL_CONF_BLOCK_SIZE] from the section "path" of the file at path: LocalSocketPath to
// field 1 and AVSpidPATH to field 2. Names and keys match without regard to case; an absent key
// leaves its field empty. Returns 0 once the file was read; -1 with error 22 when an argument is
// NULL, -1 with the errno of open when the file cannot be opened (conf is then left as it was).
int QL_getKAVScannerConf(const char *path, char *conf);

// As QL_getKAVScannerConf, but field 1 is BasesPath followed by "/Plugins" (the whole cut to 255
// characters) and field 2 is TempPath.
int QL_getBDScannerConf(const char *path, char *conf);

#ifdef __cplusplus
}
#endif

#endif  // QL_COMMON_IFACE_CONF_H
