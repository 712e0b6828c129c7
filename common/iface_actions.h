// Infected-file actions: delete a file, rename it with an extra extension, or move it into a
// quarantine directory under a free name. No shell is ever run; files move with rename, and
// across file systems by a copy in the target directory that is renamed into place before the
// source is removed.
//
// Trees that others can change: the directory of the file is reached without following a link
// anywhere on the way (a link there fails the action with the text "Path leads through a
// symbolic link"), and the file is deleted, renamed or moved relative to that directory's
// descriptor, never through a path looked up again. A scan's own actions also insist that the
// name still holds the file scanned (device and inode), else they fail with "File changed
// since it was scanned". Nothing but the one file is ever touched.
//
// The five action calls are public (include/ql/qlscan.h); they are repeated here with their
// full contracts. Every call returns 0, or -1 with the calling thread's last error set, unless
// told otherwise. Paths are used as they stand (never put under QL_ROOT).
#ifndef QL_COMMON_IFACE_ACTIONS_H
#define QL_COMMON_IFACE_ACTIONS_H

#include "common/dir_fd.h"
#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// Apply an action to an infected file. QL_ACT_DELETE ignores argument; QL_ACT_RENAME takes the
// extension, QL_ACT_QUARANTINE the directory. Returns the outcome: QL_EV_DELETED,
// QL_EV_RENAMED or QL_EV_QUARANTINED on success, QL_EV_DELETE_FAILED, QL_EV_RENAME_FAILED or
// QL_EV_QUARANTINE_FAILED on failure (the reason in the last error); any other action is
// returned as it is, with nothing done.
int QL_ApplyInfectedAction(const char *path, int action, const char *argument);

// Remove path. Error 22 when path is NULL, missing or not writable by the process; otherwise the
// errno of unlink.
int QL_DeleteFile(const char *path);

// Rename path to "path.extension", replacing a file of that name. Error 22 when an argument is
// NULL or extension contains '/'; the errno of access when path is not writable by the process;
// 36 (ENAMETOOLONG) when the new name does not fit in QL_PATH_MAX; otherwise the errno of rename.
int QL_RenameFile(const char *path, const char *extension);

// Move path into directory under its last component "name", or when that is taken under the
// first free of "name-0" to "name-1023"; an existing file is never replaced, and the file is
// left readable by its owner only (mode 0600). Errors: 22 when an argument is NULL or path is
// not writable by the process; the errno of opening or access when directory is missing or not
// readable and writable; 904 when it is not a directory; the texts "Quarantine directory is or
// lies behind a symbolic link" and "Quarantine directory is writable by others than its owner";
// 36 when a candidate name does not fit in QL_PATH_MAX; 910 "Too many quarantine files of same
// name" when all 1025 names are taken; otherwise the reason the move failed (the file then
// stays).
int QL_QuarantineFile(const char *path, const char *directory);

// Move source to target, replacing a file at target, without a shell: rename, and across file
// systems copy (mode, owner when allowed, times) to a temporary 0600 file in the target's
// directory, rename that into place, then remove source. Only regular files cross file systems.
// Returns 0 when the move is done and source no longer exists; -1 with the reason in the last
// error otherwise (a half-done copy is removed again, so source stays where it was).
int QL_MoveFile(const char *source, const char *target);

#ifdef __cplusplus
}

namespace ql {

// What a scan records of a file before the engine reads it: its identity, reached as the
// actions reach it (known stays false when it cannot be taken).
[[nodiscard]] FileIdentity identifyScanned(const char *path);

// QL_ApplyInfectedAction on the file a scan examined: acts only while path's name, reached
// without links, still holds scanned; otherwise (also when scanned is not known) the failure
// outcome with the reason "File changed since it was scanned".
int applyInfectedAction(const char *path, const FileIdentity &scanned, int action,
                        const char *argument);

}  // namespace ql
#endif

#endif  // QL_COMMON_IFACE_ACTIONS_H
