#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "ql/qlscan.h"

namespace {

constexpr std::size_t kPathChars = QL_PATH_MAX - 1;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// "/.." names the parent only as a whole component: "/..x" is an entry called "..x".
bool startsWithParent(std::string_view text) {
    if (startsWith(text, "../")) {
        return true;
    }
    return startsWith(text, "/..") && (text.size() == 3 || text[3] == '/');
}

void appendBounded(std::string &result, std::string_view text) {
    std::size_t room = kPathChars - std::min(result.size(), kPathChars);
    result.append(text.substr(0, room));
}

// The directory part of a path, as dirname(3) gives it.
std::string parentOf(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return ".";
    }
    path = path.substr(0, slash);
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1);
    }
    return path.empty() ? std::string("/") : std::string(path);
}

// The empty result stands for the root: appending a component then gives it one leading '/'.
bool standsForRoot(const std::string &result) {
    return result.empty() || result == "/";
}

int startingDirectory(const char *base, std::string &result) {
    if (base != nullptr) {
        result.assign(base);
    } else {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) {
            return ql::setErrnoError();
        }
        result.assign(cwd);
    }
    result.resize(std::min(result.size(), kPathChars));
    return 0;
}

// Walk a relative path onto result, resolving "." and ".." as text.
int appendRelative(std::string_view rest, std::string &result) {
    while (!rest.empty()) {
        if (startsWith(rest, "./")) {
            rest.remove_prefix(1);
        }
        if (startsWith(rest, "/./")) {
            rest.remove_prefix(2);
        } else if (startsWith(rest, "//")) {
            rest.remove_prefix(1);
        } else if (startsWithParent(rest)) {
            if (standsForRoot(result)) {
                return QL_SetError(QLE_ABSOLUTE_PATH);
            }
            result = parentOf(result);
            if (result == "/") {
                result.clear();
            }
            rest.remove_prefix(rest.front() == '.' ? 2 : 3);
        } else {
            std::size_t next = rest.find('/', 1);
            std::string_view component = rest.substr(0, next);
            if (component.front() == '/') {
                component.remove_prefix(1);
            }
            if (!component.empty()) {
                appendBounded(result, "/");
                appendBounded(result, component);
            }
            rest.remove_prefix(next == std::string_view::npos ? rest.size() : next);
        }
    }
    return 0;
}

bool isSymlink(const char *path) {
    struct stat st;
    return ::lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

int QL_GetAbsolutePath(const char *path, const char *base, char *out) {
    if (path == nullptr || out == nullptr || (base != nullptr && base[0] != '/')) {
        return QL_SetError(EINVAL);
    }
    std::string_view text(path);
    text = text.substr(0, kPathChars);
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    std::string result;
    if (startsWith(text, "/")) {
        result.assign(text);
    } else if (startingDirectory(base, result) < 0 || appendRelative(text, result) < 0) {
        return -1;
    }
    if (result.empty()) {
        result.assign(1, '/');  // a literal here draws a false -Wrestrict from g++ 12 at -O3
    }
    ql::copyBounded(out, QL_PATH_MAX, result);
    return static_cast<int>(result.size());
}

int QL_ResolveSymlink(const char *path, char *out) {
    if (path == nullptr || out == nullptr) {
        return QL_SetError(EINVAL);
    }
    struct stat st;
    if (::stat(path, &st) != 0) {
        return ql::setErrnoError();
    }
    if (!isSymlink(path)) {
        std::string same(std::string_view(path).substr(0, kPathChars));  // out may be path
        ql::copyBounded(out, QL_PATH_MAX, same);
        return static_cast<int>(same.size());
    }
    // Every hop taken as the kernel takes it: a relative target against the real directory that
    // holds the link, and ".." after a linked directory in that directory's real parent. Text
    // alone goes wrong as soon as a link sits below a linked directory. The C library stops
    // after the kernel's own 40 links with ELOOP.
    ql::UniqueText real(::realpath(path, nullptr));
    if (!real) {
        return ql::setErrnoError();
    }
    std::size_t length = std::strlen(real.get());
    // A cut path would name some other file.
    if (length > kPathChars) {
        return QL_SetError(ENAMETOOLONG);
    }
    ql::copyBounded(out, QL_PATH_MAX, real.get());
    return static_cast<int>(length);
}
