#include "common/iface_utils.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>
#include <thread>

#include "tests/support/temp_root.h"

namespace {

TEST(IfaceUtilsTest, ErrorTextsFollowTheCodeTable) {
    struct Row {
        int code;
        std::string text;
    } rows[] = {
        {899, strerror(899)},         {900, "Scan Success"},
        {901, "Unknown system type"}, {906, "Connecting AV Engine failed"},
        {907, "File size is zero"},   {908, strerror(908)},
        {22, strerror(22)},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(QL_SetError(row.code), -1);
        EXPECT_EQ(QL_GetErrorText(), row.text) << row.code;
    }
}

TEST(IfaceUtilsTest, FreeTextIsCutTo63CharactersAndNullReadsUnknown) {
    std::string longText(100, 'x');
    EXPECT_EQ(QL_SetErrorText(longText.c_str()), -1);
    EXPECT_EQ(std::string(QL_GetErrorText()), longText.substr(0, 63));
    QL_SetErrorText(nullptr);
    EXPECT_STREQ(QL_GetErrorText(), "Unknown error");
    QL_SetError(901);
    QL_SetError(910);
    EXPECT_STREQ(QL_GetErrorText(), "Unknown error") << "910 keeps the last free text";
}

TEST(IfaceUtilsTest, LastErrorBelongsToEachThread) {
    std::string seenA;
    std::string seenB;
    std::thread a([&] {
        QL_SetErrorText("thread a failed");
        for (int i = 0; i < 1000; ++i) {
            std::this_thread::yield();
        }
        seenA = QL_GetErrorText();
    });
    std::thread b([&] {
        QL_SetError(QLE_ZERO_SIZE);
        for (int i = 0; i < 1000; ++i) {
            std::this_thread::yield();
        }
        seenB = QL_GetErrorText();
    });
    a.join();
    b.join();
    EXPECT_EQ(seenA, "thread a failed");
    EXPECT_EQ(seenB, "File size is zero");
}

TEST(IfaceUtilsTest, InitialisersResetRecordsAndLastError) {
    DescriptorObject descriptor{const_cast<char *>("name"), 7, 99};
    QL_SetError(22);
    QL_InitDescriptorObject(&descriptor);
    EXPECT_STREQ(QL_GetErrorText(), strerror(0));
    EXPECT_STREQ(descriptor.name, "name");
    EXPECT_EQ(descriptor.fd, -1);
    EXPECT_EQ(descriptor.size, 0U);

    ScanReport report{};
    report.infections = 3;
    report.events.userData = &report;
    QL_ResetScanCounters(&report);
    EXPECT_EQ(report.infections, 0U);
    EXPECT_EQ(report.events.userData, &report) << "counters only";

    char dirs[] = "a:b";
    ExtraData extra{};
    std::strcpy(extra.actionArg, "/q");  // NOLINT: test fixture
    extra.excludeDirs = dirs;
    extra.maxDepth = 9;
    QL_InitExtraData(&extra);
    EXPECT_STREQ(extra.actionArg, "");
    EXPECT_EQ(extra.excludeDirs, nullptr);
    EXPECT_EQ(extra.maxDepth, 0);
    QL_InitQuickRequest(nullptr);  // NULL records are ignored
}

int capturedLevel = -1;
void captureLevel(int level, const char *, va_list) {
    capturedLevel = level;
}

TEST(IfaceUtilsTest, LoggerWritesBelowItsLevelOrHandsAllToItsCallback) {
    std::string dir = ql::test::makeTempDir("qllog.");
    std::string path = dir + "/log";
    QLLogger *logger = QL_CreateLogger(2, path.c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_GT(QL_Log(logger, 1, "found %s\n", "x"), 0);
    EXPECT_EQ(QL_Log(logger, 2, "dropped\n"), 0);
    EXPECT_EQ(QL_Log(logger, 3, "dropped\n"), 0);
    QL_SetLogCallback(logger, captureLevel);
    EXPECT_EQ(QL_Log(logger, 0, "to the callback\n"), 0);
    EXPECT_EQ(capturedLevel, 0);
    EXPECT_EQ(QL_DestroyLogger(logger), 0);
    EXPECT_EQ(ql::test::readFile(path), "found x\n");
    EXPECT_EQ(QL_Log(nullptr, 1, "x"), -1);
    EXPECT_EQ(QL_DestroyLogger(nullptr), -1);

    QL_SetError(22);
    EXPECT_EQ(QL_CreateLogger(3, ""), nullptr);
    EXPECT_STREQ(QL_GetErrorText(), strerror(22)) << "empty path leaves the last error";
    EXPECT_EQ(QL_CreateLogger(3, "relative/log"), nullptr);
    EXPECT_STREQ(QL_GetErrorText(), "Absolute path required");
    ql::test::removeTree(dir);
}

TEST(IfaceUtilsTest, BoundedCopiesAlwaysTerminateAndReportCuts) {
    char small[4];
    EXPECT_TRUE(ql::copyBounded(small, "abc"));
    EXPECT_STREQ(small, "abc");
    EXPECT_FALSE(ql::copyBounded(small, "abcd"));
    EXPECT_STREQ(small, "abc");
    EXPECT_FALSE(ql::formatBounded(small, sizeof small, "%d", 12345));
    EXPECT_STREQ(small, "123");
}

TEST(IfaceUtilsTest, RootedPathPrefixesAbsoluteRootsOnly) {
    char out[QL_PATH_MAX];
    unsetenv("QL_ROOT");
    EXPECT_EQ(ql::rootedPath("/opt/Quellar/etc/qorn-ver", out), 25);
    EXPECT_STREQ(out, "/opt/Quellar/etc/qorn-ver");
    setenv("QL_ROOT", "/tmp/r/", 1);
    ASSERT_GT(ql::rootedPath("/opt/Quellar/etc/qorn-ver", out), 0);
    EXPECT_STREQ(out, "/tmp/r/opt/Quellar/etc/qorn-ver");
    setenv("QL_ROOT", "relative", 1);
    EXPECT_EQ(ql::rootedPath("/opt/x", out), -1);
    EXPECT_STREQ(QL_GetErrorText(), strerror(22));
    setenv("QL_ROOT", ("/" + std::string(1020, 'r')).c_str(), 1);
    EXPECT_EQ(ql::rootedPath("/opt/x", out), -1) << "too long for the buffer";
    setenv("QL_ROOT", "", 1);
    EXPECT_GT(ql::rootedPath("/opt/x", out), 0);
    EXPECT_STREQ(out, "/opt/x");
    unsetenv("QL_ROOT");
}

}  // namespace
