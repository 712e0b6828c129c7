#include "daemon/request.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "daemon/client_access.h"
#include "daemon/daemon_state.h"
#include "daemon/instance.h"

namespace ql::daemon {

namespace {

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

}  // namespace

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

RequestServer::RequestServer(Instance &instance) : instance_(instance) {
    QL_InitQuickRequest(&request_);
    request_.type = QL_REQ_PATH;
    request_.scanOpts = 0;
    QL_InitEventCallback(&callback_);
    callback_.onEvent = onScanEvent;
    callback_.userData = &note_;
}

int RequestServer::no() const {
    return instance_.instanceNo;
}

void RequestServer::serve(int fd) {
    daemonLog("Instance-%d: Connected (%d).....\n", no(),
              instance_.busyCount->load(std::memory_order_relaxed));
    std::memset(reply_, 0, sizeof reply_);
    clientKnown_ = instance_.clientAccess == ClientAccess::kCheck && clientCredentials(fd, client_);
    int n = readRequest(fd, instance_.requestTimeout, requestText_);
    if (n < 0) {
        replyWithError(systemText(errno), instance_.replies, reply_);
    } else {
        daemonLog("Instance-%d: Request = %s, n = %d\n", no(), logSafeText(requestText_, shown_),
                  n);
        stripLineEnd(requestText_);
        answerRequest();
    }
    sendReply(fd);
}

void RequestServer::answerRequest() {
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
bool RequestServer::judgedByClientRights() const {
    return instance_.clientAccess == ClientAccess::kCheck && !(clientKnown_ && client_.uid == 0);
}

// The file the client may open is the one scanned: the engine reads that very descriptor,
// never the path looked up again.
void RequestServer::answerWithClientRights(char *path) {
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
    DescriptorObject descriptor{
        path, file.get(),
        static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), UINT32_MAX))};
    scan(&descriptor, QL_REQ_DESCRIPTOR, path);
}

void RequestServer::scan(void *object, int32_t type, const char *path) {
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

void RequestServer::sendReply(int fd) {
    daemonLog("Instance-%d: Sending: %s\n", no(), reply_);
    if (send(fd, reply_, std::strlen(reply_), MSG_NOSIGNAL) < 0) {
        daemonLog("Instance-%d: Send Err: %s\n", no(), systemText(errno));
    } else {
        daemonLog("Instance-%d: Sent\n", no());
    }
}

}  // namespace ql::daemon
