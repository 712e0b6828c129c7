// The settings file syntax, read one entry at a time: physical lines of at most 1024 columns,
// comments, directives, section headers, key lines with quoted values and their continuation,
// and the two value transforms the loader applies ($(NAME) references and unquoting).
//
// All reading state lives in the caller's IniReader, so loads in different threads share
// nothing. The readers never write past the buffers named in their contracts.
#ifndef QL_SETTINGS_INI_READER_H
#define QL_SETTINGS_INI_READER_H

#include <cstdio>
#include <string>
#include <string_view>

#include "settings/value_table.h"

namespace ql::settings {

// Columns of one line; longer physical lines are read as several lines.
inline constexpr int kIniLineColumns = 1024;

// One load's reading state: the open stream and the current line.
struct IniReader {
    std::FILE *file = nullptr;
    char line[kIniLineColumns + 1] = {};
};

enum class IniEntryKind { End, Section, Key };

struct IniEntry {
    IniEntryKind kind = IniEntryKind::End;
    std::string name;   // the section name, or the key
    std::string value;  // a key's value, quotes still in place
};

// Read one physical line into line[kIniLineColumns + 1] (NUL-terminated). A tab advances to the
// next multiple of 8 columns (filled with spaces), CR is dropped, LF / end of file / Ctrl-Z end
// the line; at kIniLineColumns columns the line ends and the rest is the next line. Returns the
// columns stored, or -1 at the end of the file (nothing stored before the end or a Ctrl-Z, and
// no LF).
int iniReadLine(std::FILE *file, char *line);

// Like iniReadLine, but stores at most room (> 0) columns at at[0..room-1] and the terminator at
// at[room] at the latest.
int iniReadContinuation(std::FILE *file, char *at, int room);

// The next section header or key line of reader.file; IniEntryKind::End at the end of the file.
// Empty lines, comments (';' or '#'), directives ('!') and lines of no known form are skipped.
// A quoted value ending in '-' is joined with the following lines while the 1024 columns have
// room, then cut after its closing quote.
IniEntry iniReadEntry(IniReader &reader);

// value with every $(NAME) replaced by NAME's value in environment (looked up exactly as
// written; nothing when not found or when environment is NULL). Substituted text is not
// expanded again.
std::string expandEnvRefs(std::string_view value, const ValueTable *environment);

// A value beginning with a double quote without its quotes: backslash-n becomes a newline, a
// backslash before any other character leaves that character, and the last character is dropped
// when it is the closing quote.
std::string unquoteValue(std::string_view quoted);

}  // namespace ql::settings

#endif  // QL_SETTINGS_INI_READER_H
