/*
 * ini_loader.h: loads an INI-style settings file into a ValueTable.
 *
 * Syntax: "[section]" headers; "key = value" lines stored as "section:key" (lines before the
 * first header are dropped); ';' and '#' start comments, also after an unquoted value; '!'
 * starts a directive line, which is skipped. A value in double quotes keeps ';' and '#', takes
 * backslash escapes (backslash-n is a newline) and continues on the next line while it ends in
 * '-'. $(NAME) in a value is replaced by the environment variable NAME (names upper-cased).
 * Lines longer than 1024 columns are read as several lines; tabs count to columns of 8, CR is
 * ignored, Ctrl-Z on an empty line ends the file. A key stored twice keeps the later value.
 *
 * Besides the file's entries the table holds "filename" (the name passed in), "filedate"
 * (YYYYMMDD) and "filetime" (HHMMSS00) of the file's modification time in local time, both "0"
 * when its status cannot be read.
 *
 * Every load keeps its state to itself, so loads of different tables may run in different
 * threads at once. The header compiles as C and as C++.
 */
#ifndef QL_SETTINGS_INI_LOADER_H
#define QL_SETTINGS_INI_LOADER_H

#include "settings/value_table.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Load fileName into table and return it. An absolute name, or a relative name under which a
   file exists in the current directory, is opened directly; another relative name is looked for
   in the directories of PATH. When no file can be opened a given table is returned unchanged.
   With a NULL table a new one is created and returned (the caller frees it with tableDelete);
   NULL only when that fails. */
ValueTable *iniLoad(ValueTable *table, const char *fileName);

#ifdef __cplusplus
}
#endif

#endif /* QL_SETTINGS_INI_LOADER_H */
