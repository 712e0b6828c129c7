#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bd/bd_iface.h"
#include "common/iface_utils.h"
#include "tests/support/bd_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::CoreRoot;
using ql::test::Report;
using ql::test::Reports;

using Lines = std::vector<std::string>;

int errorLines = 0;

void countErrorLines(int level, const char * /*format*/, va_list /*args*/) {
    if (level == QL_LOG_ERROR) {
        ++errorLines;
    }
}

class BdIfaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core.writeSignatures(
            "suspicious\tOdd-Sample\ttext:ODD-SAMPLE-BYTES\n"
            "disinfected\tCurable\ttext:CURABLE-SAMPLE\n"
            "disinfect-failed\tStubborn\ttext:STUBBORN-SAMPLE\n"
            "error\tBroken\ttext:ENGINE-ERROR-SAMPLE\n");
        handle = QL_InitBDHandle(core.confPath().c_str(), nullptr);
        ASSERT_NE(handle, nullptr) << QL_GetErrorText();
        logger.callback = countErrorLines;
        QL_BDSetLogger(handle, &logger);
        errorLines = 0;
    }
    void TearDown() override {
        QL_BDClearLogger(handle);
        QL_DeinitBDHandle(handle, nullptr);
    }

    // The options a new instance received.
    Lines optionsFor(uint32_t scanOpts, int32_t actOpts, const ExtraData *extra) {
        core.startRecording();
        BDInstance instance{handle, nullptr};
        EXPECT_EQ(QL_BDCreateInstance(&instance, scanOpts, actOpts, extra), 0);
        QL_BDDestroyInstance(&instance);
        EXPECT_EQ(instance.coreInstance, nullptr);
        Lines lines = core.recorded();
        ql::test::removeTree(core.root().path("/core.record"));
        return lines;
    }

    int scanPath(const std::string &path, Reports &reports, uint32_t scanOpts = 0x1) {
        QuickRequest request{const_cast<char *>(path.c_str()), scanOpts, QL_REQ_PATH};
        EventCallback callback = reports.callback();
        return QL_BDIFQuickScan(handle, &request, &callback);
    }

    CoreRoot core;
    BDHandle *handle = nullptr;
    QLLogger logger{};
};

ExtraData extraWith(const char *actionArg, uint8_t maxDepth = 0) {
    ExtraData extra{};
    ql::copyBounded(extra.actionArg, actionArg);
    ql::copyBounded(extra.extList, "exe,com");
    extra.maxDepth = maxDepth;
    extra.sizeLimit = 300;
    return extra;
}

TEST_F(BdIfaceTest, OptionsFollowScanOptionsAndAction) {
    static char excluded[] = "/skip:/other";
    ExtraData rename = extraWith("bak");
    ExtraData quarantine = extraWith("/q");
    ExtraData deep = extraWith("", 64);
    ExtraData filters = extraWith("");
    filters.excludeDirs = excluded;
    const Lines defaults = {"26 1", "25 1", "27 1", "33 1"};
    auto with = [&defaults](Lines tail) {
        Lines lines = defaults;
        lines.insert(lines.end(), tail.begin(), tail.end());
        return lines;
    };
    std::string kestra = core.root().path(QL_BD_QUARANTINE_DIR);
    struct Row {
        const char *label;
        uint32_t scanOpts;
        int32_t actOpts;
        const ExtraData *extra;
        Lines expected;
    } rows[] = {
        {"daemon quick scan", 0x1, QL_ACT_NONE, nullptr, with({"31 0"})},
        {"process scan", 0x161, QL_ACT_NONE, nullptr, {"26 0", "25 0", "27 0", "33 1", "31 0"}},
        {"no recurse wins over depth", 0x4 | 0x2000, QL_ACT_NONE, &deep, with({"42", "31 0"})},
        {"depth 64 is sent as 65", 0x2000, QL_ACT_NONE, &deep, with({"41 65", "31 0"})},
        {"depth without extra data", 0x2000, QL_ACT_NONE, nullptr, with({"31 0"})},
        {"scan list, size, excluded dirs", 0x400 | 0x4000 | 0x1000, QL_ACT_NONE, &filters,
         with({"43 exe,com", "89 300", "86 /skip:/other", "31 0"})},
        {"skip list", 0x800, QL_ACT_NONE, &filters, with({"44 exe,com", "31 0"})},
        {"delete", 0x1, QL_ACT_DELETE, nullptr, with({"31 4"})},
        {"quarantine", 0x1, QL_ACT_QUARANTINE, &quarantine, with({"35 /q", "34 /q", "31 6"})},
        {"quarantine with 0x200",
         0x200,
         QL_ACT_QUARANTINE,
         &quarantine,
         {"26 1", "25 1", "27 1", "33 0", "35 /q", "31 6"}},
        {"rename", 0x1, QL_ACT_RENAME, &rename, with({"45 bak", "31 7"})},
        {"rename without extra data", 0x1, QL_ACT_RENAME, nullptr, with({"31 0"})},
        {"prompt", 0x1, QL_ACT_PROMPT, &rename,
         with({"35 " + kestra, "34 " + kestra, "45 qlt", "31 0"})},
        {"unknown action", 0x1, 9, &rename, defaults},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(optionsFor(row.scanOpts, row.actOpts, row.extra), row.expected) << row.label;
    }
}

TEST_F(BdIfaceTest, CoreGivingNoInstanceFailsWithEbusy) {
    CoreRoot::failCore("instance");
    BDInstance instance{handle, nullptr};
    EXPECT_EQ(QL_BDNewInstance(&instance), -1);
    EXPECT_EQ(ql::lastErrorCode(), EBUSY);

    Reports reports;
    QL_SetError(0);
    EXPECT_EQ(scanPath(core.writeSample("clean", "nothing here"), reports), -1);
    EXPECT_EQ(ql::lastErrorCode(), EBUSY);
    EXPECT_EQ(errorLines, 1);
    EXPECT_TRUE(reports.all.empty());
}

TEST_F(BdIfaceTest, CallsWithoutLibraryHandleRequestOrCallbackFailWithEinval) {
    BDHandle empty{};
    BDInstance instance{&empty, nullptr};
    EXPECT_EQ(QL_BDNewInstance(&instance), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(QL_BDNewInstance(nullptr), -1);
    EXPECT_EQ(QL_BDSetOptions(nullptr, 0, 0, nullptr), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    QL_BDDeleteInstance(nullptr);
    QL_BDDestroyInstance(&instance);

    Reports reports;
    EventCallback callback = reports.callback();
    QuickRequest request{const_cast<char *>("/x"), 1, QL_REQ_PATH};
    EXPECT_EQ(QL_BDIFQuickScan(nullptr, &request, &callback), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(QL_BDIFQuickScan(handle, nullptr, &callback), -1);
    EXPECT_EQ(QL_BDIFQuickScan(handle, &request, nullptr), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(errorLines, 2);
}

TEST_F(BdIfaceTest, QuickScanReportsEicarSuspiciousAndCleanFilesByPath) {
    std::string eicar = core.writeSample("eicar.com", ql::test::eicar());
    std::string odd = core.writeSample("odd.bin", "xx ODD-SAMPLE-BYTES yy");
    std::string clean = core.writeSample("clean.txt", "a plain letter");
    struct Row {
        std::string path;
        int result;
        Report report;
    } rows[] = {
        {eicar, QL_RES_INFECTED, {eicar, QL_OBJ_FILE, QL_EV_INFECTED, "EICAR-Test-File"}},
        {odd, QL_RES_SUSPICIOUS, {odd, QL_OBJ_FILE, QL_EV_SUSPICIOUS, "Odd-Sample"}},
        {clean, QL_RES_CLEAN, {clean, QL_OBJ_FILE, QL_EV_CLEAN, ""}},
    };
    for (const Row &row : rows) {
        Reports reports;
        EXPECT_EQ(scanPath(row.path, reports), row.result) << row.path;
        EXPECT_EQ(reports.all, std::vector<Report>{row.report}) << row.path;
    }
}

TEST_F(BdIfaceTest, ArchiveMembersAreReportedUnderTheScannedPathUntilAStopAnswer) {
    std::string archive = core.writeSample(
        "two.tar", ql::test::tarOf({{"a.com", ql::test::eicar()}, {"b.bin", "ODD-SAMPLE-BYTES"}}));
    Reports reports;
    EXPECT_EQ(scanPath(archive, reports), QL_RES_INFECTED | QL_RES_SUSPICIOUS);
    EXPECT_EQ(reports.all,
              (std::vector<Report>{{archive, QL_OBJ_FILE, QL_EV_INFECTED, "EICAR-Test-File"},
                                   {archive, QL_OBJ_FILE, QL_EV_SUSPICIOUS, "Odd-Sample"}}));

    Reports stopping;
    stopping.answer = QL_CB_STOP;
    EXPECT_EQ(scanPath(archive, stopping), QL_RES_STOPPED);
    EXPECT_EQ(stopping.all.size(), 1u);
}

TEST_F(BdIfaceTest, LettingTheCoreActReportsDisinfectionOrItsFailure) {
    std::string curable = core.writeSample("curable", "..CURABLE-SAMPLE..");
    std::string stubborn = core.writeSample("stubborn", "..STUBBORN-SAMPLE..");
    std::string eicar = core.writeSample("eicar.com", ql::test::eicar());
    struct Row {
        std::string path;
        int result;
        int32_t second;
    } rows[] = {
        {curable, QL_RES_DISINFECTED, QL_EV_DISINFECTED},
        {stubborn, QL_RES_INFECTED, QL_EV_DISINFECT_FAILED},
        {eicar, QL_RES_INFECTED, QL_EV_DISINFECT_FAILED},
    };
    for (const Row &row : rows) {
        Reports reports;
        EXPECT_EQ(scanPath(row.path, reports, 0x2), row.result) << row.path;
        ASSERT_EQ(reports.all.size(), 2u) << row.path;
        EXPECT_EQ(reports.all[0].event, QL_EV_INFECTED) << row.path;
        EXPECT_EQ(reports.all[1].event, row.second) << row.path;
    }
}

TEST_F(BdIfaceTest, FailedScanCommandFailsWithScanRequestFailed) {
    Reports reports;
    EXPECT_EQ(scanPath(core.writeSample("broken", "ENGINE-ERROR-SAMPLE"), reports), -1);
    EXPECT_STREQ(QL_GetErrorText(), "Scan request failed");
    EXPECT_EQ(scanPath(core.root().path("/missing"), reports), -1);
    EXPECT_STREQ(QL_GetErrorText(), "Scan request failed");
    EXPECT_EQ(errorLines, 2);
}

TEST_F(BdIfaceTest, RefusedCallbackOrContextOptionFailsWithEagain) {
    std::string clean = core.writeSample("clean.txt", "a plain letter");
    for (const char *refused : {"set:39", "set:38"}) {
        CoreRoot::failCore(refused);
        Reports reports;
        QL_SetError(0);
        EXPECT_EQ(scanPath(clean, reports), -1) << refused;
        EXPECT_EQ(ql::lastErrorCode(), EAGAIN) << refused;
        EXPECT_TRUE(reports.all.empty()) << refused;
    }
}

TEST_F(BdIfaceTest, TwentyThreadsScanThroughOneHandleAndEachGetsItsOwnVerdict) {
    constexpr int kThreads = 20;
    constexpr int kRounds = 10;
    std::vector<std::string> paths;
    for (int i = 0; i < kThreads; ++i) {
        std::string name = "sample" + std::to_string(i);
        std::string content = i % 3 == 0   ? ql::test::eicar()
                              : i % 3 == 1 ? "ODD-SAMPLE-BYTES " + name
                                           : "clean " + name;
        paths.push_back(core.writeSample(name, content));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const int expected[] = {QL_RES_INFECTED, QL_RES_SUSPICIOUS, QL_RES_CLEAN};
            for (int round = 0; round < kRounds; ++round) {
                Reports reports;
                int result = scanPath(paths[i], reports);
                if (result != expected[i % 3] || reports.all.size() != 1 ||
                    reports.all[0].object != paths[i]) {
                    ++mismatches;
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
