// The one recorder of scan events: every onEvent call with its texts copied, an answer to give,
// and the events of engine set-up and shut-down (which carry no user data).
#ifndef QL_TESTS_SUPPORT_EVENTS_H
#define QL_TESTS_SUPPORT_EVENTS_H

#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "ql/qlscan.h"

namespace ql::test {

// One event seen by an onEvent function.
struct SeenEvent {
    std::string name{};
    int kind = 0;
    int event = 0;
    std::string infection{};
    std::string message{};
    bool operator==(const SeenEvent &) const = default;
};
std::ostream &operator<<(std::ostream &out, const SeenEvent &event);

// Records events; thread-safe. callback() for a quick scan or a ScanReport, fn() and user() for
// a process scan.
class EventLog {
  public:
    EventLog();
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;

    EventCallback *callback() { return &callback_; }
    QL_EventFn fn() const { return &EventLog::onEvent; }
    void *user() { return this; }

    std::vector<SeenEvent> events() const;
    // The events about one object: its name, or an open file of process name ("(<pid>)FD:<n>").
    std::vector<SeenEvent> about(const std::string &name) const;
    void clear();
    // The answer to every event of this kind, or to every event at all (default 0).
    void answer(int event, int value);
    void answerEvery(int value);
    // Called with every event once it is recorded, on the scanning thread, without the lock.
    void onSeen(std::function<void(const SeenEvent &)> hook) { hook_ = std::move(hook); }

    // The events of handles opened with onEngineEvent.
    static EventLog &engine();
    static int onEngineEvent(const char *name, int32_t kind, int32_t event, const char *infection,
                             const char *message, void *user);
    // The event codes recorded so far.
    std::vector<int> codes() const;

  private:
    static int onEvent(const char *name, int32_t kind, int32_t event, const char *infection,
                       const char *message, void *user);
    EventCallback callback_{};
    mutable std::mutex mu_;
    std::vector<SeenEvent> events_;
    bool answerAll_ = false;
    int answerEvent_ = 0;
    int answerValue_ = 0;
    std::function<void(const SeenEvent &)> hook_;
};

}  // namespace ql::test

#endif  // QL_TESTS_SUPPORT_EVENTS_H
