// The log without a lock: writers format each line on their own stack and append it with one
// write. The descriptor lives in one of two slots; `current` names the one writers use. A writer
// announces itself in the slot's user count, then checks that the slot is still current (or backs
// off and tries again), so a descriptor is never closed while a line is being written to it: the
// entry puts a new descriptor in the other slot, makes that slot current, and closes the old
// descriptor once its user count has fallen to zero. Both steps are sequentially consistent, so
// either the entry sees the writer's count or the writer sees the new slot.
#include "daemon/daemon_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "daemon/wake_word.h"

namespace ql::daemon {

namespace {

constexpr mode_t kLogMode = 0640;
// How long the entry waits for the lines still being written to an old descriptor. A write to a
// local file ends within microseconds; one stuck longer leaves that descriptor open rather than
// have it closed under the writer (or reused for another file).
constexpr auto kDrainBound = std::chrono::seconds(2);

struct LogSlot {
    std::atomic<int> fd{-1};
    std::atomic<int> users{0};
    WakeWord left;  // moved by every writer that leaves the slot last; the swap waits on it
};

LogSlot slots[2];
std::atomic<int> current{0};

const char *errnoText(int code) {
    QL_SetError(code);
    return QL_GetErrorText();
}

// The log path opened for appending ("a+"), refusing a link or anything but a regular file (a FIFO
// planted there would block the open without O_NONBLOCK). -1 with errno set on failure.
int openLogFile() {
    char path[QL_PATH_MAX];
    if (ql::rootedPath(kDaemonLogFile, path) < 0) {
        errno = EINVAL;
        return -1;
    }
    UniqueFd fd(
        open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, kLogMode));
    if (!fd) {
        return -1;
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) {
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return fd.release();
}

// The current slot, with this thread counted among its users.
LogSlot &enterLog() {
    for (;;) {
        int i = current.load(std::memory_order_seq_cst);
        slots[i].users.fetch_add(1, std::memory_order_seq_cst);
        if (current.load(std::memory_order_seq_cst) == i) {
            return slots[i];
        }
        slots[i].users.fetch_sub(1, std::memory_order_release);
    }
}

void leaveLog(LogSlot &slot) {
    if (slot.users.fetch_sub(1, std::memory_order_seq_cst) == 1) {
        slot.left.bump(true);  // a system call only while a swap waits
    }
}

void writeLine(int fd, const char *format, va_list args) QL_PRINTF(2, 0);
void writeLine(int fd, const char *format, va_list args) {
    char line[kLogLineMax];
    if (!ql::formatBoundedV(line, sizeof line, format, args) && line[0] != '\0') {
        line[sizeof line - 2] = '\n';  // a cut line still ends as one
    }
    std::size_t length = std::strlen(line);
    ssize_t ignored;
    do {
        ignored = write(fd, line, length);
    } while (ignored < 0 && errno == EINTR);
}

// Make fresh (or -1: no log) the descriptor writers use, and close the one it replaces once no
// line is being written to it. Only one thread installs at a time.
void installLog(int fresh) {
    int old = current.load(std::memory_order_relaxed);
    LogSlot &next = slots[old ^ 1];
    next.fd.store(fresh, std::memory_order_seq_cst);
    current.store(old ^ 1, std::memory_order_seq_cst);
    LogSlot &retired = slots[old];
    auto deadline = std::chrono::steady_clock::now() + kDrainBound;
    for (;;) {
        // The word is read before the count: a writer leaving after this read moves it, so the
        // wait below cannot miss the last one out.
        uint32_t seen = retired.left.value();
        if (retired.users.load(std::memory_order_seq_cst) == 0) {
            break;
        }
        auto remaining = deadline - std::chrono::steady_clock::now();
        if (remaining <= std::chrono::nanoseconds::zero()) {
            retired.fd.store(-1, std::memory_order_relaxed);  // left open, never reused
            return;
        }
        retired.left.waitWhile(seen, remaining);
    }
    int previous = retired.fd.exchange(-1, std::memory_order_acquire);
    if (previous >= 0) {
        close(previous);
    }
}

int currentFd() {
    return slots[current.load(std::memory_order_acquire)].fd.load(std::memory_order_acquire);
}

}  // namespace

std::atomic<int> stopFlag{0};
std::atomic<bool> logReopenFlag{false};

bool openDaemonLog() {
    if (currentFd() < 0) {
        int fresh = openLogFile();
        if (fresh >= 0) {
            installLog(fresh);
        }
    }
    return currentFd() >= 0;
}

void closeDaemonLog() {
    if (currentFd() >= 0) {
        installLog(-1);
    }
}

void reopenDaemonLog() {
    int fresh = openLogFile();
    if (fresh < 0) {
        int error = errno;
        daemonLog("LogErr(reopen): %s\n", errnoText(error));
        return;
    }
    installLog(fresh);
}

void serviceLogReopen() {
    if (takeLogReopenRequest()) {
        reopenDaemonLog();
    }
}

void daemonLog(const char *format, ...) {
    LogSlot &slot = enterLog();
    int fd = slot.fd.load(std::memory_order_acquire);
    if (fd >= 0) {
        va_list args;
        va_start(args, format);
        writeLine(fd, format, args);
        va_end(args);
    }
    leaveLog(slot);
}

const char *logSafeText(const char *text, char *out, std::size_t cap) {
    auto isControl = [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    };
    const char *c = text;
    while (*c != '\0' && !isControl(*c)) {
        ++c;
    }
    if (*c == '\0' || cap == 0) {
        return *c == '\0' ? text : "";
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t n = 0;
    for (c = text; *c != '\0'; ++c) {
        auto byte = static_cast<unsigned char>(*c);
        char escaped[4] = {*c};
        std::size_t width = 1;
        if (*c == '\r' || *c == '\n') {
            escaped[0] = '\\';
            escaped[1] = *c == '\r' ? 'r' : 'n';
            width = 2;
        } else if (isControl(*c)) {
            escaped[0] = '\\';
            escaped[1] = 'x';
            escaped[2] = kHex[byte >> 4];
            escaped[3] = kHex[byte & 0xf];
            width = 4;
        }
        if (n + width >= cap) {
            break;
        }
        std::memcpy(out + n, escaped, width);
        n += width;
    }
    out[n] = '\0';
    return out;
}

}  // namespace ql::daemon
