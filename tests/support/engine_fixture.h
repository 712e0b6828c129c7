// The "engine up" step of every test that scans: a temporary installation with one engine, the
// KAV engine daemon (the stand-in qornd) or the BD core library (the stand-in libavcore.so), its
// signatures, its configuration, and a handle on it.
#ifndef QL_TESTS_SUPPORT_ENGINE_FIXTURE_H
#define QL_TESTS_SUPPORT_ENGINE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "ql/qlscan.h"
#include "tests/support/temp_root.h"

namespace ql::test {

enum class Engine { Kav, Bd };

// The engines a parameterised suite runs on, and their names in the test names:
//   INSTANTIATE_TEST_SUITE_P(BothEngines, Suite, kBothEngines, engineName);
inline const auto kBothEngines = ::testing::Values(Engine::Kav, Engine::Bd);
std::string engineName(const ::testing::TestParamInfo<Engine> &info);

// A TempRoot whose /opt/Quellar/etc/qorn.conf serves either engine: the engine daemon's socket
// and pid file in /opt/Quellar/var/run, the bases in /opt/Quellar/bases, the temporary folder
// /var/Quellar/var/tmp. No engine is installed until up().
class EngineRoot {
  public:
    EngineRoot();
    // Closes the handle, stops the engine daemon, clears the core's switches.
    ~EngineRoot();
    EngineRoot(const EngineRoot &) = delete;
    EngineRoot &operator=(const EngineRoot &) = delete;

    // Install engine with the extra signature lines (outcome TAB name TAB pattern) and the
    // version file naming it; KAV (re)starts the engine daemon. False when it does not come up.
    bool up(Engine engine, const std::string &signatures = "");

    // The engine daemon: stop it (SIGTERM, waited for), kill it (files left behind).
    void stopEngine();
    void killEngine();

    // A handle on the installed engine, closed by the destructor (nullptr when it fails).
    AVHandle handle();

    const TempRoot &root() const { return root_; }
    std::string path(std::string_view fixed) const { return root_.path(fixed); }
    std::string confPath() const { return path("/opt/Quellar/etc/qorn.conf"); }
    std::string socketPath() const { return path("/opt/Quellar/var/run/qornd.sock"); }
    std::string pidPath() const { return path("/opt/Quellar/var/run/qornd.pid"); }
    std::string tempDir() const { return path("/var/Quellar/var/tmp"); }
    std::string pluginsDir() const { return path("/opt/Quellar/bases/Plugins"); }

    // A file below <root>/samples (folders made); returns its path.
    std::string sample(const std::string &name, std::string_view content) const;
    void writeVersion(std::string_view text) const;
    void writeSignatures(const std::string &lines) const;

    // The stand-in core records its calls from now on; the lines recorded so far.
    void recordCore() const;
    std::vector<std::string> coreRecord() const;
    // Make the stand-in core fail as switches say ("init", "instance", "set:<option>"); "" clears.
    static void failCore(const char *switches);

  private:
    TempRoot root_;
    int enginePid_ = 0;
    AVHandle handle_ = nullptr;
};

// A suite of scans run on both engines: the engine is up before each case.
class EngineTest : public ::testing::TestWithParam<Engine> {
  protected:
    void SetUp() override { ASSERT_TRUE(engine_.up(GetParam(), Signatures())); }
    // The extra signatures of the suite.
    virtual std::string Signatures() const { return ""; }
    bool Kav() const { return GetParam() == Engine::Kav; }

    EngineRoot engine_;
};

}  // namespace ql::test

#endif  // QL_TESTS_SUPPORT_ENGINE_FIXTURE_H
