#include "tests/support/emulator.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "tests/support/temp_root.h"

namespace fs = std::filesystem;

namespace ql::test {

namespace {

constexpr std::size_t kMaxArgs = 30;

std::string quoted(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::string baseName(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first argument after the emulator's own options ("-0 NAME" is the one the fixtures use).
std::string emulatedProgram(const std::string &cmdline) {
    std::vector<std::string> args;
    for (std::size_t at = 0; at < cmdline.size();) {
        std::size_t end = cmdline.find('\0', at);
        end = end == std::string::npos ? cmdline.size() : end;
        args.push_back(cmdline.substr(at, end - at));
        at = end + 1;
    }
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "-0") {
            ++i;
        } else if (args[i].empty() || args[i][0] != '-') {
            return args[i];
        }
    }
    return {};
}

// A script (the wrapper linkProgram writes) runs natively and emulates what it starts itself.
bool isScript(const char *program) {
    char magic[2] = {};
    int fd = open(program, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool script = read(fd, magic, sizeof magic) == 2 && magic[0] == '#' && magic[1] == '!';
    close(fd);
    return script;
}

}  // namespace

const char *testEmulator() {
    const char *emulator = getenv("QL_TEST_EMULATOR");
    return emulator != nullptr && *emulator != '\0' ? emulator : nullptr;
}

void execProgram(const char *program, const char *const argv[]) {
    const char *emulator = testEmulator();
    if (emulator == nullptr || isScript(program)) {
        execv(program, const_cast<char *const *>(argv));
        return;
    }
    const char *args[kMaxArgs + 5] = {emulator, "-0", argv[0], program};
    std::size_t count = 4;
    for (std::size_t i = 1; argv[i] != nullptr && i <= kMaxArgs; ++i) {
        args[count++] = argv[i];
    }
    args[count] = nullptr;
    execv(emulator, const_cast<char *const *>(args));
}

void linkProgram(const std::string &built, const std::string &link) {
    std::error_code ec;
    if (!fs::exists(built, ec)) {
        return;
    }
    const char *emulator = testEmulator();
    if (emulator == nullptr) {
        fs::create_symlink(built, link, ec);
        return;
    }
    writeFile(link,
              "#!/bin/sh\nexec " + quoted(emulator) + " -0 \"$0\" " + quoted(built) + " \"$@\"\n");
    fs::permissions(link, fs::perms::owner_all, ec);
}

bool processIsProgram(pid_t pid, const std::string &name) {
    std::string proc = "/proc/" + std::to_string(pid);
    if (readFile(proc + "/comm") == name + "\n") {
        return true;
    }
    return testEmulator() != nullptr &&
           baseName(emulatedProgram(readFile(proc + "/cmdline"))) == name;
}

}  // namespace ql::test
