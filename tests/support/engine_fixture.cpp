#include "tests/support/engine_fixture.h"

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <sstream>

#include "tests/support/programs.h"

namespace ql::test {

namespace {

constexpr const char *kRecordVariable = "QL_AVCORE_RECORD";
constexpr const char *kFailVariable = "QL_AVCORE_FAIL";
constexpr int kBoundMs = 10000;

}  // namespace

std::string engineName(const ::testing::TestParamInfo<Engine> &info) {
    return info.param == Engine::Kav ? "Kav" : "Bd";
}

EngineRoot::EngineRoot() {
    root_.writeFixed("/opt/Quellar/etc/qorn.conf", "[path]\nLocalSocketPath=" + socketPath() +
                                                       "\nAVSpidPATH=" + pidPath() +
                                                       "\nBasesPath=" + path("/opt/Quellar/bases") +
                                                       "\nTempPath=" + tempDir() + "\n");
    writeSignatures("");
    failCore("");
    unsetenv(kRecordVariable);
}

EngineRoot::~EngineRoot() {
    if (handle_ != nullptr) {
        QL_DeinitAVHandle(handle_, nullptr);
    }
    stopEngine();
    failCore("");
    unsetenv(kRecordVariable);
}

bool EngineRoot::up(Engine engine, const std::string &signatures) {
    writeSignatures(signatures);
    writeVersion(engine == Engine::Kav ? "2" : "3");
    if (engine == Engine::Bd) {
        return true;
    }
    stopEngine();
    Outcome start = runProgram(path("/opt/Quellar/sbin/qornd"), {"-c", confPath()}, kBoundMs);
    enginePid_ = std::atoi(readFile(pidPath()).c_str());
    return start.status == 0 && enginePid_ > 0;
}

void EngineRoot::stopEngine() {
    if (processRuns(enginePid_)) {
        ::kill(enginePid_, SIGTERM);
        EXPECT_TRUE(waitUntil([this] { return !processRuns(enginePid_); }, 3 * kBoundMs))
            << "qornd " << enginePid_;
    }
    enginePid_ = 0;
}

void EngineRoot::killEngine() {
    if (enginePid_ > 0) {
        ::kill(enginePid_, SIGKILL);
        EXPECT_TRUE(waitUntil([this] { return !processRuns(enginePid_); }, kBoundMs));
    }
}

AVHandle EngineRoot::handle() {
    if (handle_ == nullptr) {
        handle_ = QL_InitAVHandle(confPath().c_str(), nullptr, 0);
        EXPECT_NE(handle_, nullptr) << QL_GetErrorText();
    }
    return handle_;
}

std::string EngineRoot::sample(const std::string &name, std::string_view content) const {
    root_.writeFixed("/samples/" + name, content);
    return path("/samples/" + name);
}

void EngineRoot::writeVersion(std::string_view text) const {
    root_.writeFixed("/opt/Quellar/etc/qorn-ver", text);
}

void EngineRoot::writeSignatures(const std::string &lines) const {
    root_.writeFixed("/opt/Quellar/bases/Plugins/signatures.txt", "# test signatures\n" + lines);
}

void EngineRoot::recordCore() const {
    setenv(kRecordVariable, path("/core.record").c_str(), 1);
}

std::vector<std::string> EngineRoot::coreRecord() const {
    std::vector<std::string> lines;
    std::istringstream text(readFile(path("/core.record")));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    std::filesystem::remove(path("/core.record"));
    return lines;
}

void EngineRoot::failCore(const char *switches) {
    switches == nullptr || *switches == '\0' ? unsetenv(kFailVariable)
                                             : setenv(kFailVariable, switches, 1);
}

}  // namespace ql::test
