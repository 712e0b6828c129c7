// Detaching a daemon from the process that started it, over a readiness pipe: the starting
// process waits for the detached one's word and ends with its verdict, so that whoever started
// the daemon learns whether it serves.
#ifndef QL_SUPPORT_DETACH_H
#define QL_SUPPORT_DETACH_H

#include "common/unique_fd.h"

namespace ql::support {

// The detached process's end of the readiness pipe. Dropped without ready() (a step failed),
// it tells the starting process to end with status 1.
class Readiness {
  public:
    Readiness() = default;
    explicit Readiness(UniqueFd toStarter) : fd_(std::move(toStarter)) {}

    // Tell the starting process that the daemon serves, and close the pipe.
    void ready();
    // Whether this is the detached process's end (detach succeeded).
    explicit operator bool() const { return fd_.valid(); }

  private:
    UniqueFd fd_;
};

// Fork into a new session. The starting process never returns: it waits for the detached one's
// word, at most waitMs (no bound when negative), and ends with status 0 when that was ready(),
// 1 otherwise. The detached process gets its Readiness. When pipe, fork or setsid fails, an
// empty Readiness with errno set and failedCall naming the call that failed.
[[nodiscard]] Readiness detach(int waitMs, const char *&failedCall);

// Put /dev/null on standard input, output and error.
void redirectStandardStreams();

}  // namespace ql::support

#endif  // QL_SUPPORT_DETACH_H
