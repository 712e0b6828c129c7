#include "settings/ini_loader.h"

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "settings/ini_reader.h"
#include "settings/value_table.h"

extern char **environ;

namespace {

using ql::settings::IniEntry;
using ql::settings::IniEntryKind;
using ql::settings::IniReader;

using ql::settings::UniqueTable;

struct FoundFile {
    std::string path;     // empty when no file exists under the name
    ql::UniqueFile file;  // null when it could not be opened
};

bool existsAsFile(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

FoundFile openFound(std::string path) {
    FoundFile found;
    found.file.reset(std::fopen(path.c_str(), "re"));
    found.path = std::move(path);
    return found;
}

// An absolute name is never looked for in PATH: a missing /etc/x must not turn into <dir>//etc/x.
FoundFile findSettingsFile(std::string_view name) {
    if (name.empty()) {
        return {};
    }
    std::string direct(name);
    if (existsAsFile(direct)) {
        return openFound(std::move(direct));
    }
    // Races only with a setenv in another thread; the environment is not changed after start-up.
    const char *searchPath = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
    if (name.front() == '/' || searchPath == nullptr) {
        return {};
    }
    std::string_view dirs(searchPath);
    while (!dirs.empty()) {
        std::size_t colon = dirs.find(':');
        std::string_view dir = dirs.substr(0, colon);
        dirs = colon == std::string_view::npos ? std::string_view{} : dirs.substr(colon + 1);
        if (dir.empty()) {
            continue;  // the current directory was tried first
        }
        std::string candidate(dir);
        if (candidate.back() != '/') {
            candidate.push_back('/');
        }
        candidate.append(name);
        if (existsAsFile(candidate)) {
            return openFound(std::move(candidate));
        }
    }
    return {};
}

// The modification time as local date and time numbers; false (numbers untouched) when the
// status cannot be read or the time is not positive.
bool modificationStamp(const FoundFile &found, long &date, long &time) {
    struct stat st {};
    int rc = found.file ? ::fstat(::fileno(found.file.get()), &st)
                        : (found.path.empty() ? -1 : ::stat(found.path.c_str(), &st));
    struct tm local {};
    if (rc != 0 || st.st_mtime <= 0 || ::localtime_r(&st.st_mtime, &local) == nullptr) {
        return false;
    }
    date = (local.tm_year + 1900L) * 10000L + (local.tm_mon + 1L) * 100L + local.tm_mday;
    time = local.tm_hour * 1000000L + local.tm_min * 10000L + local.tm_sec * 100L;
    return true;
}

void storeFileStamp(ValueTable *table, const char *fileName, const FoundFile &found) {
    long date = 0;
    long time = 0;
    (void)modificationStamp(found, date, time);
    char text[24];
    (void)tableSet(table, "filename", fileName);
    if (ql::formatBounded(text, sizeof text, "%ld", date)) {
        (void)tableSet(table, "filedate", text);
    }
    if (ql::formatBounded(text, sizeof text, "%ld", time)) {
        (void)tableSet(table, "filetime", text);
    }
}

char upperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The process environment with upper-cased names; NULL (no references resolve) when memory
// runs out.
UniqueTable environmentTable() {
    UniqueTable env(tableCreate());
    if (!env) {
        return env;
    }
    for (char **var = environ; var != nullptr && *var != nullptr; ++var) {
        std::string_view entry(*var);
        std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        std::string name(entry.substr(0, equals));
        for (char &c : name) {
            c = upperAscii(c);
        }
        (void)tableSet(env.get(), name.c_str(), *var + equals + 1);
    }
    return env;
}

void loadEntries(ValueTable *table, std::FILE *file) {
    UniqueTable env = environmentTable();
    IniReader reader;
    reader.file = file;
    std::string section;
    bool inSection = false;
    for (;;) {
        IniEntry entry = ql::settings::iniReadEntry(reader);
        switch (entry.kind) {
            case IniEntryKind::End:
                return;
            case IniEntryKind::Section:
                section = std::move(entry.name);
                inSection = true;
                (void)tableSet(table, section.c_str(), "");
                break;
            case IniEntryKind::Key: {
                if (!inSection) {
                    break;
                }
                std::string value = ql::settings::expandEnvRefs(entry.value, env.get());
                if (!value.empty() && value.front() == '"') {
                    value = ql::settings::unquoteValue(value);
                }
                std::string name = section + ':' + entry.name;
                (void)tableSet(table, name.c_str(), value.c_str());
                break;
            }
        }
    }
}

}  // namespace

extern "C" ValueTable *iniLoad(ValueTable *table, const char *fileName) {
    if (fileName == nullptr) {
        fileName = "";
    }
    FoundFile found = findSettingsFile(fileName);
    if (table != nullptr && !found.file) {
        return table;
    }
    UniqueTable created;
    if (table == nullptr) {
        created.reset(tableCreate());
        if (!created) {
            return nullptr;
        }
        table = created.get();
    }
    storeFileStamp(table, fileName, found);
    if (found.file) {
        loadEntries(table, found.file.get());
    }
    return created ? created.release() : table;
}
