#include "tests/support/emulator.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "common/unique_fd.h"
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

// The first argument after the emulator's own options ("-0 NAME" is the one the fixtures use).
std::string emulatedProgram(const std::string &cmdline) {
    std::istringstream args(cmdline);
    std::string arg;
    std::getline(args, arg, '\0');  // the emulator
    while (std::getline(args, arg, '\0')) {
        if (arg == "-0") {
            std::getline(args, arg, '\0');
        } else if (arg.empty() || arg[0] != '-') {
            return arg;
        }
    }
    return {};
}

// A script (the wrapper linkProgram writes) runs natively and emulates what it starts itself.
bool isScript(const char *program) {
    char magic[2] = {};
    ql::UniqueFd fd(open(program, O_RDONLY | O_CLOEXEC));
    return fd && read(fd.get(), magic, sizeof magic) == 2 && magic[0] == '#' && magic[1] == '!';
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
           fs::path(emulatedProgram(readFile(proc + "/cmdline"))).filename() == name;
}

}  // namespace ql::test
