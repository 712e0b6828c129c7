#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bd/bd_core.h"
#include "bd/bd_iface.h"
#include "common/iface_utils.h"
#include "tests/support/bd_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::CoreRoot;

std::vector<int32_t> engineEvents;

int recordEngineEvent(const char *object, int32_t kind, int32_t event, const char *infection,
                      const char *message, void *userData) {
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(kind, QL_OBJ_ENGINE);
    EXPECT_EQ(infection, nullptr);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(userData, nullptr);
    engineEvents.push_back(event);
    return 0;
}

class BdCoreTest : public ::testing::Test {
  protected:
    void SetUp() override { engineEvents.clear(); }

    // Whether the core library is mapped into this process now.
    static bool coreMapped() {
        return ql::test::readFile("/proc/self/maps").find("libavcore.so") != std::string::npos;
    }

    CoreRoot core;
};

TEST_F(BdCoreTest, InitHandsCoreInit5TheConfiguredFoldersAndTheRootedLibraryPath) {
    core.startRecording();
    BDHandle *handle = QL_InitBDHandle(core.confPath().c_str(), recordEngineEvent);
    ASSERT_NE(handle, nullptr) << QL_GetErrorText();
    EXPECT_NE(handle->coreLibrary, nullptr);
    EXPECT_EQ(handle->logger, nullptr);
    QL_DeinitBDHandle(handle, recordEngineEvent);

    std::vector<std::string> expected = {"CoreInit5 0 " + core.pluginsDir() + " " +
                                         core.root().path(QL_BD_CORE_LIBRARY) + " " +
                                         core.tempDir()};
    EXPECT_EQ(core.recorded(), expected);
    EXPECT_EQ(engineEvents,
              (std::vector<int32_t>{QL_EV_ENGINE_INIT, QL_EV_ENGINE_READY, QL_EV_ENGINE_DOWN}));
}

TEST_F(BdCoreTest, ConfigurationWithoutKeysReachesCoreInit5WithEmptyFolders) {
    core.root().writeFixed("/opt/Quellar/etc/qorn.conf", "[path]\nLocalSocketPath = /x\n");
    core.startRecording();
    BDHandle *handle = QL_InitBDHandle(core.confPath().c_str(), nullptr);
    ASSERT_NE(handle, nullptr) << QL_GetErrorText();
    QL_DeinitBDHandle(handle, nullptr);
    EXPECT_EQ(core.recorded(),
              std::vector<std::string>{"CoreInit5 0 \"\" " + core.root().path(QL_BD_CORE_LIBRARY) +
                                       " \"\""});
}

TEST_F(BdCoreTest, RelativeOrMissingConfigurationPathFailsWithEinvalAndNoEvent) {
    for (const char *path : {static_cast<const char *>(nullptr), "qorn.conf", ""}) {
        QL_SetError(0);
        EXPECT_EQ(QL_InitBDHandle(path, recordEngineEvent), nullptr) << (path ? path : "NULL");
        EXPECT_EQ(ql::lastErrorCode(), 22) << (path ? path : "NULL");
    }
    EXPECT_TRUE(engineEvents.empty());
}

TEST_F(BdCoreTest, UnreadableConfigurationFailsWithTheReadersErrorAndNoEvent) {
    std::string missing = core.root().path("/opt/Quellar/etc/none.conf");
    EXPECT_EQ(QL_InitBDHandle(missing.c_str(), recordEngineEvent), nullptr);
    EXPECT_EQ(ql::lastErrorCode(), ENOENT);
    EXPECT_TRUE(engineEvents.empty());
}

TEST_F(BdCoreTest, MissingLibraryFailsWithTheLoadersMessage) {
    ASSERT_EQ(unlink(core.root().path(QL_BD_CORE_LIBRARY).c_str()), 0);
    QL_SetError(0);
    EXPECT_EQ(QL_InitBDHandle(core.confPath().c_str(), recordEngineEvent), nullptr);
    EXPECT_EQ(ql::lastErrorCode(), QLE_TEXT);
    EXPECT_NE(std::string(QL_GetErrorText()).find("libavcore.so"), std::string::npos)
        << QL_GetErrorText();
    EXPECT_EQ(engineEvents, (std::vector<int32_t>{QL_EV_ENGINE_INIT, QL_EV_ENGINE_FAILED}));
}

TEST_F(BdCoreTest, FailingCoreInit5FailsWithATextSayingSoAndUnloadsTheLibrary) {
    CoreRoot::failCore("init");
    QL_SetError(0);
    EXPECT_EQ(QL_InitBDHandle(core.confPath().c_str(), recordEngineEvent), nullptr);
    EXPECT_STREQ(QL_GetErrorText(), "CoreInit5 failed (1)");
    EXPECT_EQ(engineEvents, (std::vector<int32_t>{QL_EV_ENGINE_INIT, QL_EV_ENGINE_FAILED}));
    EXPECT_FALSE(coreMapped());
}

TEST_F(BdCoreTest, DeinitUnloadsTheLibraryAndANullHandleOnlySendsEngineDown) {
    BDHandle *handle = QL_InitBDHandle(core.confPath().c_str(), nullptr);
    ASSERT_NE(handle, nullptr) << QL_GetErrorText();
    EXPECT_TRUE(coreMapped());
    QL_DeinitBDHandle(handle, nullptr);
    EXPECT_FALSE(coreMapped());

    QL_DeinitBDHandle(nullptr, recordEngineEvent);
    EXPECT_EQ(engineEvents, std::vector<int32_t>{QL_EV_ENGINE_DOWN});
}

TEST_F(BdCoreTest, LoadCoreWithoutBlockFailsWithEinvalAndUnloadIgnoresNull) {
    EXPECT_EQ(QL_BDLoadCore(nullptr), nullptr);
    EXPECT_EQ(ql::lastErrorCode(), 22);
    QL_BDUnloadCore(nullptr);
    QL_BDDestroyHandle(nullptr);
}

TEST_F(BdCoreTest, LoggerAccessorsSetGetAndClearAndIgnoreNullHandles) {
    BDHandle handle{};
    QLLogger logger{};
    QL_BDSetLogger(&handle, &logger);
    EXPECT_EQ(QL_BDGetLogger(&handle), &logger);
    QL_BDClearLogger(&handle);
    EXPECT_EQ(QL_BDGetLogger(&handle), nullptr);
    QL_BDSetLogger(nullptr, &logger);
    QL_BDClearLogger(nullptr);
    EXPECT_EQ(QL_BDGetLogger(nullptr), nullptr);
}

}  // namespace
