// Reaching every object a scan is asked for, and saying so when one cannot be reached: walks go
// through directory descriptors (so a path of any length stays reachable), a file the engine
// cannot be given by name is given as the /proc name of a descriptor held for it, a process's
// object is scanned through its /proc link when its path leads elsewhere, and an object that
// still cannot be scanned is reported, never passed over.
#ifndef QL_COMMON_OBJECT_REACH_H
#define QL_COMMON_OBJECT_REACH_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ql/qlscan.h"

namespace ql {

// How many directory levels below its top a walk descends; a directory deeper down is reported
// with kTooDeepText instead (the walks recurse once per level).
inline constexpr unsigned kMaxWalkLevels = 1024;
inline constexpr const char *kTooDeepText = "Directory nesting too deep";

// Room for "/proc/<pid>/fd/<fd>".
inline constexpr std::size_t kAliasSize = 48;

// The name under which another process of this machine (the engine daemon) opens the file this
// process holds open as fd: "/proc/<pid>/fd/<fd>", with this process's pid. Opening it needs
// the right to read this process's descriptors (the same user, or root).
void descriptorAlias(int fd, char (&out)[kAliasSize]);

// The path to scan for the object behind the /proc link of a process (its executable or an
// open file): the link resolved when that leads to the same file (device and inode) and is
// readable; else the link itself, which reaches the object also in another mount namespace,
// after its path was replaced or removed, or when the link cannot be resolved.
void processObjectPath(const char *link, char (&out)[QL_PATH_MAX]);

// The entry names of the directory open as dirfd, in reading order, without "." and "..".
// dirfd itself is neither moved nor closed. 0, or -1 with the last error set.
[[nodiscard]] int entryNamesAt(int dirfd, std::vector<std::string> &names);

// "<dir>/<name>", also for the directory "/".
[[nodiscard]] std::string entryPath(const std::string &dir, const char *name);

// The system's text for the error code, as QL_GetErrorText gives it (valid until the next call
// on this thread); code becomes the last error.
[[nodiscard]] const char *systemErrorText(int code);

// Report an object that could not be scanned: QL_EV_FAILED for name (kind QL_OBJ_FILE or
// QL_OBJ_DIRECTORY) with reason as the message, and one more scanErrors. Returns QL_RES_ERROR,
// or QL_RES_STOPPED when onEvent answered QL_CB_STOP.
[[nodiscard]] int reportNotScanned(ScanReport *report, const char *name, int32_t kind,
                                   const char *reason);

}  // namespace ql

#endif  // QL_COMMON_OBJECT_REACH_H
