// Serving one client connection: the request read, checked and scanned, one reply line sent.
//
// Client protocol (one request per connection): the client sends a file path, optionally followed
// by CR and LF characters; one read of at most kRequestMax bytes is taken, bounded by the request
// timeout. The daemon answers one line and closes: "0\n" for a file found clean, "1 <text>\n"
// for an infection (its name), a failed or stopped scan, a finding the settings ask to alert
// on, or a request that could not be served. The last three are error replies; with the
// TagErrorReplies rule they read "1 ERROR: <text>\n", so that a front end tells a failed scan
// from an infection name by one prefix.
#ifndef QL_DAEMON_REQUEST_H
#define QL_DAEMON_REQUEST_H

#include <cstddef>
#include <cstdint>

#include "common/unique_fd.h"
#include "daemon/client_access.h"
#include "daemon/interface_conf.h"
#include "ql/qlscan.h"

namespace ql::daemon {

struct Instance;

inline constexpr int kRequestMax = 1049;  // bytes of one request
inline constexpr int kReplyMax = 256;     // characters of a reply, terminator included
// Options of every scan: links are followed to their target, which is scanned.
inline constexpr uint32_t kScanOptions = 0x0001 | QL_OPT_LINK;

using ql::UniqueText;

// What a scan last reported through its event function.
struct ScanNote {
    UniqueText text;         // an allocated copy, or null when nothing was reported
    bool infection = false;  // text is an infection name (not a message)
};

// The event function of every scan: stores an allocated copy of infectionName, or else of
// message, in the ScanNote userData points at, replacing what it held. Returns QL_CB_STOP once
// the stop flag is set, else 0.
int onScanEvent(const char *objectName, int32_t objectKind, int32_t event,
                const char *infectionName, const char *message, void *userData);

// Remove every CR and LF from the end of text in place. 0, or -1 for NULL.
int stripLineEnd(char *text);

// The reply to a scan's result, the first that applies: the last error's text for -1; the
// reported text (or "Infected") for the infected bit; the reported text (or "Suspicious") for the
// suspicious bit when the rules alert on it; for the error bit, the reported text when it is an
// infection name, else that text (or "Scan error") as an error; "Scan stopped" for the stopped
// bit, whatever bits come with it; "Encrypted" and "Corrupted" for those bits when the rules alert
// on them; else "0\n". Error replies read "1 %s\n", or "1 ERROR: %s\n" when the rules tag them;
// the others "1 %s\n". Texts are cut so that the reply ends with "\n"; line ends inside them
// become blanks.
void replyForResult(int result, const ScanNote &reported, const ReplyRules &rules,
                    char (&reply)[kReplyMax]);

// The error reply with text, cut and cleaned like replyForResult's.
void replyWithError(const char *text, const ReplyRules &rules, char (&reply)[kReplyMax]);

// One read of at most kRequestMax bytes from fd into request (NUL-terminated after the bytes),
// waiting at most timeoutSeconds for the first byte. The bytes read, or -1 with errno set
// (ETIMEDOUT when nothing came in time).
[[nodiscard]] int readRequest(int fd, int32_t timeoutSeconds, char (&request)[kRequestMax + 1]);

// Serves the connections of one instance, one at a time: reads the request, checks it, scans it
// through the instance's engine handle (with the client's own rights under ClientAccess =
// check) and sends the one reply line, logging each step.
class RequestServer {
  public:
    explicit RequestServer(Instance &instance);
    RequestServer(const RequestServer &) = delete;
    RequestServer &operator=(const RequestServer &) = delete;

    // Serve the request on connection fd (left open for the caller to close).
    void serve(int fd);

  private:
    int no() const;
    void answerRequest();
    bool judgedByClientRights() const;
    void answerWithClientRights(char *path);
    void scan(void *object, int32_t type, const char *path);
    void sendReply(int fd);

    // A request with every byte a control character, as the log shows it.
    static constexpr std::size_t kShownMax = 4 * kRequestMax + 1;

    Instance &instance_;
    QuickRequest request_;
    EventCallback callback_;
    ScanNote note_;
    ClientCredentials client_;
    bool clientKnown_ = false;
    char requestText_[kRequestMax + 1] = {};
    char shown_[kShownMax] = {};  // the request or path as logged
    char reply_[kReplyMax] = {};
};

}  // namespace ql::daemon

#endif  // QL_DAEMON_REQUEST_H
