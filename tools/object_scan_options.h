// qlscan's object-scan options: the command line turned into the request of QL_ScanObject, and
// checked as the library will filter it.
#ifndef QL_TOOLS_OBJECT_SCAN_OPTIONS_H
#define QL_TOOLS_OBJECT_SCAN_OPTIONS_H

#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "ql/qlscan.h"

namespace ql::tools {

// What --ask offers besides deleting: the quarantine directory (under QL_ROOT) and the rename
// extension.
inline constexpr const char *kPromptQuarantineDir = "/var/Quellar/var/quarantine/kestra";
inline constexpr const char *kPromptRenameExtension = "qlt";

// The request an object scan is made of, built from the command line.
struct ObjectScanSettings {
    uint32_t scanOpts = 0;
    int32_t actOpts = QL_ACT_NONE;
    std::vector<std::string> texts;  // extra data texts ("QDIR::/q", "SIZE::10k", ...)
    std::string actionOption;        // the option that chose actOpts, for conflicts
};

// Append the object scan's long options to options, each with val as its getopt value; the
// parser tells them apart by name (takeObjectScanOption).
void appendObjectScanOptions(std::vector<option> &options, int val);

// Take one object-scan option (its long name without the dashes; value nullptr for switches)
// into settings. False with the reason in error when the value is wrong or conflicts with an
// option taken before.
bool takeObjectScanOption(std::string_view name, const char *value, ObjectScanSettings &settings,
                          std::string &error);

// Check the options as a whole, exactly as the library will filter them: false with the reason
// in error when the library would drop one of them (so nothing asked for is silently ignored).
bool checkObjectScanSettings(const ObjectScanSettings &settings, std::string &error);

// The help lines of the object-scan options.
void printObjectScanHelp(std::FILE *out);

}  // namespace ql::tools

#endif  // QL_TOOLS_OBJECT_SCAN_OPTIONS_H
