#include "tests/support/programs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "tests/support/emulator.h"
#include "tests/support/temp_root.h"

namespace ql::test {

namespace {

std::string readAll(std::FILE *file) {
    std::string text;
    if (file == nullptr) {
        return text;
    }
    std::rewind(file);
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        text.append(chunk, n);
    }
    std::fclose(file);
    return text;
}

}  // namespace

std::string builtProgram(const char *name) {
    return std::string(QL_TEST_BIN_DIR) + "/" + name;
}

Outcome runProgram(const std::string &program, const std::vector<std::string> &args, int boundMs) {
    std::vector<const char *> argv{program.c_str()};
    for (const std::string &arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    std::FILE *out = std::tmpfile();
    std::FILE *err = std::tmpfile();
    pid_t child = out != nullptr && err != nullptr ? fork() : -1;
    if (child == 0) {
        setsid();
        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (in < 0 || dup2(in, 0) < 0 || dup2(fileno(out), 1) < 0 || dup2(fileno(err), 2) < 0) {
            _exit(126);
        }
        execProgram(program.c_str(), argv.data());
        _exit(127);
    }
    Outcome run;
    run.status = child > 0 ? waitForExit(child, boundMs) : -1;
    if (child > 0 && run.status < 0) {
        ADD_FAILURE() << program << " did not end within " << boundMs << " ms";
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    run.out = readAll(out);
    run.err = readAll(err);
    return run;
}

pid_t forkAsNobody(const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(becomeNobody() ? body() : 100);
    }
    return pid;
}

int waitForExit(pid_t pid, int timeoutMs) {
    int status = 0;
    pid_t done = 0;
    waitUntil([&] { return done != 0 || (done = waitpid(pid, &status, WNOHANG)) != 0; }, timeoutMs);
    return done != pid ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

char stateIn(const std::string &statFile) {
    std::string text = readFile(statFile);
    std::size_t close = text.rfind(')');  // the command before it may hold anything
    return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : '\0';
}

// No pid below 1 has a /proc entry.
bool processRuns(int pid) {
    char state = stateIn("/proc/" + std::to_string(pid) + "/stat");
    return state != '\0' && state != 'Z' && state != 'X';
}

void runClients(int clients, const std::function<void(int)> &body) {
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back(body, c);
    }
    for (std::thread &t : threads) {
        t.join();
    }
}

}  // namespace ql::test
