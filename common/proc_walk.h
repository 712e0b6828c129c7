// The walk over the process table under /proc that the process scans of both engines make:
// every process but the caller, the object to scan for its executable, and the descriptors it
// holds open on regular files. What is scanned, reported and when a walk ends is the engines'.
#ifndef QL_COMMON_PROC_WALK_H
#define QL_COMMON_PROC_WALK_H

#include <cstddef>

#include "common/unique_fd.h"
#include "ql/qlscan.h"

namespace ql {

// A /proc entry name longer than this is no process id.
inline constexpr std::size_t kPidTextMax = 14;

// The processes of the machine but this one, in the order /proc lists them.
class ProcessWalk {
  public:
    // Open /proc; false with the system error as the last error.
    [[nodiscard]] bool open();
    // The pid text of the next process (an entry of 1 to kPidTextMax digits other than this
    // process's pid), valid until the next call; null at the end.
    [[nodiscard]] const char *next();
    // Close /proc.
    void close() { dir_.reset(); }

  private:
    UniqueDir dir_;
    char self_[kPidTextMax + 1] = "";
};

// The executable of process pidText: false when its link "/proc/<pid>/exe" is not readable
// here (not ours to read, or the process is gone). Otherwise link holds that link and path the
// object to scan for it (processObjectPath).
[[nodiscard]] bool processExecutable(const char *pidText, char (&link)[QL_PATH_MAX],
                                     char (&path)[QL_PATH_MAX]);

// The descriptors of one process that lead to regular files, in the order its descriptor
// folder lists them.
class OpenFileWalk {
  public:
    // Open "/proc/<pid>/fd" of process pidText; false with errno set when it cannot be opened.
    [[nodiscard]] bool open(const char *pidText);
    // The link "/proc/<pid>/fd/<n>" of the next descriptor whose target is a regular file,
    // valid until the next call; null at the end.
    [[nodiscard]] const char *next();
    // The descriptor number text (<n>) of the link next() returned last.
    [[nodiscard]] const char *fdName() const { return fdName_; }

  private:
    UniqueDir dir_;
    char dirPath_[QL_PATH_MAX] = "";
    char link_[QL_PATH_MAX] = "";
    const char *fdName_ = "";
};

}  // namespace ql

#endif  // QL_COMMON_PROC_WALK_H
