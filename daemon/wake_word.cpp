#include "daemon/wake_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace ql::daemon {

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(time_t) == sizeof(long), "the futex call takes the native timespec");

long futex(const std::atomic<uint32_t> &word, int op, uint32_t value, const timespec *timeout) {
    return syscall(SYS_futex, reinterpret_cast<const uint32_t *>(&word), op, value, timeout,
                   nullptr, 0);
}

}  // namespace

void WakeWord::waitOnWord(uint32_t seen, const timespec *limit) const {
    // The sleeper count is raised before the value is looked at, and bump moves the value before
    // it looks at the count: either the bump sees a sleeper or the sleeper sees the new value.
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    if (value_.load(std::memory_order_seq_cst) == seen) {
        (void)futex(value_, FUTEX_WAIT_PRIVATE, seen, limit);
    }
    sleepers_.fetch_sub(1, std::memory_order_release);
}

void WakeWord::waitWhile(uint32_t seen) const {
    waitOnWord(seen, nullptr);
}

void WakeWord::waitWhile(uint32_t seen, std::chrono::nanoseconds bound) const {
    if (bound <= std::chrono::nanoseconds::zero()) {
        return;
    }
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(bound);
    timespec limit{static_cast<time_t>(seconds.count()),
                   static_cast<long>((bound - seconds).count())};
    waitOnWord(seen, &limit);
}

void WakeWord::bump(bool everyone) {
    value_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) > 0) {
        (void)futex(value_, FUTEX_WAKE_PRIVATE, everyone ? INT_MAX : 1, nullptr);
    }
}

}  // namespace ql::daemon
