#include "settings/ini_reader.h"

#include <algorithm>

namespace ql::settings {
namespace {

constexpr int kCtrlZ = 26;
constexpr int kTabWidth = 8;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int readColumns(std::FILE *file, char *at, int room) {
    int column = 0;
    bool endedByNewline = false;
    while (column < room) {
        int c = std::getc(file);
        if (c == EOF || c == kCtrlZ) {
            break;
        }
        if (c == '\n') {
            endedByNewline = true;
            break;
        }
        if (c == '\r') {
            continue;
        }
        if (c == '\t') {
            int stop = std::min((column / kTabWidth + 1) * kTabWidth, room);
            while (column < stop) {
                at[column++] = ' ';
            }
            continue;
        }
        at[column++] = static_cast<char>(c);
    }
    at[column] = '\0';
    return column > 0 || endedByNewline ? column : -1;
}

int withoutTrailingBlanks(const char *text, int length) {
    while (length > 0 && isBlank(text[length - 1])) {
        --length;
    }
    return length;
}

std::string_view withoutTrailingBlanks(std::string_view text) {
    return text.substr(0, withoutTrailingBlanks(text.data(), static_cast<int>(text.size())));
}

// Joins the following physical lines onto a quoted value that ends in '-', each replacing the
// '-', as long as the line has room. Returns the new line length.
int joinContinuations(IniReader &reader, int valueStart, int length) {
    char *line = reader.line;
    int room = kIniLineColumns - length;
    while (length > valueStart && line[length - 1] == '-' && room > 0) {
        int read = iniReadContinuation(reader.file, line + length - 1, room);
        if (read < 0) {
            line[length - 1] = '-';
            break;
        }
        length = withoutTrailingBlanks(line, length - 1 + read);
        room = kIniLineColumns - length;
    }
    line[length] = '\0';
    return length;
}

// Length of a quoted value up to and including its first closing quote that no backslash
// protects; the whole value when it has none.
std::size_t quotedLength(std::string_view value) {
    for (std::size_t i = 1; i < value.size(); ++i) {
        if (value[i] == '\\') {
            ++i;
        } else if (value[i] == '"') {
            return i + 1;
        }
    }
    return value.size();
}

IniEntry keyEntry(IniReader &reader, int textStart, int equals, int length) {
    IniEntry entry;
    entry.kind = IniEntryKind::Key;
    entry.name = withoutTrailingBlanks(
        std::string_view(reader.line + textStart, static_cast<std::size_t>(equals - textStart)));

    int valueStart = equals + 1;
    while (valueStart < length && reader.line[valueStart] == ' ') {
        ++valueStart;
    }
    std::string_view value;
    if (valueStart < length && reader.line[valueStart] == '"') {
        length = joinContinuations(reader, valueStart, length);
        value = std::string_view(reader.line + valueStart,
                                 static_cast<std::size_t>(length - valueStart));
        value = value.substr(0, quotedLength(value));
    } else {
        value = std::string_view(reader.line + valueStart,
                                 static_cast<std::size_t>(length - valueStart));
        value = value.substr(0, value.find_first_of(";#"));
    }
    entry.value = withoutTrailingBlanks(value);
    return entry;
}

IniEntry sectionEntry(std::string_view name) {
    IniEntry entry;
    entry.kind = IniEntryKind::Section;
    entry.name = name;
    return entry;
}

}  // namespace

int iniReadLine(std::FILE *file, char *line) {
    return readColumns(file, line, kIniLineColumns);
}

int iniReadContinuation(std::FILE *file, char *at, int room) {
    if (room <= 0) {
        at[0] = '\0';
        return -1;
    }
    return readColumns(file, at, room);
}

IniEntry iniReadEntry(IniReader &reader) {
    for (;;) {
        int length = iniReadLine(reader.file, reader.line);
        if (length < 0) {
            return IniEntry{};
        }
        length = withoutTrailingBlanks(reader.line, length);
        reader.line[length] = '\0';
        int start = 0;
        while (start < length && isBlank(reader.line[start])) {
            ++start;
        }
        if (start == length) {
            continue;
        }
        std::string_view text(reader.line + start, static_cast<std::size_t>(length - start));
        if (text.front() == ';' || text.front() == '#' || text.front() == '!') {
            continue;
        }
        if (std::size_t equals = text.find('='); equals != std::string_view::npos) {
            return keyEntry(reader, start, start + static_cast<int>(equals), length);
        }
        if (text.size() >= 2 && text[0] == '[' && text[1] != ']') {
            std::string_view name = text.substr(1);
            return sectionEntry(name.substr(0, name.find(']')));
        }
        if (text == "[]") {
            return sectionEntry({});
        }
    }
}

std::string expandEnvRefs(std::string_view value, const ValueTable *environment) {
    std::string out;
    out.reserve(value.size());
    std::size_t pos = 0;
    while (pos < value.size()) {
        std::size_t dollar = value.find('$', pos);
        if (dollar == std::string_view::npos) {
            out.append(value.substr(pos));
            break;
        }
        out.append(value.substr(pos, dollar - pos));
        std::size_t close = std::string_view::npos;
        if (dollar + 1 < value.size() && value[dollar + 1] == '(') {
            close = value.find(')', dollar + 2);
        }
        if (close == std::string_view::npos) {
            // The '$' and the character after it (when there is one) stay as written.
            out.append(value.substr(dollar, 2));
            pos = dollar + 2;
            continue;
        }
        std::string name(value.substr(dollar + 2, close - dollar - 2));
        if (const ValueEntry *found = tableFind(environment, name.c_str())) {
            out.append(found->value);
        }
        pos = close + 1;
    }
    return out;
}

std::string unquoteValue(std::string_view quoted) {
    std::string out;
    out.reserve(quoted.size());
    bool endsInClosingQuote = false;
    for (std::size_t i = 1; i < quoted.size(); ++i) {
        endsInClosingQuote = false;
        if (quoted[i] == '\\' && i + 1 < quoted.size()) {
            ++i;
            out.push_back(quoted[i] == 'n' ? '\n' : quoted[i]);
        } else {
            endsInClosingQuote = quoted[i] == '"';
            out.push_back(quoted[i]);
        }
    }
    if (endsInClosingQuote) {
        out.pop_back();
    }
    return out;
}

}  // namespace ql::settings
