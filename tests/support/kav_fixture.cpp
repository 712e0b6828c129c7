#include "tests/support/kav_fixture.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace ql::test {

bool processRuns(int pid) {
    if (pid <= 0) {
        return false;
    }
    std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' &&
           text[close + 2] != 'X';
}

QorndInstance::QorndInstance(const TempRoot &root)
    : root_(root),
      confPath_(root.path("/opt/Quellar/etc/qorn.conf")),
      socketPath_(root.path("/opt/Quellar/var/run/qornd.sock")),
      pidPath_(root.path("/opt/Quellar/var/run/qornd.pid")) {
    root.writeFixed("/opt/Quellar/etc/qorn.conf",
                    "[path]\nLocalSocketPath = " + socketPath_ + "\nAVSpidPATH = " + pidPath_ +
                        "\nBasesPath = " + root.path("/opt/Quellar/bases") + "\n");
    writeSignatures("");
}

QorndInstance::~QorndInstance() {
    if (processRuns(pid_)) {
        stop();
    }
}

void QorndInstance::writeSignatures(std::string_view text) const {
    root_.writeFixed("/opt/Quellar/bases/Plugins/signatures.txt", text);
}

bool QorndInstance::start() {
    std::string program = root_.path("/opt/Quellar/sbin/qornd");
    pid_t child = fork();
    if (child == 0) {
        execl(program.c_str(), "qorn", "-c", confPath_.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return false;
    }
    pid_ = std::stoi(readFile(pidPath_));
    return true;
}

void QorndInstance::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        EXPECT_TRUE(waitUntil([this] { return !processRuns(pid_); }, 5000)) << "qornd " << pid_;
    }
}

void QorndInstance::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        EXPECT_TRUE(waitUntil([this] { return !processRuns(pid_); }, 5000)) << "qornd " << pid_;
    }
}

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
    return event == log->answerEvent_ ? log->answerValue_ : 0;
}

}  // namespace ql::test
