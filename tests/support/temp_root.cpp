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
#include <sstream>
#include <vector>

#include "tests/support/emulator.h"

namespace fs = std::filesystem;

namespace ql::test {

namespace {

constexpr const char *kDirs[] = {
    "opt/Quellar/etc/postwick",
    "opt/Quellar/sbin",
    "opt/Quellar/lib",
    "opt/Quellar/var/run",
    "var/Quellar/var/log",
    "var/Quellar/var/tmp",
    "var/Quellar/var/quarantine/kestra",
};

void linkIfBuilt(const std::string &built, const std::string &link) {
    std::error_code ec;
    if (fs::exists(built, ec)) {
        fs::create_symlink(built, link, ec);
    }
}

}  // namespace

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
    for (const char *dir : kDirs) {
        fs::create_directories(root_ + "/" + dir);
    }
    linkProgram(std::string(QL_TEST_BIN_DIR) + "/qornd", path("/opt/Quellar/sbin/qornd"));
    linkIfBuilt(std::string(QL_TEST_LIB_DIR) + "/libavcore.so",
                path("/opt/Quellar/lib/libavcore.so"));
    setenv("QL_ROOT", root_.c_str(), 1);
}

TempRoot::~TempRoot() {
    unsetenv("QL_ROOT");
    removeTree(root_);
}

std::string TempRoot::path(std::string_view fixed) const {
    return root_ + std::string(fixed);
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
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok =
        fd >= 0 && pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(size - tail.size())) ==
                       static_cast<ssize_t>(tail.size());
    if (fd >= 0) {
        close(fd);
    }
    if (!ok) {
        ADD_FAILURE() << "cannot write the sparse file " << path;
    }
}

}  // namespace ql::test

namespace ql::test {

namespace {

void putOctal(std::string &block, std::size_t at, std::size_t width, unsigned long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*lo", static_cast<int>(width - 1), value);
    block.replace(at, width - 1, text, width - 1);
}

}  // namespace

std::string tarEntry(const std::string &name, std::string_view content, char typeflag) {
    std::string block(512, '\0');
    block.replace(0, name.size(), name);
    putOctal(block, 100, 8, 0644);
    putOctal(block, 108, 8, 0);
    putOctal(block, 116, 8, 0);
    putOctal(block, 124, 12, content.size());
    putOctal(block, 136, 12, 0);
    block[156] = typeflag;
    block.replace(257, 6, "ustar", 6);
    block.replace(263, 2, "00");
    block.replace(148, 8, 8, ' ');
    unsigned long sum = 0;
    for (unsigned char byte : block) {
        sum += byte;
    }
    putOctal(block, 148, 7, sum);
    block += content;
    block.append((512 - content.size() % 512) % 512, '\0');
    return block;
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
        uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        for (std::size_t k = 1; k < n; ++k) {
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + k]))
                     << (16 - 8 * k);
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
