#include "api/object_scan.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/engine.h"
#include "common/iface_utils.h"
#include "tests/support/bd_fixture.h"

namespace {

struct Parsed {
    ExtraData extra{};
    ~Parsed() { std::free(extra.excludeDirs); }
};

void parse(const std::vector<const char *> &texts, uint32_t opts, int32_t act, Parsed &out) {
    ASSERT_EQ(QL_ExtraDataList(nullptr, static_cast<int>(texts.size()), texts.data(), opts, act,
                               &out.extra),
              0);
}

TEST(ObjectScanTest, ExtraDataTakesTheFirstAcceptableTextPerKeyword) {
    struct Row {
        std::vector<const char *> texts;
        uint32_t opts;
        int32_t act;
        std::string actionArg;
        std::string extList;
        uint32_t sizeLimit;
        int maxDepth;
    } rows[] = {
        {{"SIZE::10k"}, QL_OPT_SIZE, 0, "", "", 10, 0},
        {{"SIZE::5M"}, QL_OPT_SIZE, 0, "", "", 5120, 0},
        {{"SIZE::1000b"}, QL_OPT_SIZE, 0, "", "", 1, 0},
        {{"SIZE::1025B"}, QL_OPT_SIZE, 0, "", "", 2, 0},
        {{"SIZE::12"}, QL_OPT_SIZE, 0, "", "", 12, 0},
        {{"SIZE::12x"}, QL_OPT_SIZE, 0, "", "", 0, 0},
        {{"SIZE::10k"}, 0, 0, "", "", 0, 0},
        {{"SIZE::0", "SIZE::20"}, QL_OPT_SIZE, 0, "", "", 20, 0},
        {{"DPTH::64"}, QL_OPT_DEPTH, 0, "", "", 0, 64},
        {{"DPTH::65", "DPTH::300", "DPTH::3a", "DPTH::7"}, QL_OPT_DEPTH, 0, "", "", 0, 7},
        {{"QDIR::relative/dir"}, 0, QL_ACT_QUARANTINE, "", "", 0, 0},
        {{"QDIR::  /q/dir  ", "QDIR::/other"}, 0, QL_ACT_QUARANTINE, "/q/dir", "", 0, 0},
        {{"QDIR::/q"}, 0, QL_ACT_RENAME, "", "", 0, 0},
        {{"REXT::vir"}, 0, QL_ACT_RENAME, "vir", "", 0, 0},
        {{"REXT::a.b.c"}, 0, QL_ACT_RENAME, "a.b.c", "", 0, 0},
        {{"REXT::.virus", "REXT::bad"}, 0, QL_ACT_RENAME, "bad", "", 0, 0},
        {{"SEXT::exe", "XEXT::txt"}, QL_OPT_SCAN_EXT | QL_OPT_SKIP_EXT, 0, "", "", 0, 0},
        {{"SEXT::exe", "SEXT::com"}, QL_OPT_SCAN_EXT, 0, "", "exe", 0, 0},
        {{"XEXT::txt", "SEXT::exe"}, QL_OPT_SCAN_EXT | QL_OPT_SKIP_EXT, 0, "", "", 0, 0},
        {{"BOGUS::x", "sext::exe"}, QL_OPT_SCAN_EXT, 0, "", "", 0, 0},
    };
    for (const Row &row : rows) {
        Parsed parsed;
        parse(row.texts, row.opts, row.act, parsed);
        std::string label = std::string(row.texts.front()) + " ...";
        EXPECT_EQ(parsed.extra.actionArg, row.actionArg) << label;
        EXPECT_EQ(parsed.extra.extList, row.extList) << label;
        EXPECT_EQ(parsed.extra.sizeLimit, row.sizeLimit) << label;
        EXPECT_EQ(parsed.extra.maxDepth, row.maxDepth) << label;
    }
}

TEST(ObjectScanTest, ExtraDataExaminesAtMost127TextsAndCopiesExcludedDirectories) {
    std::vector<std::string> storage(200, "NOTHING::");
    storage[127] = "SIZE::5k";
    std::vector<const char *> texts;
    for (const std::string &text : storage) {
        texts.push_back(text.c_str());
    }
    Parsed parsed;
    parse(texts, QL_OPT_SIZE, 0, parsed);
    EXPECT_EQ(parsed.extra.sizeLimit, 0U) << "the 128th text is not read";

    Parsed dirs;
    parse({"XDIR::/a:/b", "XDIR::/c"}, QL_OPT_SKIP_DIRS, 0, dirs);
    ASSERT_NE(dirs.extra.excludeDirs, nullptr);
    EXPECT_STREQ(dirs.extra.excludeDirs, "/a:/b");
    EXPECT_EQ(QL_ExtraDataList(nullptr, 0, nullptr, 0, 0, nullptr), -1);
}

int acceptPrompt(const char *, char *) {
    return QL_ACT_NONE;
}

TEST(ObjectScanTest, FilterDropsOptionsWhoseValuesAreMissing) {
    struct Row {
        uint32_t in;
        int32_t act;
        bool prompt;
        const char *actionArg;
        const char *extList;
        uint32_t out;
        int32_t actOut;
    } rows[] = {
        {0xFFFF, 1, false, "", "", 0, 1},
        {0x0003, 0, false, "", "", 0x0002, 0},
        {0x0010, 0, false, "", "", 0, 0},
        {0x0018, 0, false, "", "", 0x0018, 0},
        {0x0C00, 0, false, "", "exe", 0, 0},
        {0x0400, 0, false, "", "", 0, 0},
        {0x0800, 0, false, "", "txt", 0x0800, 0},
        {0x7000, 0, false, "", "", 0, 0},
        {0x8002, 0, false, "", "", 0x0002, 0},
        {0x8001, 0, false, "", "", 0x8001, 0},
        {0, 7, false, "", "", 0, 0},
        {0, -1, false, "", "", 0, 0},
        {0, QL_ACT_QUARANTINE, false, "", "", 0, 0},
        {0, QL_ACT_QUARANTINE, false, "/q", "", 0, QL_ACT_QUARANTINE},
        {0, QL_ACT_RENAME, false, "", "", 0, 0},
        {0, QL_ACT_PROMPT, false, "", "", 0, 0},
        {0, QL_ACT_PROMPT, true, "", "", 0, QL_ACT_PROMPT},
        {0, QL_ACT_DELETE, false, "", "", 0, QL_ACT_DELETE},
    };
    for (const Row &row : rows) {
        ObjectRequest request{"/x", row.in, row.act, row.prompt ? acceptPrompt : nullptr};
        ExtraData extra{};
        ql::copyBounded(extra.actionArg, row.actionArg);
        ql::copyBounded(extra.extList, row.extList);
        EXPECT_EQ(QL_FilterOptions(nullptr, &request, &extra), 0);
        EXPECT_EQ(request.scanOpts, row.out) << std::hex << row.in << " act " << row.act;
        EXPECT_EQ(request.actOpts, row.actOut) << std::hex << row.in << " act " << row.act;
    }
    ExtraData extra{};
    EXPECT_EQ(QL_FilterOptions(nullptr, nullptr, &extra), -1);
}

TEST(ObjectScanTest, RequestsFailBeforeTheEngineOnBadArgumentsOrPaths) {
    ql::test::CoreRoot core;
    core.root().writeFixed(ql::kVersionFile, "3");
    AVHandle handle = QL_InitAVHandle(core.confPath().c_str(), nullptr, 0);
    ASSERT_NE(handle, nullptr);
    ScanReport report{};
    ObjectRequest request{nullptr, 0, 0, nullptr};
    EXPECT_EQ(QL_ScanObject(handle, &request, &report, 0, nullptr), -1);
    EXPECT_STREQ(QL_GetErrorText(), strerror(EINVAL));

    std::string missing = core.root().path("/missing");
    request.path = missing.c_str();
    EXPECT_EQ(QL_ScanObject(handle, &request, &report, 0, nullptr), -1);
    EXPECT_STREQ(QL_GetErrorText(), strerror(ENOENT));
    EXPECT_EQ(request.path, missing.c_str()) << "the caller's path pointer is back";

    std::string target = core.writeSample("eicar.com", ql::test::eicar());
    std::string link = core.root().path("/link");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    request.path = link.c_str();
    EXPECT_EQ(QL_ScanObject(handle, &request, &report, 0, nullptr), 0) << "links need 0x0008";

    core.root().writeFixed(ql::kVersionFile, "0");
    EXPECT_EQ(QL_ScanObject(handle, &request, &report, 0, nullptr), -1);
    EXPECT_STREQ(QL_GetErrorText(), "Unknown system type");
    QL_DeinitAVHandle(handle, nullptr);
}

TEST(ObjectScanTest, BdScansTreesAndQuarantinesThroughTheEngineThatMadeTheHandle) {
    ql::test::CoreRoot core;
    core.root().writeFixed(ql::kVersionFile, "3");
    AVHandle handle = QL_InitAVHandle(core.confPath().c_str(), nullptr, 0);
    ASSERT_NE(handle, nullptr);
    std::string top = core.root().path("/scan");
    std::string quarantine = core.root().path("/var/Quellar/var/quarantine/kestra");
    ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((top + "/sub").c_str(), 0755), 0);
    ql::test::writeFile(top + "/clean.txt", "clean");
    ql::test::writeFile(top + "/sub/eicar.com", ql::test::eicar());

    for (uint32_t opts : {0x0001U, 0x0009U}) {  // one object, then through a scan tree
        ql::test::writeFile(top + "/sub/eicar.com", ql::test::eicar());
        ql::test::Reports reports;
        ScanReport report{};
        report.events = reports.callback();
        ObjectRequest request{top.c_str(), opts, QL_ACT_QUARANTINE, nullptr};
        std::string qdir = "QDIR::" + quarantine;
        const char *texts[] = {qdir.c_str()};
        EXPECT_EQ(QL_ScanObject(handle, &request, &report, 1, texts) & QL_RES_INFECTED,
                  QL_RES_INFECTED)
            << opts << ": " << QL_GetErrorText();
        EXPECT_EQ(report.infectedObjects, 1U) << opts;
        EXPECT_EQ(report.quarantinedObjects, 1U) << opts;
        EXPECT_NE(access((top + "/sub/eicar.com").c_str(), F_OK), 0) << opts;
        EXPECT_EQ(request.actOpts, QL_ACT_QUARANTINE) << "the action kept its directory";
    }
    QL_DeinitAVHandle(handle, nullptr);
}

}  // namespace
