// Processes in tests: the one runner of built programs (bounded, its output gathered), the child
// that acts as the unprivileged user, and bounded waits.
#ifndef QL_TESTS_SUPPORT_PROGRAMS_H
#define QL_TESTS_SUPPORT_PROGRAMS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace ql::test {

// What a run gave: the exit status (128 + signal when a signal ended it, -1 when it did not end
// within its bound and was killed) and everything it wrote.
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// The path of a built program: builtProgram("qlscan").
std::string builtProgram(const char *name);

// Run program with args in a session of its own (so it has no terminal), stdin on /dev/null,
// under the emulator when the tests run under one. A run longer than boundMs fails the test.
Outcome runProgram(const std::string &program, const std::vector<std::string> &args,
                   int boundMs = 20000);

// Fork a child that drops every group, becomes kNobody for good and exits with body's result
// (100 when the switch failed). Returns its pid.
pid_t forkAsNobody(const std::function<int()> &body);

// Wait for a child to end, at most timeoutMs: its exit status (or 128 + signal), -1 when it did
// not end in time.
int waitForExit(pid_t pid, int timeoutMs);

// The state letter of a /proc/<pid>/stat or /proc/<pid>/task/<tid>/stat file, '\0' without one.
char stateIn(const std::string &statFile);

// Whether a process runs (exists and is no zombie).
bool processRuns(int pid);

// Run clients threads at once, each calling body(client) once, and wait for all of them.
void runClients(int clients, const std::function<void(int)> &body);

// Wait until pred() holds or boundMs pass; returns pred().
template <typename Pred>
bool waitUntil(Pred pred, int boundMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!pred() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

}  // namespace ql::test

#endif  // QL_TESTS_SUPPORT_PROGRAMS_H
