// Directories reached without following a symbolic link anywhere on the way, and the identity
// of a directory entry, for callers that must act on exactly the file they examined earlier in
// a tree that other users can change.
//
// Every call returns 0 or an errno value (it sets no last error), so that callers choose how a
// failure reads. ELOOP always means that a directory on the way is a symbolic link.
#ifndef QL_COMMON_DIR_FD_H
#define QL_COMMON_DIR_FD_H

#include <sys/types.h>

#include <string>

#include "common/unique_fd.h"

namespace ql {

// Device and inode of a directory entry, taken without following it when it is a link.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
};

// The directory that holds a path's last component, and that component.
struct ParentDir {
    UniqueFd fd;  // O_PATH descriptor, usable as the directory of the *at calls
    std::string name;
};

// Open the directory path (absolute, or relative to the working directory) as an O_PATH
// descriptor, with openat2 and RESOLVE_NO_SYMLINKS where the kernel has it, else one openat
// with O_NOFOLLOW per component. ENOTDIR when a component is no directory.
[[nodiscard]] int openDirectoryNoLinks(const char *path, UniqueFd &out);

// Open the directory holding path's last component as openDirectoryNoLinks does. EINVAL for a
// NULL path or one whose last component is empty, "." or "..".
[[nodiscard]] int openParentNoLinks(const char *path, ParentDir &out);

// The identity of name in dir as it stands now (lstat semantics).
[[nodiscard]] int identityAt(int dir, const char *name, FileIdentity &out);

// The identity of path's last component, reached as openParentNoLinks reaches it; out.known
// stays false on failure.
[[nodiscard]] int identifyNoLinks(const char *path, FileIdentity &out);

}  // namespace ql

#endif  // QL_COMMON_DIR_FD_H
