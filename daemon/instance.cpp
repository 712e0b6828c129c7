// Design of the pool and the hand-over.
//
// The entry owns a fixed array of Instance records and one thread per record, created once. An
// instance's sockFd is the whole hand-over, without a lock or a queue: the entry stores an
// accepted descriptor only while the field holds -1, and the worker stores -1 only after it has
// answered and closed that connection, so each field has one writer at a time. After storing, the
// entry bumps the record's wakeUps word; an idle worker sleeps on that word (a futex wait with no
// timeout and no spinning), having read it before looking at sockFd and the stop flag, so no
// wake-up is lost. On stop the entry wakes every worker the same way. A worker that frees its
// record bumps the pool's ReleaseSignal, on which the entry waits (at most 500 microseconds a
// pass) while every instance is busy; that wait logs its passes when it starts and then at most
// once a second, and reopens the log when asked to. Workers block the termination signals, so
// only the entry sees them through the stop flag. A connection can still land in a record whose
// worker has just seen the stop flag; after joining, the entry closes whatever a record still
// holds.
#include "daemon/instance.h"

#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "daemon/client_access.h"
#include "daemon/daemon_state.h"

namespace ql::daemon {

namespace {

constexpr auto kReleaseWait = std::chrono::microseconds(500);
// While every instance stays busy, how often the wait's passes are logged again.
constexpr auto kBusyLogInterval = std::chrono::seconds(1);
// A request with every byte a control character, as the log shows it.
constexpr std::size_t kShownRequestMax = 4 * kRequestMax + 1;

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(time_t) == sizeof(long), "the futex call takes the native timespec");

long futex(const std::atomic<uint32_t> &word, int op, uint32_t value, const timespec *timeout) {
    return syscall(SYS_futex, reinterpret_cast<const uint32_t *>(&word), op, value, timeout,
                   nullptr, 0);
}

constexpr const char *kErrorTag = "ERROR: ";

const char *systemText(int code) {
    QL_SetError(code);
    return QL_GetErrorText();
}

// Texts reach the client inside one reply line.
void blankLineEnds(char *text) {
    for (char *c = text; *c != '\0'; ++c) {
        if (*c == '\r' || *c == '\n') {
            *c = ' ';
        }
    }
}

// "1 <prefix><text>\n", the text cut to what the reply holds and kept on one line.
void replyWith(const char *prefix, const char *text, char (&reply)[kReplyMax]) {
    char cut[kReplyMax];
    ql::copyBounded(cut, text != nullptr ? text : "");
    blankLineEnds(cut);
    int room = static_cast<int>(kReplyMax - 4 - std::strlen(prefix));
    ql::formatBounded(reply, sizeof reply, "1 %s%.*s\n", prefix, room, cut);
}

// Serve the request on one connection: read, check, scan, answer.
class RequestServer {
  public:
    explicit RequestServer(Instance &instance) : instance_(instance) {
        QL_InitQuickRequest(&request_);
        request_.type = QL_REQ_PATH;
        request_.scanOpts = 0;
        QL_InitEventCallback(&callback_);
        callback_.onEvent = onScanEvent;
        callback_.userData = &note_;
    }

    void serve(int fd) {
        daemonLog("Instance-%d: Connected (%d).....\n", no(),
                  instance_.busyCount->load(std::memory_order_relaxed));
        std::memset(reply_, 0, sizeof reply_);
        clientKnown_ =
            instance_.clientAccess == ClientAccess::kCheck && clientCredentials(fd, client_);
        int n = readRequest(fd, instance_.requestTimeout, requestText_);
        if (n < 0) {
            replyWithError(systemText(errno), instance_.replies, reply_);
        } else {
            daemonLog("Instance-%d: Request = %s, n = %d\n", no(),
                      logSafeText(requestText_, shown_), n);
            stripLineEnd(requestText_);
            answerRequest();
        }
        sendReply(fd);
    }

  private:
    int no() const { return instance_.instanceNo; }

    void answerRequest() {
        // The engine-neutral scan copies at most QL_PATH_MAX - 1 characters; a longer path would
        // have another file scanned in its place.
        if (std::strlen(requestText_) >= QL_PATH_MAX) {
            replyWithError(systemText(ENAMETOOLONG), instance_.replies, reply_);
            return;
        }
        char path[QL_PATH_MAX];
        ql::copyBounded(path, requestText_);
        if (judgedByClientRights()) {
            answerWithClientRights(path);
            return;
        }
        if (access(requestText_, F_OK) != 0) {
            replyWithError(systemText(errno), instance_.replies, reply_);
            return;
        }
        scan(path, QL_REQ_PATH, path);
    }

    // Root, and every client under ClientAccess = any, is answered about any path.
    bool judgedByClientRights() const {
        return instance_.clientAccess == ClientAccess::kCheck &&
               !(clientKnown_ && client_.uid == 0);
    }

    // The file the client may open is the one scanned: the engine reads that very descriptor,
    // never the path looked up again.
    void answerWithClientRights(char *path) {
        ql::UniqueFd file;
        int error = clientKnown_ ? openAsClient(path, client_, file) : EACCES;
        struct stat st {};
        if (error == 0 && fstat(file.get(), &st) != 0) {
            error = errno;
        }
        if (error != 0) {
            replyWithError(systemText(error), instance_.replies, reply_);
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            replyWithError(systemText(QLE_INVALID_OBJECT), instance_.replies, reply_);
            return;
        }
        DescriptorObject descriptor{path, file.get(),
                                    static_cast<uint32_t>(std::min<uint64_t>(
                                        static_cast<uint64_t>(st.st_size), UINT32_MAX))};
        scan(&descriptor, QL_REQ_DESCRIPTOR, path);
    }

    void scan(void *object, int32_t type, const char *path) {
        request_.scanOpts = kScanOptions;
        request_.type = type;
        const char *shown = logSafeText(path, shown_);
        daemonLog("Instance-%d: file %s\n", no(), shown);
        note_ = ScanNote{};
        request_.object = object;
        daemonLog("Instance-%d: Sending for scan - %s\n", no(), shown);
        int result = QL_QuickScan(instance_.handle, &request_, &callback_);
        daemonLog("Instance-%d: Returned from scan %d\n", no(), result);
        replyForResult(result, note_, instance_.replies, reply_);
        daemonLog("Instance-%d: msg = %s\n", no(), reply_);
        request_.object = nullptr;
        note_ = ScanNote{};
    }

    void sendReply(int fd) {
        daemonLog("Instance-%d: Sending: %s\n", no(), reply_);
        if (send(fd, reply_, std::strlen(reply_), MSG_NOSIGNAL) < 0) {
            daemonLog("Instance-%d: Send Err: %s\n", no(), systemText(errno));
        } else {
            daemonLog("Instance-%d: Sent\n", no());
        }
    }

    Instance &instance_;
    QuickRequest request_;
    EventCallback callback_;
    ScanNote note_;
    ClientCredentials client_;
    bool clientKnown_ = false;
    char requestText_[kRequestMax + 1] = {};
    char shown_[kShownRequestMax] = {};  // the request or path as logged
    char reply_[kReplyMax] = {};
};

void *instanceThread(void *record) {
    return instanceMain(static_cast<Instance *>(record));
}

}  // namespace

void WakeWord::waitWhile(uint32_t seen, std::chrono::microseconds bound) const {
    // The sleeper count is raised before the value is looked at, and bump moves the value before
    // it looks at the count: either the bump sees a sleeper or the sleeper sees the new value.
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    if (value_.load(std::memory_order_seq_cst) == seen) {
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(bound);
        timespec limit{static_cast<time_t>(seconds.count()),
                       static_cast<long>((bound - seconds).count() * 1000)};
        (void)futex(value_, FUTEX_WAIT_PRIVATE, seen, bound.count() > 0 ? &limit : nullptr);
    }
    sleepers_.fetch_sub(1, std::memory_order_release);
}

void WakeWord::bump(bool everyone) {
    value_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) > 0) {
        (void)futex(value_, FUTEX_WAKE_PRIVATE, everyone ? INT_MAX : 1, nullptr);
    }
}

void wakeInstance(Instance &instance) {
    instance.wakeUps.bump(false);
}

int stripLineEnd(char *text) {
    if (text == nullptr) {
        return -1;
    }
    std::size_t len = std::strlen(text);
    while (len > 0 && (text[len - 1] == '\r' || text[len - 1] == '\n')) {
        text[--len] = '\0';
    }
    return 0;
}

int onScanEvent(const char * /*objectName*/, int32_t /*objectKind*/, int32_t /*event*/,
                const char *infectionName, const char *message, void *userData) {
    if (userData != nullptr) {
        const char *text = infectionName != nullptr ? infectionName : message;
        if (text != nullptr) {
            auto *note = static_cast<ScanNote *>(userData);
            note->text.reset(strdup(text));
            note->infection = infectionName != nullptr;
        }
    }
    return stopRequested() ? QL_CB_STOP : 0;
}

void replyWithError(const char *text, const ReplyRules &rules, char (&reply)[kReplyMax]) {
    replyWith(rules.tagErrors ? kErrorTag : "", text, reply);
}

void replyForResult(int result, const ScanNote &reported, const ReplyRules &rules,
                    char (&reply)[kReplyMax]) {
    // An engine error reported with an empty text would leave the client a bare "1 ".
    const char *text =
        reported.text != nullptr && *reported.text != '\0' ? reported.text.get() : nullptr;
    auto has = [result](int bit) { return (result & bit) != 0; };
    // A stop can come on top of a finding or an error (the BD scanners OR it in): those still win,
    // and a stopped scan is never taken for a clean one.
    if (result < 0) {
        replyWithError(QL_GetErrorText(), rules, reply);
    } else if (has(QL_RES_INFECTED)) {
        replyWith("", text != nullptr ? text : "Infected", reply);
    } else if (rules.alertSuspicious && has(QL_RES_SUSPICIOUS)) {
        replyWith("", text != nullptr ? text : "Suspicious", reply);
    } else if (has(QL_RES_ERROR) && text != nullptr && reported.infection) {
        replyWith("", text, reply);
    } else if (has(QL_RES_ERROR)) {
        replyWithError(text != nullptr ? text : "Scan error", rules, reply);
    } else if (has(QL_RES_STOPPED)) {
        replyWithError("Scan stopped", rules, reply);
    } else if (rules.alertEncrypted && has(QL_RES_ENCRYPTED)) {
        replyWith("", "Encrypted", reply);
    } else if (rules.alertCorrupted && has(QL_RES_CORRUPTED)) {
        replyWith("", "Corrupted", reply);
    } else {
        ql::copyBounded(reply, "0\n");
    }
}

int readRequest(int fd, int32_t timeoutSeconds, char (&request)[kRequestMax + 1]) {
    std::memset(request, 0, sizeof request);
    // A client has mostly sent its path by the time an instance looks: take it without a wait.
    ssize_t taken;
    do {
        taken = recv(fd, request, kRequestMax, MSG_DONTWAIT);
    } while (taken < 0 && errno == EINTR);
    if (taken >= 0) {
        return static_cast<int>(taken);
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
        return -1;
    }
    pollfd waiting{fd, POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        int ready = poll(&waiting, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready > 0) {
            break;
        }
        if (ready == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
    ssize_t n;
    do {
        n = read(fd, request, kRequestMax);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

Instance *instanceMain(Instance *instance) {
    if (instance == nullptr || instance->handle == nullptr) {
        return nullptr;
    }
    RequestServer server(*instance);
    instance->success.store(true, std::memory_order_release);
    instance->released->notify();
    for (;;) {
        uint32_t seen = instance->wakeUps.value();
        if (stopRequested()) {
            break;
        }
        int fd = instance->sockFd.load(std::memory_order_acquire);
        if (fd < 0) {
            instance->wakeUps.waitWhile(seen);
            continue;
        }
        server.serve(fd);
        close(fd);
        instance->sockFd.store(-1, std::memory_order_release);
        instance->busyCount->fetch_sub(1, std::memory_order_relaxed);
        instance->released->notify();
    }
    instance->ended.store(true, std::memory_order_release);
    instance->released->notify();
    return instance;
}

InstancePool::~InstancePool() {
    for (int32_t i = 0; i < started_; ++i) {
        wakeInstance(records_[i]);
        pthread_join(threads_[i], nullptr);
    }
}

bool InstancePool::allocate(int32_t count) {
    records_.reset(new (std::nothrow) Instance[count]);
    if (!records_) {
        daemonLog("MemAllocErr(malloc)\n");
        return false;
    }
    threads_.reset(new (std::nothrow) pthread_t[count]);
    if (!threads_) {
        daemonLog("MemAllocErr(malloc)\n");
        records_.reset();
        return false;
    }
    count_ = count;
    return true;
}

bool InstancePool::start(AVHandle handle, int32_t requestTimeout, ClientAccess clientAccess,
                         const ReplyRules &replies) {
    sigset_t termSignals;
    sigset_t previous;
    sigemptyset(&termSignals);
    sigaddset(&termSignals, SIGTERM);
    sigaddset(&termSignals, SIGINT);
    sigaddset(&termSignals, SIGHUP);  // the log reopen is the entry's, like the stop
    pthread_sigmask(SIG_BLOCK, &termSignals, &previous);
    bool all = true;
    for (int32_t i = 0; i < count_; ++i) {
        Instance &record = records_[i];
        record.instanceNo = i;
        record.handle = handle;
        record.busyCount = &busyCount_;
        record.released = &released_;
        record.requestTimeout = requestTimeout;
        record.replies = replies;
        record.clientAccess = clientAccess;
        if (pthread_create(&threads_[i], nullptr, instanceThread, &record) != 0) {
            all = false;
            break;
        }
        ++started_;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return all;
}

void InstancePool::waitReady(std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        uint32_t ticket = released_.ticket();
        int32_t ready = 0;
        for (int32_t i = 0; i < started_; ++i) {
            ready += records_[i].success.load(std::memory_order_acquire) ? 1 : 0;
        }
        auto now = std::chrono::steady_clock::now();
        if (ready == started_ || now >= deadline || stopRequested()) {
            return;
        }
        released_.waitFor(ticket,
                          std::chrono::duration_cast<std::chrono::microseconds>(deadline - now));
    }
}

int32_t InstancePool::findFree(bool logged) {
    for (int32_t i = 0; i < count_; ++i) {
        Instance &record = records_[i];
        int32_t fd = record.sockFd.load(std::memory_order_acquire);
        bool ready = record.success.load(std::memory_order_acquire);
        if (logged) {
            daemonLog("Instance %d (sockFd = %d, success = %d)\n", i, fd, ready ? 1 : 0);
        }
        if (fd < 0 && ready) {
            return i;
        }
    }
    return -1;
}

bool InstancePool::handOver(int fd) {
    ql::UniqueFd connection(fd);
    // The first pass is always logged; while every instance stays busy, one pass a second.
    auto nextLogged = std::chrono::steady_clock::time_point::min();
    while (!stopRequested()) {
        uint32_t ticket = released_.ticket();
        auto now = nextLogged == std::chrono::steady_clock::time_point::min()
                       ? nextLogged
                       : std::chrono::steady_clock::now();
        bool logged = now >= nextLogged;
        int32_t i = findFree(logged);
        if (i >= 0) {
            daemonLog("Instance %d free to process\n", i);
            busyCount_.fetch_add(1, std::memory_order_relaxed);
            records_[i].sockFd.store(connection.release(), std::memory_order_release);
            wakeInstance(records_[i]);
            return true;
        }
        if (logged) {
            daemonLog("No instance free to process, waiting to release one.\n");
            nextLogged = std::chrono::steady_clock::now() + kBusyLogInterval;
        }
        released_.waitFor(ticket, kReleaseWait);
        serviceLogReopen();
    }
    return false;
}

void InstancePool::waitRelease(std::chrono::microseconds bound) {
    released_.waitFor(released_.ticket(), bound);
}

int32_t InstancePool::endedCount() const {
    int32_t ended = 0;
    for (int32_t i = 0; i < started_; ++i) {
        ended += records_[i].ended.load(std::memory_order_acquire) ? 1 : 0;
    }
    return ended;
}

int32_t InstancePool::stopAll(std::chrono::seconds bound) {
    for (int32_t i = 0; i < started_; ++i) {
        wakeInstance(records_[i]);
    }
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        uint64_t ticket = released_.ticket();
        auto now = std::chrono::steady_clock::now();
        if (endedCount() == started_ || now >= deadline) {
            break;
        }
        released_.waitFor(ticket,
                          std::chrono::duration_cast<std::chrono::microseconds>(deadline - now));
    }
    int32_t abandoned = 0;
    for (int32_t i = 0; i < started_; ++i) {
        if (!records_[i].ended.load(std::memory_order_acquire)) {
            daemonLog("Instance %d still busy after %d s, abandoned\n", i,
                      static_cast<int>(bound.count()));
            ++abandoned;
        }
    }
    if (abandoned > 0) {
        return abandoned;  // the records stay for the threads that still use them
    }
    for (int32_t i = 0; i < started_; ++i) {
        pthread_join(threads_[i], nullptr);
    }
    started_ = 0;
    for (int32_t i = 0; i < count_; ++i) {
        int32_t fd = records_[i].sockFd.exchange(-1, std::memory_order_acq_rel);
        if (fd >= 0) {
            close(fd);
        }
    }
    return 0;
}

}  // namespace ql::daemon
