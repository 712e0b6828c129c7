#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "bd/bd_core.h"
#include "bd/bd_iface.h"
#include "tests/support/bd_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::CoreRoot;

struct Event {
    std::string name;
    int32_t type;
    uint32_t flags, status, event;
    bool operator==(const Event &) const = default;
};

struct Seen {
    std::vector<Event> events;
    int answer = CORE_ANSWER_GO_ON;
};

int collect(uint32_t event, CoreEventInfo *info) {
    auto *seen = static_cast<Seen *>(info->context);
    seen->events.push_back(
        {info->objectName, info->objectType, info->objectFlags, info->status, event});
    return seen->answer;
}

class AvcoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handle = QL_InitBDHandle(core.confPath().c_str(), nullptr);
        ASSERT_NE(handle, nullptr) << QL_GetErrorText();
        set = ql::bd::coreEntry<CoreSetFn>(handle->coreLibrary, "CoreSet");
        get = ql::bd::coreEntry<CoreGetFn>(handle->coreLibrary, "CoreGet");
        instance.handle = handle;
        ASSERT_EQ(QL_BDNewInstance(&instance), 0);
        ASSERT_EQ(set(instance.coreInstance, CORE_OPT_CALLBACK, collect), 0);
        ASSERT_EQ(set(instance.coreInstance, CORE_OPT_CONTEXT, static_cast<void *>(&seen)), 0);
        top = core.root().root() + "/tree";
        mkdir(top.c_str(), 0700);
        mkdir((top + "/sub").c_str(), 0700);
        core.writeSample("tree/a.com", ql::test::eicar());
        core.writeSample("tree/sub/b.txt", "clean");
    }
    void TearDown() override {
        QL_BDDestroyInstance(&instance);
        QL_DeinitBDHandle(handle, nullptr);
    }

    uint32_t counter(int index) {
        uint32_t *counters = nullptr;
        EXPECT_EQ(get(instance.coreInstance, CORE_ITEM_COUNTERS, &counters), 0);
        return counters != nullptr ? counters[index] : 0;
    }

    CoreRoot core;
    BDHandle *handle = nullptr;
    BDInstance instance{};
    CoreSetFn set = nullptr;
    CoreGetFn get = nullptr;
    Seen seen;
    std::string top;
};

TEST_F(AvcoreTest, DirectoryWalkReportsDirectoriesAndFilesInOrderAndCountsThem) {
    ASSERT_EQ(set(instance.coreInstance, CORE_OPT_RESET), 0);
    ASSERT_EQ(set(instance.coreInstance, CORE_OPT_SCAN, CORE_OBJECT_DIRECTORY, top.c_str()), 0);
    std::vector<Event> expected = {
        {top, CORE_OBJECT_DIRECTORY, 0, 0, CORE_EVENT_OBJECT},
        {top + "/a.com", CORE_OBJECT_FILE, 0, CORE_STATUS_INFECTED, CORE_EVENT_FINDING},
        {top + "/sub", CORE_OBJECT_DIRECTORY, 0, 0, CORE_EVENT_OBJECT},
        {top + "/sub/b.txt", CORE_OBJECT_FILE, 0, CORE_STATUS_CLEAN, CORE_EVENT_OBJECT},
    };
    EXPECT_EQ(seen.events, expected);
    EXPECT_EQ(counter(CORE_COUNTER_DIRS), 2u);
    EXPECT_EQ(counter(CORE_COUNTER_OBJECTS), 2u);
    EXPECT_EQ(counter(CORE_COUNTER_INFECTED), 1u);
}

TEST_F(AvcoreTest, NoRecurseKeepsTheWalkInTheTopDirectory) {
    ASSERT_EQ(set(instance.coreInstance, CORE_OPT_NO_RECURSE), 0);
    ASSERT_EQ(set(instance.coreInstance, CORE_OPT_SCAN, CORE_OBJECT_DIRECTORY, top.c_str()), 0);
    EXPECT_EQ(seen.events.size(), 2u);
}

TEST_F(AvcoreTest, StopAnswerEndsTheWalkAndErrorAnswerFailsTheScan) {
    seen.answer = CORE_ANSWER_STOP;
    EXPECT_EQ(set(instance.coreInstance, CORE_OPT_SCAN, CORE_OBJECT_DIRECTORY, top.c_str()), 0);
    EXPECT_EQ(seen.events.size(), 1u);
    seen.answer = CORE_ANSWER_ERROR;
    EXPECT_NE(set(instance.coreInstance, CORE_OPT_SCAN, CORE_OBJECT_DIRECTORY, top.c_str()), 0);
}

TEST_F(AvcoreTest, UnknownOptionsItemsAndScanTypesAreRefused) {
    EXPECT_NE(set(instance.coreInstance, 999), 0);
    EXPECT_NE(set(instance.coreInstance, CORE_OPT_SCAN, 7), 0);
    uint32_t value = 0;
    EXPECT_NE(get(instance.coreInstance, 3, &value), 0);
    EXPECT_EQ(get(instance.coreInstance, CORE_ITEM_OBJECTS, &value), 0);
    EXPECT_NE(set(nullptr, CORE_OPT_RESET), 0);
}

}  // namespace
