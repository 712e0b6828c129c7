#include "tests/support/temp_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <vector>

#include "common/unique_fd.h"
#include "tests/support/emulator.h"

namespace fs = std::filesystem;

namespace ql::test {

std::string makeTempDir(const char *prefix) {
    const char *tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern;
        return {};
    }
    return pattern;
}

namespace {

// Remove name in the directory open as dirfd with everything below it, through descriptors, so
// that a deep tree costs no long path lookups.
void removeAt(int dirfd, const char *name) {
    if (unlinkat(dirfd, name, 0) == 0 || errno != EISDIR) {
        return;
    }
    DIR *dir = nullptr;
    int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && (dir = fdopendir(fd)) == nullptr) {
        close(fd);
    }
    if (dir != nullptr) {
        std::vector<std::string> names;
        while (const dirent *entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                names.emplace_back(entry->d_name);
            }
        }
        for (const std::string &entry : names) {
            removeAt(::dirfd(dir), entry.c_str());
        }
        closedir(dir);
    }
    unlinkat(dirfd, name, AT_REMOVEDIR);
}

}  // namespace

void removeTree(const std::string &path) {
    removeAt(AT_FDCWD, path.c_str());
}

TempRoot::TempRoot() : root_(makeTempDir("qlroot.")) {
    for (const char *dir : {"etc/postwick", "sbin", "lib", "var/run"}) {
        fs::create_directories(root_ + "/opt/Quellar/" + dir);
    }
    for (const char *dir : {"log", "tmp", "quarantine/kestra"}) {
        fs::create_directories(root_ + "/var/Quellar/var/" + dir);
    }
    linkProgram(std::string(QL_TEST_BIN_DIR) + "/qornd", path("/opt/Quellar/sbin/qornd"));
    std::error_code ec;
    if (std::string core = std::string(QL_TEST_LIB_DIR) + "/libavcore.so"; fs::exists(core, ec)) {
        fs::create_symlink(core, path("/opt/Quellar/lib/libavcore.so"), ec);
    }
    setenv("QL_ROOT", root_.c_str(), 1);
}

TempRoot::~TempRoot() {
    unsetenv("QL_ROOT");
    removeTree(root_);
}

void TempRoot::writeFixed(std::string_view fixed, std::string_view text) const {
    std::string full = path(fixed);
    std::error_code ec;
    fs::create_directories(fs::path(full).parent_path(), ec);
    writeFile(full, text);
}

void writeFile(const std::string &path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out) {
        ADD_FAILURE() << "cannot write " << path;
    }
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string eicar() {
    return std::string(R"(X5O!P%@AP[4\PZX54(P^)7CC)7})") +
           "$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

bool becomeNobody() {
    return setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
           setresuid(kNobody, kNobody, kNobody) == 0;
}

void giveToNobody(const std::string &path) {
    std::error_code ec;
    EXPECT_EQ(lchown(path.c_str(), kNobody, kNobody), 0) << path;
    if (!fs::is_directory(fs::symlink_status(path, ec))) {
        return;
    }
    for (const auto &entry : fs::recursive_directory_iterator(path, ec)) {
        EXPECT_EQ(lchown(entry.path().c_str(), kNobody, kNobody), 0) << entry.path();
    }
}

void writeSparseInfected(const std::string &path, std::uint64_t size) {
    std::string tail = eicar();
    ql::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || pwrite(fd.get(), tail.data(), tail.size(), static_cast<off_t>(size - tail.size())) !=
                   static_cast<ssize_t>(tail.size())) {
        ADD_FAILURE() << "cannot write the sparse file " << path;
    }
}

std::string tarOctal(std::uint64_t n) {
    char field[12];
    std::snprintf(field, sizeof field, "%011llo", static_cast<unsigned long long>(n));
    return field;
}

std::string tarHeader(const std::string &name, std::string_view sizeField, char typeflag,
                      bool ustar, std::string_view prefix) {
    std::string block(512, '\0');
    auto put = [&block](std::size_t at, std::string_view text) {
        block.replace(at, text.size(), text);
    };
    put(0, std::string_view(name).substr(0, 100));
    put(100, "0000644");
    put(124, sizeField);
    block[156] = typeflag;
    if (ustar) {
        put(257, std::string_view("ustar\00000", 8));  // "ustar", NUL, version "00"
        put(345, prefix);
    }
    put(148, "        ");
    unsigned sum = std::accumulate(block.begin(), block.end(), 0U,
                                   [](unsigned total, unsigned char byte) { return total + byte; });
    char field[8];
    std::snprintf(field, sizeof field, "%06o", sum);
    put(148, std::string_view(field, 7));
    return block;
}

std::string tarEntry(const std::string &name, std::string_view content, char typeflag) {
    std::string entry = tarHeader(name, tarOctal(content.size()), typeflag);
    entry += content;
    return entry.append((512 - content.size() % 512) % 512, '\0');
}

std::string tarOf(const std::vector<std::pair<std::string, std::string>> &members) {
    std::string archive;
    for (const auto &[name, content] : members) {
        archive += tarEntry(name, content);
    }
    return archive.append(1024, '\0');
}

std::string base64(const std::string &bytes) {
    const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0U);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            out.push_back(k <= n ? alphabet[(group >> (18 - 6 * k)) & 63] : '=');
        }
        if (out.size() % 77 == 76) {
            out.push_back('\n');
        }
    }
    return out;
}

}  // namespace ql::test
