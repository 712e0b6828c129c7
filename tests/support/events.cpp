#include "tests/support/events.h"

namespace ql::test {

std::ostream &operator<<(std::ostream &out, const SeenEvent &event) {
    return out << "{" << event.name << ", kind " << event.kind << ", event " << event.event << ", ["
               << event.infection << "], [" << event.message << "]}";
}

EventLog::EventLog() {
    callback_.onEvent = &EventLog::onEvent;
    callback_.userData = this;
}

std::vector<SeenEvent> EventLog::events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
}

std::vector<SeenEvent> EventLog::about(const std::string &name) const {
    std::vector<SeenEvent> found;
    for (const SeenEvent &event : events()) {
        if (event.name == name || event.name.rfind("(" + name + ")", 0) == 0) {
            found.push_back(event);
        }
    }
    return found;
}

std::vector<int> EventLog::codes() const {
    std::vector<int> codes;
    for (const SeenEvent &event : events()) {
        codes.push_back(event.event);
    }
    return codes;
}

void EventLog::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    events_.clear();
}

void EventLog::answer(int event, int value) {
    answerAll_ = false;
    answerEvent_ = event;
    answerValue_ = value;
}

void EventLog::answerEvery(int value) {
    answerAll_ = true;
    answerValue_ = value;
}

EventLog &EventLog::engine() {
    static EventLog log;
    return log;
}

int EventLog::onEngineEvent(const char *name, int32_t kind, int32_t event, const char *infection,
                            const char *message, void * /*user*/) {
    return onEvent(name, kind, event, infection, message, &engine());
}

int EventLog::onEvent(const char *name, int32_t kind, int32_t event, const char *infection,
                      const char *message, void *user) {
    auto *log = static_cast<EventLog *>(user);
    SeenEvent seen{name != nullptr ? name : "", kind, event, infection != nullptr ? infection : "",
                   message != nullptr ? message : ""};
    {
        std::lock_guard<std::mutex> lock(log->mu_);
        log->events_.push_back(seen);
    }
    if (log->hook_) {
        log->hook_(seen);
    }
    return log->answerAll_ || event == log->answerEvent_ ? log->answerValue_ : 0;
}

}  // namespace ql::test
