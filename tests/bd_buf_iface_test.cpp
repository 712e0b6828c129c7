#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bd/bd_buf_iface.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "tests/support/bd_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::CoreRoot;
using ql::test::Report;
using ql::test::Reports;

constexpr int kNone = -1;  // no report expected

TEST(BdBufIfaceTest, ScanCallbackFollowsItsTable) {
    struct Row {
        const char *label;
        uint32_t event, status;
        uint8_t flags;
        int answer;
        uint32_t resultBefore;
        int32_t reported;
        int toCore;
        uint32_t resultAfter;
    } rows[] = {
        {"infected", 0x40, 0x20, 0, 0, 0, QL_EV_INFECTED, 0, QL_RES_INFECTED},
        {"suspicious", 0x40, 0x40, 0, 0, 0, QL_EV_SUSPICIOUS, 0, QL_RES_SUSPICIOUS},
        {"finding marked clean", 0x40, 0x21, 0, 0, 0, QL_EV_CLEAN, 0, QL_RES_INFECTED},
        {"finding without event bit", 0x1, 0x20, 0, 0, 0, kNone, 0, 0},
        {"finding stopped", 0x40, 0x20, 0, QL_CB_STOP, 4, QL_EV_INFECTED, 8, 4 | QL_RES_STOPPED},
        {"finding left to the core", 0x40, 0x20, 0x2, 0, 0, QL_EV_INFECTED, 10, 0},
        {"disinfected", 0x1, 0x80, 0, 0, 2, QL_EV_DISINFECTED, 0, 2 | QL_RES_DISINFECTED},
        {"disinfected stopped", 0x1, 0x80, 0, QL_CB_STOP, 6, QL_EV_DISINFECTED, 8, QL_RES_STOPPED},
        {"disinfect failed", 0x1, 0x80000120, 0, 0, 0, QL_EV_DISINFECT_FAILED, 0, QL_RES_INFECTED},
        {"disinfect failed, suspicious", 0x1, 0x80000140, 0, 0, 0, QL_EV_DISINFECT_FAILED, 0,
         QL_RES_SUSPICIOUS},
        {"disinfect failed stopped", 0x1, 0x80000120, 0, QL_CB_STOP, 2, QL_EV_DISINFECT_FAILED, 8,
         QL_RES_STOPPED},
        {"0x100 alone", 0x1, 0x100, 0, 0, 0, kNone, 0, 0},
        {"clean", 0x1, 0x1, 0, 0, 0, QL_EV_CLEAN, 0, 0},
        {"clean stopped", 0x1, 0x1, 0, QL_CB_STOP, 2, QL_EV_CLEAN, 8, 2 | QL_RES_STOPPED},
        {"nothing", 0x1, 0x0, 0, 0, 0, kNone, 0, 0},
    };
    for (const Row &row : rows) {
        Reports reports;
        reports.answer = row.answer;
        BufferScanData data{"obj",     reports.callback().onEvent, &reports,
                            row.flags, row.resultBefore,           QL_OBJ_BUFFER};
        CoreEventInfo info{};
        info.objectName = "inner/member";
        info.status = row.status;
        info.infectionName = "Name";
        info.context = &data;
        EXPECT_EQ(QL_BD_BufferScanCallBack(row.event, &info), row.toCore) << row.label;
        EXPECT_EQ(data.result, row.resultAfter) << row.label;
        std::vector<Report> expected;
        if (row.reported != kNone) {
            // Only the plain clean row passes no infection name.
            bool named = (row.status & 0x60) != 0 || row.reported != QL_EV_CLEAN;
            expected.push_back({"obj", QL_OBJ_BUFFER, row.reported, named ? "Name" : ""});
        }
        EXPECT_EQ(reports.all, expected) << row.label;
    }
    CoreEventInfo noContext{};
    EXPECT_EQ(QL_BD_BufferScanCallBack(0x40, nullptr), 0);
    EXPECT_EQ(QL_BD_BufferScanCallBack(0x40, &noContext), 0);
}

// A memory CoreIOObject over a block the test owns.
struct MemoryObject {
    explicit MemoryObject(const std::string &content) : length(content.size()) {
        accum = std::malloc(content.size());
        std::memcpy(accum, content.data(), content.size());
        object.context1 = reinterpret_cast<intptr_t>(&accum);
        object.context2 = reinterpret_cast<intptr_t>(&length);
    }
    ~MemoryObject() { std::free(accum); }
    std::string content() const { return std::string(static_cast<char *>(accum), length); }

    void *accum;
    uint32_t length;
    CoreIOObject object{};
};

TEST(BdBufIfaceTest, MemoryReadsStopAtTheBlockEnd) {
    MemoryObject memory("0123456789");
    struct Row {
        int32_t offset, length;
        std::string got;
    } rows[] = {
        {0, 4, "0123"}, {6, 10, "6789"},    {9, 1, "9"}, {10, 5, ""},
        {-1, 4, ""},    {INT32_MIN, 4, ""}, {2, -3, ""}, {INT32_MAX, 1, ""},
    };
    for (const Row &row : rows) {
        char buffer[16] = {};
        int32_t done = 77;
        EXPECT_EQ(QL_BD_memRead(buffer, row.offset, row.length, &done, &memory.object), 0)
            << row.offset << "," << row.length;
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(done)), row.got)
            << row.offset << "," << row.length;
    }
    uint32_t size = 0;
    EXPECT_EQ(QL_BD_memGetSize(&size, &memory.object), 0);
    EXPECT_EQ(size, 10u);
}

TEST(BdBufIfaceTest, MemoryWritesAndResizesGrowTheBlockAndNeverLeaveIt) {
    MemoryObject memory("abcdef");
    int32_t done = 0;
    EXPECT_EQ(QL_BD_memWrite("XY", 2, 2, &done, &memory.object), 0);
    EXPECT_EQ(done, 2);
    EXPECT_EQ(memory.content(), "abXYef");
    EXPECT_EQ(QL_BD_memWrite("Z", 8, 1, &done, &memory.object), 0);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(memory.content(), std::string("abXYef\0\0Z", 9));
    for (auto [offset, length] : {std::pair{-4, 2}, {INT32_MAX, 1}, {INT32_MAX - 1, 5}, {1, -1}}) {
        done = 55;
        EXPECT_EQ(QL_BD_memWrite("QQQQQ", offset, length, &done, &memory.object), 0) << offset;
        EXPECT_EQ(done, 0) << offset;
    }
    EXPECT_EQ(memory.length, 9u);

    memory.length = 6;  // back to "abcdef"; setting size 0 is ignored
    EXPECT_EQ(QL_BD_memSetSize(0, &memory.object), 0);
    EXPECT_EQ(memory.content(), "abXYef");
    EXPECT_EQ(QL_BD_memSetSize(3, &memory.object), 0);
    EXPECT_EQ(memory.content(), "abX");
    EXPECT_EQ(QL_BD_memSetSize(5, &memory.object), 0);
    EXPECT_EQ(memory.content(), std::string("abX\0\0", 5));
}

class BdBufIfaceScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handle = QL_InitBDHandle(core.confPath().c_str(), nullptr);
        ASSERT_NE(handle, nullptr) << QL_GetErrorText();
        instance.handle = handle;
        ASSERT_EQ(QL_BDCreateInstance(&instance, 0x1, QL_ACT_NONE, nullptr), 0);
    }
    void TearDown() override {
        QL_BDDestroyInstance(&instance);
        QL_DeinitBDHandle(handle, nullptr);
    }

    int scan(QuickRequest &request, Reports &reports) {
        EventCallback callback = reports.callback();
        return QL_BDBufferScan(&instance, &request, &callback);
    }

    CoreRoot core;
    BDHandle *handle = nullptr;
    BDInstance instance{};
};

TEST_F(BdBufIfaceScanTest, ChunkedBufferIsScannedWholeOnEveryChunkAndFreedAfterTheLast) {
    std::string eicar = ql::test::eicar();
    std::string first = std::string(80, '.') + eicar.substr(0, 20);
    std::string second = eicar.substr(20) + std::string(50 - (eicar.size() - 20), '.');
    ASSERT_EQ(first.size(), 100u);
    ASSERT_EQ(second.size(), 50u);

    BufferObject buffer{first.data(), 100, 7, nullptr, 0, 1};
    QuickRequest request{&buffer, 0x1, QL_REQ_BUFFER};
    Reports reports;
    EXPECT_EQ(scan(request, reports), QL_RES_CLEAN);
    EXPECT_EQ(buffer.accumLen, 100u);
    ASSERT_NE(buffer.accum, nullptr);

    buffer.app_buf = second.data();
    buffer.app_buf_size = 50;
    buffer.more = 0;
    EXPECT_EQ(scan(request, reports), QL_RES_INFECTED);
    EXPECT_EQ(buffer.accum, nullptr);
    EXPECT_EQ(buffer.accumLen, 0u);
    EXPECT_EQ(reports.all,
              (std::vector<Report>{{"Unknown", QL_OBJ_BUFFER, QL_EV_CLEAN, ""},
                                   {"Unknown", QL_OBJ_BUFFER, QL_EV_INFECTED, "EICAR-Test-File"}}));

    char nothing = 0;
    BufferObject empty{&nothing, 0, 1, nullptr, 0, 0};
    QuickRequest emptyRequest{&empty, 0x1, QL_REQ_BUFFER};
    EXPECT_EQ(scan(emptyRequest, reports), QL_RES_CLEAN) << "an empty buffer";
    EXPECT_EQ(empty.accum, nullptr);
}

TEST_F(BdBufIfaceScanTest, DescriptorIsScannedUpToItsSize) {
    std::string path = core.writeSample("tail.bin", std::string(100, '.') + ql::test::eicar());
    ql::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    char name[] = "tail.bin";
    struct Row {
        uint32_t size;
        int result;
        int32_t event;
    } rows[] = {{168, QL_RES_INFECTED, QL_EV_INFECTED}, {100, QL_RES_CLEAN, QL_EV_CLEAN}};
    for (const Row &row : rows) {
        DescriptorObject descriptor{name, fd.get(), row.size};
        QuickRequest request{&descriptor, 0x1, QL_REQ_DESCRIPTOR};
        Reports reports;
        EXPECT_EQ(scan(request, reports), row.result) << row.size;
        ASSERT_EQ(reports.all.size(), 1u) << row.size;
        EXPECT_EQ(reports.all[0].object, "tail.bin");
        EXPECT_EQ(reports.all[0].kind, QL_OBJ_DESCRIPTOR);
        EXPECT_EQ(reports.all[0].event, row.event) << row.size;
    }
}

TEST_F(BdBufIfaceScanTest, DescriptorCallbacksCutReadsAtTheSizeAndNeverResizeTheFile) {
    std::string path = core.writeSample("data.bin", "0123456789");
    ql::UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(fd);
    CoreIOObject object{"data.bin", fd.get(), 10, {}};
    char buffer[16] = {};
    int32_t done = 0;
    EXPECT_EQ(QL_BD_fdSetSize(4, &object), 0);
    EXPECT_EQ(QL_BD_fdRead(buffer, 2, 8, &done, &object), 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(done)), "23");
    EXPECT_EQ(QL_BD_fdRead(buffer, 5, 1, &done, &object), 0);
    EXPECT_EQ(done, 0);
    EXPECT_EQ(QL_BD_fdRead(buffer, -2, 1, &done, &object), -1);
    EXPECT_EQ(QL_BD_fdRead(buffer, 0, -1, &done, &object), 0);
    EXPECT_EQ(done, 0);
    EXPECT_EQ(QL_BD_fdWrite("AB", 8, 2, &done, &object), 0);
    EXPECT_EQ(done, 2);
    uint32_t size = 0;
    EXPECT_EQ(QL_BD_fdGetSize(&size, &object), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(ql::test::readFile(path), "01234567AB");
    EXPECT_EQ(QL_BD_fdOpen(&object), 0);
    EXPECT_EQ(QL_BD_fdClose(&object), 0);
}

TEST_F(BdBufIfaceScanTest, InvalidObjectsFailWithEinvalAndUnknownTypeWithEnosys) {
    char byte = 0;
    Reports reports;
    EventCallback callback = reports.callback();
    BufferObject noBuffer{nullptr, 1, 0, nullptr, 0, 0};
    BufferObject negative{&byte, -1, 0, nullptr, 0, 0};
    DescriptorObject noFd{nullptr, -1, 0};
    EXPECT_EQ(QL_BDMemoryScanner(&instance, &noBuffer, 1, &callback), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(QL_BDMemoryScanner(&instance, &negative, 1, &callback), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(negative.accum, nullptr);
    EXPECT_EQ(QL_BDFileDescScanner(&instance, &noFd, 1, &callback), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    DescriptorObject pastTheOffsets{nullptr, 0, 0x80000000u};
    EXPECT_EQ(QL_BDFileDescScanner(&instance, &pastTheOffsets, 1, &callback), -1);
    EXPECT_EQ(ql::lastErrorCode(), EFBIG);
    EXPECT_EQ(QL_BDQuickScanner(&instance, "relative/path", 1, &callback), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    int32_t slot = 0;
    EXPECT_EQ(QL_BDProcessScanner(&instance, nullptr, "/bin/true", QL_OBJ_PROCESS, nullptr, nullptr,
                                  nullptr),
              -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);

    QuickRequest request{&byte, 0x1, 5};
    EXPECT_EQ(QL_BDBufferScan(&instance, &request, &callback), -1);
    EXPECT_EQ(ql::lastErrorCode(), ENOSYS);
    EXPECT_EQ(slot, 0);
    EXPECT_TRUE(reports.all.empty());
}

TEST_F(BdBufIfaceScanTest, ProcessScannerReportsUnderTheDisplayNameAndKind) {
    std::string path = core.writeSample("image", ql::test::eicar());
    int32_t slot = -5;
    Reports reports;
    EXPECT_EQ(QL_BDProcessScanner(&instance, "(42)FD:3", path.c_str(), QL_OBJ_PROCESS_FILE, &slot,
                                  reports.callback().onEvent, &reports),
              QL_RES_INFECTED);
    EXPECT_EQ(slot, -5);
    EXPECT_EQ(reports.all, (std::vector<Report>{{"(42)FD:3", QL_OBJ_PROCESS_FILE, QL_EV_INFECTED,
                                                 "EICAR-Test-File"}}));
}

TEST_F(BdBufIfaceScanTest, RefusedIoTableKeepsTheChunkAndFailsWithEagain) {
    CoreRoot::failCore("set:60");
    char chunk[] = "abc";
    BufferObject buffer{chunk, 3, 0, nullptr, 0, 0};
    Reports reports;
    EventCallback callback = reports.callback();
    EXPECT_EQ(QL_BDMemoryScanner(&instance, &buffer, 1, &callback), -1);
    EXPECT_EQ(ql::lastErrorCode(), EAGAIN);
    EXPECT_EQ(buffer.accumLen, 3u);
    std::free(buffer.accum);
}

}  // namespace
