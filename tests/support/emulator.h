// Test programs under a user-mode emulator. The 32-bit build runs its tests on a 64-bit kernel
// that cannot execute them: ctest starts each test executable through the emulator and names it
// in QL_TEST_EMULATOR, and the fixtures start the built programs through the same emulator.
#ifndef QL_TESTS_SUPPORT_EMULATOR_H
#define QL_TESTS_SUPPORT_EMULATOR_H

#include <sys/types.h>

#include <string>

namespace ql::test {

// The emulator QL_TEST_EMULATOR names, or nullptr when the tests run natively.
const char *testEmulator();

// Replace this process with program, argv being its NULL-terminated arguments (argv[0] as the
// program sees it), through the emulator when there is one (a script runs as it is). Returns
// only when the exec failed.
// Allocates nothing, so it may run in the child of a threaded process; at most 30 arguments.
void execProgram(const char *program, const char *const argv[]);

// Make link start the built program: a symbolic link, or under the emulator a small script that
// runs it through the emulator, so that a program the code under test starts itself (the engine
// daemon) is emulated too. Does nothing when built does not exist.
void linkProgram(const std::string &built, const std::string &link);

// Whether process pid runs the program called name: its command name, or under the emulator
// the program the emulator was given.
bool processIsProgram(pid_t pid, const std::string &name);

}  // namespace ql::test

#endif  // QL_TESTS_SUPPORT_EMULATOR_H
