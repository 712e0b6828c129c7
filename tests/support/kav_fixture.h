// The stand-in engine daemon in a temporary installation root: its configuration, its
// signatures, starting and stopping it, and a small event recorder for scans.
#ifndef QL_TESTS_SUPPORT_KAV_FIXTURE_H
#define QL_TESTS_SUPPORT_KAV_FIXTURE_H

#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "ql/qlscan.h"
#include "tests/support/temp_root.h"

namespace ql::test {

// qornd configured under a TempRoot: /opt/Quellar/etc/qorn.conf with its socket and pid file in
// /opt/Quellar/var/run and its bases in /opt/Quellar/bases.
class QorndInstance {
  public:
    explicit QorndInstance(const TempRoot &root);
    // Stops the daemon if it still runs.
    ~QorndInstance();
    QorndInstance(const QorndInstance &) = delete;
    QorndInstance &operator=(const QorndInstance &) = delete;

    const std::string &confPath() const { return confPath_; }
    const std::string &socketPath() const { return socketPath_; }
    const std::string &pidPath() const { return pidPath_; }

    // Write the signature file (read when the daemon starts).
    void writeSignatures(std::string_view text) const;
    // Run the linked qornd -c qorn.conf and wait for the starting process; true when it
    // exited 0 (the socket listens and the pid file is written).
    bool start();
    // SIGTERM, then wait (bounded) until the process is gone.
    void stop();
    // SIGKILL without any clean-up, leaving socket and pid file behind.
    void kill();
    // The pid written by the last start, or 0.
    int pid() const { return pid_; }

  private:
    const TempRoot &root_;
    std::string confPath_;
    std::string socketPath_;
    std::string pidPath_;
    int pid_ = 0;
};

// Whether a process runs (exists and is no zombie).
bool processRuns(int pid);

// Wait until pred() holds or bound milliseconds pass; returns pred().
template <typename Pred>
bool waitUntil(Pred pred, int boundMs);

// One event seen by an onEvent function.
struct SeenEvent {
    std::string name;
    int kind = 0;
    int event = 0;
    std::string infection;
    std::string message;
    bool operator==(const SeenEvent &) const = default;
};
std::ostream &operator<<(std::ostream &out, const SeenEvent &event);

// Records events; use callback() as the EventCallback of a scan. Thread-safe.
class EventLog {
  public:
    EventLog();
    EventCallback *callback() { return &callback_; }
    std::vector<SeenEvent> events() const;
    // Answer given to every event of this kind (default 0).
    void answer(int event, int value) {
        answerEvent_ = event;
        answerValue_ = value;
    }
    // Called with every event once it is recorded, on the scanning thread, without the lock.
    void onSeen(std::function<void(const SeenEvent &)> hook) { hook_ = std::move(hook); }

  private:
    static int onEvent(const char *name, int32_t kind, int32_t event, const char *infection,
                       const char *message, void *user);
    EventCallback callback_{};
    mutable std::mutex mu_;
    std::vector<SeenEvent> events_;
    int answerEvent_ = -1;
    int answerValue_ = 0;
    std::function<void(const SeenEvent &)> hook_;
};

}  // namespace ql::test

#include <chrono>
#include <thread>

template <typename Pred>
bool ql::test::waitUntil(Pred pred, int boundMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!pred() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

#endif  // QL_TESTS_SUPPORT_KAV_FIXTURE_H
