// A temporary installation with the stand-in core library: qorn.conf naming the bases and
// temporary folders, the signatures file, sample files, the core's call recorder, a plain tar
// writer, and an onEvent that collects every report.
#ifndef QL_TESTS_SUPPORT_BD_FIXTURE_H
#define QL_TESTS_SUPPORT_BD_FIXTURE_H

#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ql/qlscan.h"
#include "tests/support/temp_root.h"

namespace ql::test {

class CoreRoot {
  public:
    // A TempRoot whose /opt/Quellar/etc/qorn.conf names <root>/opt/Quellar/bases as BasesPath
    // and <root>/var/Quellar/var/tmp as TempPath; the core's switches start unset.
    CoreRoot();
    // Unsets the core's recorder and fail switches.
    ~CoreRoot();
    CoreRoot(const CoreRoot &) = delete;
    CoreRoot &operator=(const CoreRoot &) = delete;

    const TempRoot &root() const { return root_; }
    std::string confPath() const { return root_.path("/opt/Quellar/etc/qorn.conf"); }
    std::string pluginsDir() const { return root_.path("/opt/Quellar/bases/Plugins"); }
    std::string tempDir() const { return root_.path("/var/Quellar/var/tmp"); }

    // Write the core's signatures file (lines of outcome TAB name TAB pattern).
    void writeSignatures(std::string_view lines) const;
    // Write a sample file under the root; returns its absolute path.
    std::string writeSample(const std::string &name, std::string_view content) const;

    // Make the core record its calls from now on, and the lines recorded so far.
    void startRecording() const;
    std::vector<std::string> recorded() const;
    // Set QL_AVCORE_FAIL (empty clears it).
    static void failCore(const char *switches);

  private:
    TempRoot root_;
};

// A plain ustar archive of regular members (name, content).
std::string tarOf(const std::vector<std::pair<std::string, std::string>> &members);
// One ustar member: its header (with typeflag), content and padding to a whole block.
std::string tarEntry(const std::string &name, std::string_view content, char typeflag = '0');

// One onEvent call, texts copied.
struct Report {
    std::string object;
    int32_t kind = 0;
    int32_t event = 0;
    std::string infection;
    bool operator==(const Report &) const = default;
};

inline std::ostream &operator<<(std::ostream &out, const Report &report) {
    return out << "{" << report.object << ", kind " << report.kind << ", event " << report.event
               << ", " << report.infection << "}";
}

// Collects reports through onEvent (userData = this) and answers `answer` to each.
struct Reports {
    std::vector<Report> all;
    int answer = 0;
    EventCallback callback();
};

}  // namespace ql::test

#endif  // QL_TESTS_SUPPORT_BD_FIXTURE_H
