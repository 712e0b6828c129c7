// A temporary installation root for tests: a fresh QL_ROOT with the installation's folders, the
// built stand-ins linked in, and helpers to write files, samples and archives.
#ifndef QL_TESTS_SUPPORT_TEMP_ROOT_H
#define QL_TESTS_SUPPORT_TEMP_ROOT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ql::test {

class TempRoot {
  public:
    // Lays out $QL_ROOT/opt/Quellar/{etc/postwick,sbin,lib,var/run} and
    // $QL_ROOT/var/Quellar/var/{log,tmp,quarantine/kestra}, links the built qornd and
    // libavcore.so in when they exist, and sets QL_ROOT for this process.
    TempRoot();
    // Unsets QL_ROOT and removes the tree.
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &root() const { return root_; }
    // The real path of a fixed installation path, e.g. path("/opt/Quellar/etc/qorn-ver").
    std::string path(std::string_view fixed) const { return root_ + std::string(fixed); }

    // Write text to the file at a fixed installation path (made under the root).
    void writeFixed(std::string_view fixed, std::string_view text) const;

  private:
    std::string root_;
};

// Write text to a file at an absolute path; fails the current test when it cannot.
void writeFile(const std::string &path, std::string_view text);
// The whole content of a file, or "" when it cannot be read.
std::string readFile(const std::string &path);
// A fresh temporary directory under TMPDIR or /tmp.
std::string makeTempDir(const char *prefix);
// Remove a tree (no shell).
void removeTree(const std::string &path);

// The EICAR test string, assembled at run time so that host scanners do not flag the sources.
std::string eicar();

// The unprivileged user and group the attack tests act as.
inline constexpr unsigned kNobody = 65534;

// In a forked child: drop every group and become kNobody for good. False when that failed.
bool becomeNobody();

// Give path and everything below it to kNobody (without following links).
void giveToNobody(const std::string &path);

// A sparse file of size bytes ending in the EICAR string, so that a scan reads all of it.
void writeSparseInfected(const std::string &path, std::uint64_t size);

// n as the 11 octal digits of a tar size field.
std::string tarOctal(std::uint64_t n);
// A tar header block with a correct checksum: old style (no magic, no prefix) unless ustar. The
// size field goes in as given, so that it may be malformed.
std::string tarHeader(const std::string &name, std::string_view sizeField, char typeflag = '0',
                      bool ustar = true, std::string_view prefix = "");
// One ustar member: its header (with typeflag), content and padding to a whole block.
std::string tarEntry(const std::string &name, std::string_view content, char typeflag = '0');
// A plain ustar archive of regular members (name, content).
std::string tarOf(const std::vector<std::pair<std::string, std::string>> &members);
// bytes in base64, in lines of 76 characters.
std::string base64(const std::string &bytes);

}  // namespace ql::test

#endif  // QL_TESTS_SUPPORT_TEMP_ROOT_H
