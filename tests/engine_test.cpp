#include "api/engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/bd_fixture.h"
#include "tests/support/kav_fixture.h"
#include "tests/support/temp_root.h"

namespace {

TEST(EngineTest, VersionFileNamesTheInstalledEngine) {
    ql::test::TempRoot root;
    EXPECT_EQ(QL_GetInstalledAV(), AV_NONE) << "missing file";
    struct Row {
        const char *text;
        AVType kind;
    } rows[] = {
        {"2\n", AV_KAV}, {"3", AV_BD},       {"10", AV_BD},          {"  4", AV_BD},
        {"1", AV_NONE},  {"0", AV_NONE},     {"-5", AV_NONE},        {"abc", AV_NONE},
        {"", AV_NONE},   {"\t\n2x", AV_KAV}, {"99999999999", AV_BD},
    };
    for (const Row &row : rows) {
        root.writeFixed(ql::kVersionFile, row.text);
        EXPECT_EQ(QL_GetInstalledAV(), row.kind) << row.text;
    }
    QL_SetError(907);
    setenv("QL_ROOT", "relative", 1);
    EXPECT_EQ(QL_GetInstalledAV(), AV_NONE);
    EXPECT_STREQ(QL_GetErrorText(), "File size is zero") << "sets no error";
}

}  // namespace

namespace {

using ql::test::CoreRoot;

std::vector<int> engineEvents;
int recordEngineEvent(const char *name, int32_t kind, int32_t event, const char *, const char *,
                      void *) {
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(kind, QL_OBJ_ENGINE);
    engineEvents.push_back(event);
    return 0;
}

TEST(EngineTest, NoEngineGivesNoHandleAndLeavesTheLastError) {
    ql::test::TempRoot root;
    QL_SetError(QLE_ZERO_SIZE);
    EXPECT_EQ(QL_InitAVHandle("/etc/qorn.conf", nullptr, 0), nullptr);
    EXPECT_STREQ(QL_GetErrorText(), "File size is zero");
    EXPECT_EQ(QL_GetScannerConf("/etc/qorn.conf"), nullptr);
    QL_DeinitAVHandle(nullptr, nullptr);
}

TEST(EngineTest, RelativeConfigurationPathFailsForEitherEngine) {
    CoreRoot core;
    for (const char *version : {"2", "3"}) {
        core.root().writeFixed(ql::kVersionFile, version);
        EXPECT_EQ(QL_InitAVHandle("etc/qorn.conf", nullptr, 0), nullptr) << version;
        EXPECT_STREQ(QL_GetErrorText(), strerror(EINVAL)) << version;
    }
}

TEST(EngineTest, BdHandleReportsItsLifeAndKeepsItsLogger) {
    CoreRoot core;
    core.root().writeFixed(ql::kVersionFile, "3");
    engineEvents.clear();
    AVHandle handle = QL_InitAVHandle(core.confPath().c_str(), recordEngineEvent, 0);
    ASSERT_NE(handle, nullptr) << QL_GetErrorText();
    EXPECT_EQ(engineEvents, (std::vector<int>{QL_EV_ENGINE_INIT, QL_EV_ENGINE_READY}));

    std::string log = core.root().path("/var/Quellar/var/log/handle.log");
    ASSERT_EQ(QL_OpenHandleLog(handle, log.c_str(), 4), 0);
    std::string sample = core.writeSample("clean.txt", "clean");
    QuickRequest request{sample.data(), 0x1, QL_REQ_PATH};
    EventCallback callback{};
    EXPECT_EQ(QL_QuickScan(handle, &request, &callback), QL_RES_CLEAN);
    QL_DeinitAVHandle(handle, recordEngineEvent);
    EXPECT_EQ(engineEvents.back(), QL_EV_ENGINE_DOWN);
    EXPECT_NE(ql::test::readFile(log).find("Quick Scan Request for the file (" + sample + ")\n"),
              std::string::npos)
        << ql::test::readFile(log);
}

TEST(EngineTest, KavHandleComesUpAgainstARunningEngineDaemon) {
    ql::test::TempRoot root;
    ql::test::QorndInstance qornd(root);
    root.writeFixed(ql::kVersionFile, "2\n");
    engineEvents.clear();
    EXPECT_EQ(QL_InitAVHandle(qornd.confPath().c_str(), recordEngineEvent, 0), nullptr)
        << "not running and not to be started";
    EXPECT_EQ(engineEvents.back(), QL_EV_ENGINE_FAILED);
    ASSERT_TRUE(qornd.start());
    AVHandle handle = QL_InitAVHandle(qornd.confPath().c_str(), recordEngineEvent, 0);
    ASSERT_NE(handle, nullptr) << QL_GetErrorText();
    EXPECT_EQ(engineEvents.back(), QL_EV_ENGINE_READY);

    char *conf = QL_GetScannerConf(qornd.confPath().c_str());
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(std::string(conf), qornd.socketPath());
    EXPECT_EQ(std::string(conf + QL_VALUE_MAX), qornd.pidPath());
    free(conf);

    std::string eicar = root.path("/var/Quellar/var/tmp/eicar.com");
    ql::test::writeFile(eicar, ql::test::eicar());
    QuickRequest request{eicar.data(), 0x1, QL_REQ_PATH};
    ql::test::EventLog events;
    EXPECT_EQ(QL_QuickScan(handle, &request, events.callback()), QL_RES_INFECTED);
    QL_DeinitAVHandle(handle, recordEngineEvent);
    EXPECT_EQ(engineEvents.back(), QL_EV_ENGINE_DOWN);
}

}  // namespace
