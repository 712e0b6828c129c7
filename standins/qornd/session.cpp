#include "standins/qornd/session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>

#include "common/unique_fd.h"
#include "standins/common/archive_matches.h"
#include "standins/common/byte_source.h"
#include "support/socket_io.h"

namespace ql::qornd {

namespace {

using standin::Outcome;
using support::sendAll;

constexpr std::size_t kMaxCommandLine = 4096;
constexpr int kPollStepMs = 100;

// Final codes from the strongest down; an archive's final line is its strongest member's.
struct Verdict {
    int rank;
    int code;
    const char *text;
};
constexpr Verdict kClean{99, 220, "220 Object is clean\r\n"};

Verdict verdictOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::Error:
            return {1, 241, "241 Engine error\r\n"};
        case Outcome::Infected:
            return {2, 230, "230 Object is infected\r\n"};
        case Outcome::DisinfectFailed:
            return {3, 231, "231 Object is infected, disinfection failed\r\n"};
        case Outcome::Suspicious:
            return {4, 232, "232 Object is suspicious\r\n"};
        case Outcome::Disinfected:
            return {5, 221, "221 Object was disinfected\r\n"};
        case Outcome::Encrypted:
            return {6, 240, "240 Object is encrypted\r\n"};
        case Outcome::Corrupted:
            return {7, 234, "234 Object is corrupted\r\n"};
        default:
            return kClean;
    }
}

struct ReplyBuilder {
    ScanReply reply;
    Verdict verdict = kClean;
    std::string errorLine;  // an error5xx signature's final line; wins over every verdict
    bool inArchive = false;

    // Record one object's matches; object is "/" for the file itself or "/<member>".
    void object(const std::vector<standin::Match> &matches, const std::string &object) {
        if (int delay = standin::longestDelayMs(matches); delay > reply.delayMs) {
            reply.delayMs = delay;
        }
        const standin::Match *decider = standin::decidingMatch(matches);
        if (decider == nullptr) {
            if (inArchive) {
                reply.lines.push_back("330-" + object + "\r\n");
            }
            return;
        }
        const standin::Signature &sig = *decider->signature;
        switch (sig.outcome) {
            case Outcome::Hang:
                reply.testSwitch = ScanReply::Switch::Hang;
                return;
            case Outcome::Drop:
                if (reply.testSwitch == ScanReply::Switch::None) {
                    reply.testSwitch = ScanReply::Switch::Drop;
                }
                return;
            case Outcome::Error5xx:
                if (errorLine.empty()) {
                    errorLine = std::to_string(sig.errorCode) + " " + sig.errorText + "\r\n";
                }
                return;
            case Outcome::Infected:
                objectLine(322, sig.name, object);
                break;
            case Outcome::DisinfectFailed:
                objectLine(322, sig.name, object);
                objectLine(324, sig.name, object);
                break;
            case Outcome::Suspicious:
                objectLine(328, sig.name, object);
                break;
            case Outcome::Disinfected:
                objectLine(323, sig.name, object);
                break;
            default:
                break;
        }
        if (Verdict v = verdictOf(sig.outcome); v.rank < verdict.rank) {
            verdict = v;
        }
    }

    void objectLine(int code, const std::string &name, const std::string &object) {
        reply.lines.push_back(std::to_string(code) + "-" + name + " " + object + "\r\n");
    }

    ScanReply finish() {
        reply.lines.push_back(errorLine.empty() ? std::string(verdict.text) : errorLine);
        return std::move(reply);
    }
};

// The final line for a path the engine cannot read.
ScanReply readFailure(int error) {
    ScanReply reply;
    reply.lines.push_back("501 " + std::string(std::strerror(error)) + "\r\n");
    return reply;
}

// Wait for input on fd in short steps so that a stop is seen. 1 readable, 0 stopping, -1 error.
int waitInput(int fd, const std::atomic<bool> &stopping) {
    while (!stopping.load()) {
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, kPollStepMs);
        if (n < 0 && errno != EINTR) {
            return -1;
        }
        if (n > 0) {
            return 1;
        }
    }
    return 0;
}

// Never answer: wait until the peer goes away or the daemon stops, dropping whatever comes.
void hang(int fd, const std::atomic<bool> &stopping) {
    char sink[512];
    while (waitInput(fd, stopping) > 0) {
        if (::recv(fd, sink, sizeof sink, 0) <= 0) {
            return;
        }
    }
}

void pause(int ms, const std::atomic<bool> &stopping) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping.load() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Reads command lines through a buffer of its own.
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line without its CR LF; false when the peer closed, the daemon stops, or the
    // line is too long.
    bool next(std::string &line, const std::atomic<bool> &stopping) {
        for (;;) {
            std::size_t lf = pending_.find('\n');
            if (lf != std::string::npos) {
                line = pending_.substr(0, lf);
                pending_.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                return true;
            }
            if (pending_.size() > kMaxCommandLine || waitInput(fd_, stopping) <= 0) {
                return false;
            }
            char chunk[1024];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
    }

  private:
    int fd_;
    std::string pending_;
};

// Answer one SCAN; false when the connection must close.
bool answerScan(int fd, const standin::Matcher &matcher, const std::string &path,
                const std::atomic<bool> &stopping) {
    ScanReply reply = scanPath(matcher, path);
    if (reply.delayMs > 0) {
        pause(reply.delayMs, stopping);
    }
    if (reply.testSwitch == ScanReply::Switch::Hang) {
        hang(fd, stopping);
        return false;
    }
    std::size_t keep = reply.lines.size();
    if (reply.testSwitch == ScanReply::Switch::Drop) {
        keep -= 1;  // the per-object lines, then a piece of the final line, then nothing
    }
    // One send for the whole reply: the client wakes once, not once per line.
    std::string whole;
    for (std::size_t i = 0; i < keep; ++i) {
        whole += reply.lines[i];
    }
    if (!sendAll(fd, whole)) {
        return false;
    }
    if (reply.testSwitch == ScanReply::Switch::Drop) {
        (void)sendAll(fd, "2");
        return false;
    }
    return true;
}

}  // namespace

ScanReply scanPath(const standin::Matcher &matcher, const std::string &path) {
    standin::FdSource source(path.c_str());
    if (!source.ok()) {
        return readFailure(source.error());
    }
    ReplyBuilder builder;
    standin::ArchiveMatches found = standin::matchContainer(matcher, source);
    if (found.kind == standin::ContainerKind::None) {
        standin::MatchResult result = matcher.scan(source);
        if (result.error != 0) {
            return readFailure(result.error);
        }
        builder.object(result.matches, "/");
        return builder.finish();
    }
    if (found.error != 0) {
        return readFailure(found.error);
    }
    // A container is announced, then what no inner object holds is named as the file itself, then
    // each inner object under its own name.
    builder.reply.lines.push_back(found.kind == standin::ContainerKind::Tar ? "325-tar /\r\n"
                                                                            : "325-mime /\r\n");
    builder.object(found.own, "/");
    builder.inArchive = true;
    for (const standin::InnerMatches &inner : found.inners) {
        builder.object(inner.matches, "/" + inner.name);
    }
    return builder.finish();
}

std::string infoLine(std::size_t signatureCount) {
    return "201 " + std::to_string(signatureCount) + " qornd 1 stand-in " +
           std::to_string(::getpid()) + " signatures-loaded\r\n";
}

void serveConnection(int fd, const standin::Matcher &matcher, const std::atomic<bool> &stopping) {
    UniqueFd owned(fd);
    if (!sendAll(fd, infoLine(matcher.signatures().count()))) {
        return;
    }
    LineReader reader(fd);
    std::string line;
    while (reader.next(line, stopping)) {
        if (line == "QUIT") {
            (void)sendAll(fd, "200 Goodbye\r\n");
            return;
        }
        if (line == "INFO") {
            if (!sendAll(fd, infoLine(matcher.signatures().count()))) {
                return;
            }
            continue;
        }
        std::size_t letters = line.find(' ', 5);
        if (line.rfind("SCAN ", 0) != 0 || letters == std::string::npos ||
            letters + 1 >= line.size()) {
            if (!sendAll(fd, "500 Bad command\r\n")) {
                return;
            }
            continue;
        }
        if (!answerScan(fd, matcher, line.substr(letters + 1), stopping)) {
            return;
        }
    }
}

}  // namespace ql::qornd
