// The daemon's one way for a thread to wait for another: a word it sleeps on until it moves.
#ifndef QL_DAEMON_WAKE_WORD_H
#define QL_DAEMON_WAKE_WORD_H

#include <atomic>
#include <chrono>
#include <cstdint>

struct timespec;

namespace ql::daemon {

// A counter threads sleep on until it moves: a futex word, so a sleeper takes no CPU and is woken
// by the kernel, and a bump makes a system call only when someone sleeps.
class WakeWord {
  public:
    [[nodiscard]] uint32_t value() const { return value_.load(std::memory_order_acquire); }
    // Sleep while the value is still seen, until a bump. May also return early.
    void waitWhile(uint32_t seen) const;
    // The same, but at most for bound; a bound already spent (zero or less) returns at once.
    void waitWhile(uint32_t seen, std::chrono::nanoseconds bound) const;
    // Move the value and wake one sleeper, or every one.
    void bump(bool everyone);

  private:
    void waitOnWord(uint32_t seen, const timespec *limit) const;  // limit NULL: no bound

    std::atomic<uint32_t> value_{0};
    mutable std::atomic<int32_t> sleepers_{0};
};

}  // namespace ql::daemon

#endif  // QL_DAEMON_WAKE_WORD_H
