#include "api/quick_scan.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "api/engine.h"
#include "tests/support/bd_fixture.h"

namespace {

using ql::test::CoreRoot;
using ql::test::Reports;

TEST(QuickScanTest, FilterNormalisesOptionsAsTheyWereOnEntry) {
    struct Row {
        uint32_t in;
        uint32_t out;
    } rows[] = {
        {0xFFFF, 0},      {0x0003, 0x0002}, {0x0010, 0},      {0x0018, 0x0018}, {0x8002, 0x0002},
        {0x8003, 0x0002}, {0x8001, 0x8001}, {0x0001, 0x0001}, {0x0012, 0x0002}, {0x7C00, 0x7C00},
    };
    char path[] = "/x";
    for (const Row &row : rows) {
        QuickRequest request{path, row.in, QL_REQ_PATH};
        EXPECT_EQ(QL_FilterQuickOptions(&request), 0) << std::hex << row.in;
        EXPECT_EQ(request.scanOpts, row.out) << std::hex << row.in;
    }
    QuickRequest empty{nullptr, 0, QL_REQ_PATH};
    EXPECT_EQ(QL_FilterQuickOptions(&empty), -1);
    EXPECT_EQ(QL_FilterQuickOptions(nullptr), -1);
}

class QuickScanBdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core_.root().writeFixed(ql::kVersionFile, "3\n");
        handle_ = QL_InitAVHandle(core_.confPath().c_str(), nullptr, 0);
        ASSERT_NE(handle_, nullptr) << QL_GetErrorText();
        clean_ = core_.writeSample("clean.txt", "nothing here\n");
        infected_ = core_.writeSample("eicar.com", ql::test::eicar());
        dir_ = core_.root().path("/var/Quellar/var/tmp");
    }
    void TearDown() override { QL_DeinitAVHandle(handle_, nullptr); }

    // Scan a path with options; the request's object is checked to be the caller's again.
    int scan(const std::string &path, uint32_t opts) {
        std::string copy = path;
        QuickRequest request{copy.data(), opts, QL_REQ_PATH};
        EventCallback callback = reports_.callback();
        int result = QL_QuickScan(handle_, &request, &callback);
        EXPECT_EQ(request.object, copy.data()) << "the caller's pointer is back";
        return result;
    }

    CoreRoot core_;
    AVHandle handle_ = nullptr;
    Reports reports_;
    std::string clean_, infected_, dir_;
};

TEST_F(QuickScanBdTest, PathFailuresCarryTheirCodes) {
    std::string linkToDir = dir_ + "/dirlink";
    ASSERT_EQ(symlink(dir_.c_str(), linkToDir.c_str()), 0);
    struct Row {
        std::string path;
        uint32_t opts;
        const char *text;
    } rows[] = {
        {dir_, 0x1, "Invalid file or buffer"},
        {linkToDir, 0x1, "Invalid file or buffer"},
        {linkToDir, 0x9, "Invalid file or buffer"},
        {dir_ + "/missing", 0x1, strerror(ENOENT)},
        {clean_ + "/below-a-file", 0x1, strerror(ENOTDIR)},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(scan(row.path, row.opts), -1) << row.path;
        EXPECT_STREQ(QL_GetErrorText(), row.text) << row.path;
    }
    EXPECT_TRUE(reports_.all.empty()) << "nothing reached the engine";
}

TEST_F(QuickScanBdTest, LinksAreScannedThroughTheirTargetOnlyWhenAsked) {
    std::string link = dir_ + "/link-to-eicar";
    ASSERT_EQ(symlink(infected_.c_str(), link.c_str()), 0);
    EXPECT_EQ(scan(link, 0x1), 0);
    EXPECT_TRUE(reports_.all.empty()) << "a link without QL_OPT_LINK is not scanned";
    EXPECT_EQ(scan(link, 0x9), QL_RES_INFECTED);
    ASSERT_FALSE(reports_.all.empty());
    EXPECT_EQ(reports_.all.back().infection, "EICAR-Test-File");
    EXPECT_EQ(scan(clean_, 0x1), QL_RES_CLEAN);
}

TEST_F(QuickScanBdTest, RelativePathsAreTakenFromTheCurrentDirectory) {
    char cwd[QL_PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(core_.root().path("/var").c_str()), 0);
    std::string relative = "../" + infected_.substr(core_.root().root().size() + 1);
    EXPECT_EQ(scan(relative, 0x1), QL_RES_INFECTED) << relative;
    EXPECT_EQ(scan("../../../../../../../../../../../../../../../x", 0x1), -1);
    EXPECT_STREQ(QL_GetErrorText(), "Absolute path required");
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(QuickScanBdTest, BufferRequestsReachTheEngineWithTheBufferSwitches) {
    std::string bytes = ql::test::eicar();
    BufferObject buffer{};
    buffer.app_buf = bytes.data();
    buffer.app_buf_size = static_cast<int32_t>(bytes.size());
    QuickRequest request{&buffer, 0, QL_REQ_BUFFER};
    EventCallback callback = reports_.callback();
    EXPECT_EQ(QL_QuickScan(handle_, &request, &callback), QL_RES_INFECTED);
    EXPECT_EQ(request.scanOpts, 0x8001U);
}

TEST_F(QuickScanBdTest, BadArgumentsAndAMissingEngineFailBeforeAnyScan) {
    std::string path = clean_;
    QuickRequest request{path.data(), 0, QL_REQ_PATH};
    EventCallback callback = reports_.callback();
    EXPECT_EQ(QL_QuickScan(nullptr, &request, &callback), -1);
    EXPECT_EQ(QL_QuickScan(handle_, &request, nullptr), -1);
    EXPECT_STREQ(QL_GetErrorText(), strerror(EINVAL));

    core_.root().writeFixed(ql::kVersionFile, "0\n");
    EXPECT_EQ(QL_QuickScan(handle_, &request, &callback), -1);
    EXPECT_STREQ(QL_GetErrorText(), "Unknown system type");
    core_.root().writeFixed(ql::kVersionFile, "2\n");
    EXPECT_EQ(QL_QuickScan(handle_, &request, &callback), -1)
        << "a BD handle never reaches the KAV back end";
    EXPECT_STREQ(QL_GetErrorText(), "Unknown system type");
    EXPECT_TRUE(reports_.all.empty());
    core_.root().writeFixed(ql::kVersionFile, "3\n");

    // Out of descriptors the version file cannot be opened: that is the system's failure, not
    // an engine gone missing.
    pid_t child = fork();
    if (child == 0) {
        rlimit few{32, 32};
        if (setrlimit(RLIMIT_NOFILE, &few) != 0) {
            _exit(2);
        }
        while (dup(0) >= 0) {
        }
        bool told = QL_QuickScan(handle_, &request, &callback) == -1 &&
                    std::strcmp(QL_GetErrorText(), strerror(EMFILE)) == 0;
        _exit(told ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "not \"Too many open files\"";
}

}  // namespace
