#include "kav/kav_iface.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/iface_utils.h"
#include "kav/kav_daemon_pool.h"
#include "tests/support/bd_fixture.h"
#include "tests/support/kav_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::EventLog;
using ql::test::SeenEvent;

constexpr const char *kSignatures =
    "infected\tTest-Virus\ttext:VIRUS-BYTES\n"
    "suspicious\tOdd-Thing\ttext:ODD-BYTES\n"
    "encrypted\tLocked\ttext:LOCKED-BYTES\n"
    "corrupted\tBroken\ttext:BROKEN-BYTES\n"
    "disinfected\tCured\ttext:CURED-BYTES\n"
    "disinfect-failed\tStubborn\ttext:STUBBORN-BYTES\n"
    "error\tTrouble\ttext:TROUBLE-BYTES\n"
    "error5xx:512:Engine out of order\tOut\ttext:OUT-BYTES\n"
    "delay:40\tSlow\ttext:SLOW-BYTES\n"
    "hang\tHang\ttext:HANG-BYTES\n"
    "drop\tDrop\ttext:DROP-BYTES\n";

// The engine events of set-up and shut-down, with their messages (main thread only).
std::vector<std::pair<int, std::string>> engineEvents;

int engineEvent(const char *, int32_t, int32_t event, const char *, const char *message, void *) {
    engineEvents.emplace_back(event, message != nullptr ? message : "");
    return 0;
}

std::vector<int> eventCodes() {
    std::vector<int> codes;
    for (const auto &e : engineEvents) {
        codes.push_back(e.first);
    }
    return codes;
}

class KavIfaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("QL_ENGINE_TIMEOUT_MS", "2000", 1);
        engineEvents.clear();
        engine.writeSignatures(kSignatures);
    }
    void TearDown() override {
        QL_DeinitKAVHandle(handle, nullptr);
        unsetenv("QL_ENGINE_TIMEOUT_MS");
    }

    void open() {
        ASSERT_TRUE(engine.start());
        handle = QL_InitKAVHandle(engine.confPath().c_str(), engineEvent, 0);
        ASSERT_NE(handle, nullptr) << QL_GetErrorText();
    }
    std::string file(const std::string &name, const std::string &content) const {
        std::string path = root.path("/" + name);
        ql::test::writeFile(path, content);
        return path;
    }
    int scan(const std::string &path, EventLog &log) {
        QuickRequest request{const_cast<char *>(path.c_str()), 1, QL_REQ_PATH};
        return QL_KAVIFQuickScan(handle, &request, log.callback());
    }
    KAVScannerConf paths() const {
        KAVScannerConf conf{};
        ql::copyBounded(conf.socketPath, engine.socketPath());
        ql::copyBounded(conf.pidPath, engine.pidPath());
        return conf;
    }

    ql::test::TempRoot root;
    ql::test::QorndInstance engine{root};
    KAVHandle *handle = nullptr;
};

TEST_F(KavIfaceTest, RelativeConfigurationIsRefusedWithoutEvents) {
    EXPECT_EQ(QL_InitKAVHandle("qorn.conf", engineEvent, 1), nullptr);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_TRUE(engineEvents.empty());
    QL_DeinitKAVHandle(nullptr, engineEvent);
    EXPECT_TRUE(engineEvents.empty());
}

TEST_F(KavIfaceTest, EngineNotRunningAndNotStartedFails) {
    EXPECT_EQ(QL_InitKAVHandle(engine.confPath().c_str(), engineEvent, 0), nullptr);
    EXPECT_EQ(eventCodes(), (std::vector<int>{QL_EV_ENGINE_INIT, QL_EV_ENGINE_FAILED}));
    EXPECT_NE(access(engine.pidPath().c_str(), F_OK), 0);  // nothing was started
}

TEST_F(KavIfaceTest, StartFlagStartsTheEngineAndShutDownStopsIt) {
    handle = QL_InitKAVHandle(engine.confPath().c_str(), engineEvent, 1);
    ASSERT_NE(handle, nullptr) << QL_GetErrorText();
    EXPECT_EQ(handle->startedHere, 1);
    EXPECT_GE(handle->daemonSocket, 0);
    int pid = QL_readProcessPid(engine.pidPath().c_str());
    EventLog log;
    EXPECT_EQ(scan(file("e", ql::test::eicar()), log), QL_RES_INFECTED);
    QL_DeinitKAVHandle(handle, engineEvent);
    handle = nullptr;
    EXPECT_EQ(eventCodes(),
              (std::vector<int>{QL_EV_ENGINE_INIT, QL_EV_ENGINE_READY, QL_EV_ENGINE_DOWN}));
    EXPECT_TRUE(ql::test::waitUntil([pid] { return !ql::test::processRuns(pid); }, 5000));
    EXPECT_NE(access(engine.socketPath().c_str(), F_OK), 0);
    EXPECT_NE(access(engine.pidPath().c_str(), F_OK), 0);
}

TEST_F(KavIfaceTest, StartedEngineThatTakesNoConnectionIsStoppedAgain) {
    // A program that leaves a process behind, writes its pid and puts a plain file where the
    // socket belongs, so that every connection attempt fails.
    std::string program = root.path("/opt/Quellar/sbin/qornd");
    std::string witness = root.path("/witness.pid");
    unlink(program.c_str());
    ql::test::writeFile(program, "#!/bin/sh\nsleep 30 >/dev/null 2>&1 &\necho $! > '" +
                                     engine.pidPath() + "'\necho $! > '" + witness + "'\n: > '" +
                                     engine.socketPath() + "'\n");
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    EXPECT_EQ(QL_InitKAVHandle(engine.confPath().c_str(), engineEvent, 1), nullptr);
    EXPECT_EQ(eventCodes(), (std::vector<int>{QL_EV_ENGINE_INIT, QL_EV_ENGINE_FAILED}));
    EXPECT_FALSE(engineEvents.back().second.empty());
    int pid = QL_readProcessPid(witness.c_str());
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(ql::test::waitUntil([pid] { return !ql::test::processRuns(pid); }, 5000));
    EXPECT_NE(access(engine.socketPath().c_str(), F_OK), 0);
    EXPECT_NE(access(engine.pidPath().c_str(), F_OK), 0);
}

TEST_F(KavIfaceTest, EveryFinalCodeGivesItsResultAndEvent) {
    open();
    std::string tar = ql::test::tarOf({{"a.txt", "hello"}, {"in/b.txt", ql::test::eicar()}});
    struct Case {
        std::string content;
        int result;
        int lastEvent;
        std::string text;  // infection name or message of the last event
    };
    const Case cases[] = {
        {"plain text", QL_RES_CLEAN, QL_EV_CLEAN, ""},
        {"x VIRUS-BYTES", QL_RES_INFECTED, QL_EV_INFECTED, "Test-Virus"},
        {"x STUBBORN-BYTES", QL_RES_INFECTED, QL_EV_INFECTED, "Stubborn"},
        {"ODD-BYTES", QL_RES_SUSPICIOUS, QL_EV_SUSPICIOUS, "Odd-Thing"},
        {"CURED-BYTES", QL_RES_DISINFECTED, 0, ""},
        {"LOCKED-BYTES", QL_RES_ENCRYPTED, QL_EV_FAILED, "Encrypted"},
        {"BROKEN-BYTES", QL_RES_CORRUPTED, QL_EV_FAILED, "Corrupt"},
        {"TROUBLE-BYTES", QL_RES_ERROR, QL_EV_FAILED, ""},
        {"OUT-BYTES", QL_RES_ERROR, QL_EV_FAILED, "Engine out of order"},
        {"SLOW-BYTES", QL_RES_CLEAN, QL_EV_CLEAN, ""},
        {tar, QL_RES_INFECTED, QL_EV_INFECTED, "EICAR-Test-File"},
    };
    int n = 0;
    for (const Case &c : cases) {
        EventLog log;
        std::string path = file("f" + std::to_string(n++), c.content);
        EXPECT_EQ(scan(path, log), c.result) << c.content;
        std::vector<SeenEvent> seen = log.events();
        if (c.lastEvent == 0) {
            EXPECT_TRUE(seen.empty()) << c.content;
            continue;
        }
        ASSERT_FALSE(seen.empty()) << c.content;
        EXPECT_EQ(seen.back().event, c.lastEvent) << c.content;
        EXPECT_EQ(c.lastEvent == QL_EV_FAILED ? seen.back().message : seen.back().infection, c.text)
            << c.content;
        if (&c == &cases[std::size(cases) - 1]) {
            EXPECT_EQ(seen.back().name, path + "=>in/b.txt");
        }
    }
}

TEST_F(KavIfaceTest, ScanFailsWhenTheEngineIsNotRunning) {
    open();
    unlink(engine.pidPath().c_str());
    EventLog log;
    EXPECT_EQ(scan(file("c", "clean"), log), -1);
    EXPECT_EQ(ql::lastErrorCode(), QLE_AV_CONNECT);
    QuickRequest request{nullptr, 1, QL_REQ_PATH};
    EXPECT_EQ(QL_KAVIFQuickScan(nullptr, &request, log.callback()), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
}

TEST_F(KavIfaceTest, EngineKilledAndStartedAgainAnswersTheFirstScan) {
    open();
    EventLog log;
    std::string infected = file("v", "VIRUS-BYTES");
    EXPECT_EQ(scan(infected, log), QL_RES_INFECTED);
    engine.kill();
    ASSERT_TRUE(engine.start());
    EXPECT_EQ(scan(infected, log), QL_RES_INFECTED) << QL_GetErrorText();
    EXPECT_EQ(scan(file("c", "clean"), log), QL_RES_CLEAN);
}

TEST_F(KavIfaceTest, DroppedAndHangingRepliesFailWithinTheBound) {
    setenv("QL_ENGINE_TIMEOUT_MS", "400", 1);
    open();
    EventLog log;
    for (const char *content : {"DROP-BYTES", "HANG-BYTES"}) {
        auto start = std::chrono::steady_clock::now();
        QL_SetError(0);
        EXPECT_EQ(scan(file("x", content), log), -1) << content;
        EXPECT_EQ(ql::lastErrorCode(), QLE_AV_CONNECT) << content;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << content;
    }
    EXPECT_TRUE(log.events().empty());
    EXPECT_EQ(scan(file("c", "clean"), log), QL_RES_CLEAN);
}

TEST_F(KavIfaceTest, BufferScanThroughTheHandle) {
    open();
    std::string bytes = ql::test::eicar();
    BufferObject buffer{bytes.data(), static_cast<int32_t>(bytes.size()), 3, nullptr, 0, 0};
    QuickRequest request{&buffer, 0, QL_REQ_BUFFER};
    EventLog log;
    EXPECT_EQ(QL_KAVIFQuickScan(handle, &request, log.callback()), QL_RES_INFECTED);
    EXPECT_EQ(request.type, QL_REQ_BUFFER);  // the caller's request is not changed
}

TEST_F(KavIfaceTest, TwentyThreadsShareOneHandle) {
    open();
    constexpr int kThreads = 20;
    std::vector<std::string> files;
    for (int i = 0; i < kThreads; ++i) {
        files.push_back(file("t" + std::to_string(i),
                             i % 2 == 0 ? "SLOW-BYTES VIRUS-BYTES" : "SLOW-BYTES clean"));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 3; ++round) {
                EventLog log;
                int expected = i % 2 == 0 ? QL_RES_INFECTED : QL_RES_CLEAN;
                std::vector<SeenEvent> seen;
                if (scan(files[i], log) != expected || (seen = log.events()).size() != 1 ||
                    seen[0].name != files[i]) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_GT(handle->pool->openCount(), 1u);
    EXPECT_LE(handle->pool->openCount(), ql::kav::ConnectionPool::kMaxConnections);
}

}  // namespace
