// What a back end's installation check (Backend::checkInstallation) writes to: the values it
// found, warnings (the engine still works) and errors (it does not), printed by
// `qlscan --check-config`.
#ifndef QL_ENGINE_CHECK_REPORT_H
#define QL_ENGINE_CHECK_REPORT_H

#include <sys/stat.h>

#include <string>

namespace ql {

class CheckReport {
  public:
    virtual void value(const char *name, const std::string &text) = 0;
    virtual void warning(const std::string &text) = 0;
    virtual void error(const std::string &text) = 0;

  protected:
    CheckReport() = default;
    ~CheckReport() = default;
    CheckReport(const CheckReport &) = default;
    CheckReport &operator=(const CheckReport &) = default;
};

// A configured text as the report shows it: an empty one is named so.
inline std::string orNone(const char *text) {
    return text[0] != '\0' ? std::string(text) : std::string("(empty)");
}

inline bool isDirectory(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace ql

#endif  // QL_ENGINE_CHECK_REPORT_H
