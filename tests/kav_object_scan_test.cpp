#include "kav/kav_object_scanner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "api/engine.h"
#include "common/iface_utils.h"
#include "common/scan_tree.h"
#include "kav/kav_daemon_pool.h"
#include "kav/kav_iface.h"
#include "tests/support/bd_fixture.h"
#include "tests/support/kav_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::EventLog;
using ql::test::SeenEvent;
using ql::test::TempRoot;

constexpr const char *kSignatures =
    "infected\tTest-Virus\ttext:VIRUS-BYTES\n"
    "suspicious\tOdd-Thing\ttext:ODD-BYTES\n"
    "encrypted\tLocked\ttext:LOCKED-BYTES\n"
    "corrupted\tBroken\ttext:BROKEN-BYTES\n"
    "drop\tCut\ttext:CUT-REPLY\n";

bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

class KavObjectScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("QL_ENGINE_TIMEOUT_MS", "3000", 1);
        engine.writeSignatures(kSignatures);
        ASSERT_TRUE(engine.start());
        handle = QL_InitKAVHandle(engine.confPath().c_str(), nullptr, 0);
        ASSERT_NE(handle, nullptr);
        dir = ql::test::makeTempDir("kavobj");
        QL_InitScanReport(&report);
        report.events = *log.callback();
        QL_InitExtraData(&extra);
    }
    void TearDown() override {
        QL_DeinitKAVHandle(handle, nullptr);
        engine.stop();
        ql::test::removeTree(dir);
        unsetenv("QL_ENGINE_TIMEOUT_MS");
    }

    // The prepared tree: a clean file, an infected one, a suspicious one, a tar with an infected
    // and a clean member, and a subdirectory with one more infected file.
    void prepareTree() {
        ql::test::writeFile(dir + "/clean.txt", "nothing to see");
        ql::test::writeFile(dir + "/virus.com", "xx VIRUS-BYTES xx");
        ql::test::writeFile(dir + "/odd.exe", "an ODD-BYTES thing");
        ql::test::writeFile(dir + "/pack.tar",
                            ql::test::tarOf({{"bad.bin", "VIRUS-BYTES"}, {"ok.txt", "fine"}}));
        mkdir((dir + "/sub").c_str(), 0755);
        ql::test::writeFile(dir + "/sub/deep.doc", "VIRUS-BYTES");
    }

    int scan(const std::string &path, uint32_t scanOpts = 0, int action = QL_ACT_NONE,
             QL_PromptFn prompt = nullptr) {
        ObjectRequest request{path.c_str(), scanOpts, action, prompt};
        return QL_KAVIFScanObject(handle, &request, &extra, &report);
    }

    std::vector<SeenEvent> eventsOf(const std::string &name) const {
        std::vector<SeenEvent> out;
        for (const SeenEvent &event : log.events()) {
            if (event.name == name) {
                out.push_back(event);
            }
        }
        return out;
    }

    TempRoot root;
    ql::test::QorndInstance engine{root};
    KAVHandle *handle = nullptr;
    std::string dir;
    EventLog log;
    ScanReport report{};
    ExtraData extra{};
};

TEST_F(KavObjectScanTest, DirectoryScanReportsEachFindingWithEventsResultAndCounters) {
    prepareTree();
    EXPECT_EQ(scan(dir), QL_RES_INFECTED | QL_RES_SUSPICIOUS);

    EXPECT_EQ(report.dirsScanned, 2u);
    EXPECT_EQ(report.objectsScanned, 5u);
    EXPECT_EQ(report.cleanObjects, 1u);
    EXPECT_EQ(report.infectedObjects, 3u);
    EXPECT_EQ(report.infections, 3u);
    EXPECT_EQ(report.suspiciousObjects, 1u);
    EXPECT_EQ(report.scanErrors, 0u);
    EXPECT_EQ(report.actionFailed, 0u);

    EXPECT_EQ(eventsOf(dir),
              (std::vector<SeenEvent>{{dir, QL_OBJ_DIRECTORY, QL_EV_CLEAN, "", ""}}));
    EXPECT_EQ(eventsOf(dir + "/clean.txt"),
              (std::vector<SeenEvent>{{dir + "/clean.txt", QL_OBJ_FILE, QL_EV_CLEAN, "", ""}}));
    // A plain infected file: its line's event only, no final one.
    EXPECT_EQ(eventsOf(dir + "/virus.com"),
              (std::vector<SeenEvent>{
                  {dir + "/virus.com", QL_OBJ_FILE, QL_EV_INFECTED, "Test-Virus", ""}}));
    EXPECT_EQ(eventsOf(dir + "/odd.exe"),
              (std::vector<SeenEvent>{
                  {dir + "/odd.exe", QL_OBJ_FILE, QL_EV_SUSPICIOUS, "Odd-Thing", ""}}));
    // An archive: each member's line, then one final event with the names it collected.
    EXPECT_EQ(eventsOf(dir + "/pack.tar=>bad.bin"),
              (std::vector<SeenEvent>{
                  {dir + "/pack.tar=>bad.bin", QL_OBJ_FILE, QL_EV_INFECTED, "Test-Virus", ""}}));
    EXPECT_EQ(
        eventsOf(dir + "/pack.tar=>ok.txt"),
        (std::vector<SeenEvent>{{dir + "/pack.tar=>ok.txt", QL_OBJ_FILE, QL_EV_CLEAN, "", ""}}));
    EXPECT_EQ(eventsOf(dir + "/pack.tar"),
              (std::vector<SeenEvent>{
                  {dir + "/pack.tar", QL_OBJ_ARCHIVE, QL_EV_INFECTED, "Test-Virus", ""}}));
    EXPECT_EQ(eventsOf(dir + "/sub/deep.doc").size(), 1u);
}

TEST_F(KavObjectScanTest, EncryptedCorruptedAndBrokenOffRepliesAreReportedNeverClean) {
    struct Case {
        const char *content;
        int result;
        uint32_t ScanReport::*counter;
        const char *message;
    };
    const Case cases[] = {
        {"LOCKED-BYTES", QL_RES_ENCRYPTED, &ScanReport::encryptedObjects, "Encrypted"},
        {"BROKEN-BYTES", QL_RES_CORRUPTED, &ScanReport::corruptedObjects, "Corrupt"},
        {"CUT-REPLY", QL_RES_ERROR, &ScanReport::scanErrors, nullptr},
    };
    for (const Case &c : cases) {
        QL_ResetScanCounters(&report);
        std::string file = dir + "/f.dat";
        ql::test::writeFile(file, c.content);
        EXPECT_EQ(scan(file), c.result) << c.content;
        EXPECT_EQ(report.*c.counter, 1u) << c.content;
        EXPECT_EQ(report.objectsScanned, 1u) << c.content;
        EXPECT_EQ(report.cleanObjects, 0u) << c.content;
        if (c.message != nullptr) {
            EXPECT_EQ(eventsOf(file).back(),
                      (SeenEvent{file, QL_OBJ_FILE, QL_EV_FAILED, "", c.message}))
                << c.content;
        }
    }
    // The handle goes on working after a conversation broke off.
    std::string clean = dir + "/clean.txt";
    ql::test::writeFile(clean, "fine");
    EXPECT_EQ(scan(clean), QL_RES_CLEAN);
}

TEST_F(KavObjectScanTest, InfectedFileActionsAreAppliedCountedAndReported) {
    std::string quarantine = dir + "/q";
    ASSERT_EQ(mkdir(quarantine.c_str(), 0755), 0);
    struct Case {
        int action;
        const char *argument;
        std::string after;
        uint32_t ScanReport::*counter;
        int event;
    };
    const Case cases[] = {
        {QL_ACT_DELETE, "", "", &ScanReport::deletedObjects, QL_EV_DELETED},
        {QL_ACT_RENAME, "bad", dir + "/v.com.bad", &ScanReport::renamedObjects, QL_EV_RENAMED},
        {QL_ACT_QUARANTINE, quarantine.c_str(), quarantine + "/v.com",
         &ScanReport::quarantinedObjects, QL_EV_QUARANTINED},
        {QL_ACT_RENAME, "../x", dir + "/v.com", &ScanReport::actionFailed, QL_EV_RENAME_FAILED},
        {QL_ACT_NONE, "", dir + "/v.com", nullptr, 0},
    };
    for (const Case &c : cases) {
        QL_ResetScanCounters(&report);
        std::string file = dir + "/v.com";
        ql::test::writeFile(file, "VIRUS-BYTES");
        ql::copyBounded(extra.actionArg, c.argument);
        EXPECT_EQ(scan(file, 0, c.action), QL_RES_INFECTED) << c.action;
        EXPECT_EQ(exists(file), c.after == file) << c.action;
        if (!c.after.empty()) {
            EXPECT_TRUE(exists(c.after)) << c.action;
        }
        std::vector<SeenEvent> seen = eventsOf(file);
        if (c.counter != nullptr) {
            EXPECT_EQ(report.*c.counter, 1u) << c.action;
            ASSERT_FALSE(seen.empty()) << c.action;
            EXPECT_EQ(seen.back().event, c.event) << c.action;
        } else {
            EXPECT_EQ(seen.back().event, QL_EV_INFECTED) << "no action event";
        }
        unlink(c.after.c_str());
    }
}

int promptQuarantineElsewhere(const char *, char *argument) {
    ql::copyBounded(argument, QL_PATH_MAX, "/nowhere");
    return QL_ACT_QUARANTINE;
}
int promptNonsense(const char *, char *) {
    return 7;
}

TEST_F(KavObjectScanTest, PromptChoosesTheActionAndQuarantineGoesToTheDefaultDirectory) {
    std::string file = dir + "/p.com";
    ql::test::writeFile(file, "VIRUS-BYTES");
    EXPECT_EQ(scan(file, 0, QL_ACT_PROMPT, promptQuarantineElsewhere), QL_RES_INFECTED);
    EXPECT_FALSE(exists(file));
    EXPECT_TRUE(exists(root.path("/var/Quellar/var/quarantine/kestra/p.com")));
    EXPECT_EQ(report.quarantinedObjects, 1u);

    ql::test::writeFile(file, "VIRUS-BYTES");
    EXPECT_EQ(scan(file, 0, QL_ACT_PROMPT, promptNonsense), QL_RES_INFECTED);
    EXPECT_TRUE(exists(file));
    EXPECT_EQ(report.actionFailed, 1u);
    EXPECT_EQ(eventsOf(file).back(),
              (SeenEvent{file, QL_OBJ_FILE, QL_EV_FAILED, "", "Invalid action. Rejected"}));

    // Without a prompt function the file is left.
    EXPECT_EQ(scan(file, 0, QL_ACT_PROMPT, nullptr), QL_RES_INFECTED);
    EXPECT_TRUE(exists(file));
    EXPECT_EQ(report.actionFailed, 1u);
}

TEST_F(KavObjectScanTest, StopAnswerEndsTheWalkAndTheHandleStaysUsable) {
    for (int i = 0; i < 20; ++i) {
        ql::test::writeFile(dir + "/f" + std::to_string(i), i == 5 ? "VIRUS-BYTES" : "clean");
    }
    log.answer(QL_EV_DELETED, QL_CB_STOP);
    ObjectRequest request{dir.c_str(), 0, QL_ACT_DELETE, nullptr};
    report.events = *log.callback();
    EXPECT_EQ(QL_KAVIFScanObject(handle, &request, &extra, &report), QL_RES_STOPPED);
    EXPECT_LT(report.objectsScanned, 20u);
    EXPECT_EQ(report.deletedObjects, 1u);
    ql::test::writeFile(dir + "/f5", "VIRUS-BYTES");

    log.answer(QL_EV_DELETED, 0);
    QL_ResetScanCounters(&report);
    EXPECT_EQ(scan(dir), QL_RES_INFECTED);
    EXPECT_EQ(report.objectsScanned, 20u);
}

TEST_F(KavObjectScanTest, WalkRulesLeaveOutFilesAndDirectories) {
    prepareTree();
    ASSERT_EQ(symlink((dir + "/virus.com").c_str(), (dir + "/link.com").c_str()), 0);
    ASSERT_EQ(symlink(dir.c_str(), (dir + "/sub/loop").c_str()), 0);

    EXPECT_EQ(scan(dir + "/link.com"), 0) << "link without QL_OPT_LINK";
    EXPECT_EQ(report.objectsScanned, 0u);

    extra.maxDepth = 1;
    EXPECT_EQ(scan(dir), QL_RES_INFECTED | QL_RES_SUSPICIOUS);
    EXPECT_EQ(report.dirsScanned, 1u) << "depth 1";
    EXPECT_EQ(report.objectsScanned, 4u) << "depth 1, link skipped";

    extra.maxDepth = 0;
    QL_ResetScanCounters(&report);
    EXPECT_EQ(scan(dir, QL_OPT_LINK), QL_RES_INFECTED | QL_RES_SUSPICIOUS);
    EXPECT_EQ(report.dirsScanned, 2u) << "a link back to the top is not entered again";
    EXPECT_EQ(report.objectsScanned, 6u) << "linked file scanned";

    QL_ResetScanCounters(&report);
    std::string excluded = dir + "/sub";
    extra.excludeDirs = excluded.data();
    EXPECT_EQ(scan(dir), QL_RES_INFECTED | QL_RES_SUSPICIOUS);
    EXPECT_EQ(report.dirsScanned, 1u) << "excluded subdirectory";
    EXPECT_EQ(scan(excluded), 0) << "excluded top";
    extra.excludeDirs = nullptr;

    QL_ResetScanCounters(&report);
    ql::copyBounded(extra.extList, "COM:doc");
    EXPECT_EQ(scan(dir, QL_OPT_SCAN_EXT), QL_RES_INFECTED);
    EXPECT_EQ(report.objectsScanned, 2u) << "only virus.com and deep.doc";
}

TEST(KavExcludeFileScanTest, ExtensionAndSizeRulesDecidePerFile) {
    std::string dir = ql::test::makeTempDir("kavexcl");
    ql::test::writeFile(dir + "/A.EXE", std::string(1024, 'x'));
    ql::test::writeFile(dir + "/a.txt", std::string(1025, 'x'));
    struct Case {
        const char *name;
        uint32_t opts;
        const char *list;
        uint32_t sizeKb;
        int excluded;
    };
    const Case cases[] = {
        {"A.EXE", QL_OPT_SCAN_EXT, "exe:com", 0, 0},
        {"a.txt", QL_OPT_SCAN_EXT, "exe:com", 0, 1},
        {"A.EXE", QL_OPT_SKIP_EXT, "exe:com", 0, 1},
        {"a.txt", QL_OPT_SKIP_EXT, "exe:com", 0, 0},
        {"A.EXE", 0, "", 1, 0},
        {"a.txt", 0, "", 1, 1},
        {"a.txt", 0, "", 0, 0},
    };
    for (const Case &c : cases) {
        std::string path = dir + "/" + c.name;
        EXPECT_EQ(QL_KAVExcludeFileScan(path.c_str(), c.opts, c.list, c.sizeKb), c.excluded)
            << c.name << " " << c.opts << " " << c.sizeKb;
    }
    ql::test::removeTree(dir);
}

TEST(KavExcludeFileScanTest, ExtensionsComeFromTheLastPathComponent) {
    struct Case {
        const char *path;
        const char *extension;  // nullptr: none
    };
    const Case cases[] = {
        {"/d/file.tar.gz", "gz"},   {"/d.x/file", nullptr}, {"/d/file.", nullptr},
        {"/d/.profile", "profile"}, {nullptr, nullptr},
    };
    for (const Case &c : cases) {
        const char *got = QL_KAVgetFileExtension(c.path);
        EXPECT_EQ(got == nullptr ? std::string("(none)") : std::string(got),
                  c.extension == nullptr ? std::string("(none)") : std::string(c.extension))
            << (c.path != nullptr ? c.path : "NULL");
    }
    EXPECT_EQ(QL_KAVisInExtensionList("/d.com/file", "com"), 0);
    EXPECT_EQ(QL_KAVisInExtensionList("/d/file.html", "html"), 0);
    EXPECT_EQ(QL_KAVisInExtensionList("/d/file.Com", "exe::com"), 1);
    EXPECT_EQ(QL_KAVisInExtensionList("/d/file.com", nullptr), 0);
}

TEST_F(KavObjectScanTest, TreeWalkScansEveryDirectoryOnceOnOneConnection) {
    prepareTree();
    ASSERT_EQ(mkdir((dir + "/sub/inner").c_str(), 0755), 0);
    ql::test::writeFile(dir + "/sub/inner/x.bin", "ODD-BYTES");
    ScanTreeNode *tree = nullptr;
    ASSERT_EQ(QL_CreateScanTree(&tree, dir.c_str(), nullptr, 0, 1, 0), 3);
    ObjectRequest request{reinterpret_cast<const char *>(&tree), QL_OPT_NO_RECURSE | QL_OPT_LINK,
                          QL_ACT_NONE, nullptr};
    EXPECT_EQ(QL_KAVIFScanTree(handle, &request, &extra, &report),
              QL_RES_INFECTED | QL_RES_SUSPICIOUS);
    EXPECT_EQ(report.dirsScanned, 3u);
    EXPECT_EQ(report.objectsScanned, 6u);
    EXPECT_EQ(report.suspiciousObjects, 2u);
    EXPECT_EQ(handle->pool->openCount(), 1u) << "no connection opened beside the first";
    EXPECT_EQ(QL_ClearScanTree(&tree), 3);
}

TEST_F(KavObjectScanTest, EngineNeutralObjectScanReachesTheKavWalks) {
    std::string quarantine = ql::test::makeTempDir("kavobjq");
    root.writeFixed(ql::kVersionFile, "2\n");
    AVHandle av = QL_InitAVHandle(engine.confPath().c_str(), nullptr, 0);
    ASSERT_NE(av, nullptr);
    std::string qdir = "QDIR::" + quarantine;
    const char *texts[] = {qdir.c_str()};
    struct Case {
        uint32_t scanOpts;  // with QL_OPT_LINK the walk goes through a scan tree
        const char *what;
    };
    for (Case c : {Case{0, "object"}, Case{QL_OPT_LINK, "tree"}}) {
        prepareTree();
        QL_ResetScanCounters(&report);
        ObjectRequest request{dir.c_str(), c.scanOpts, QL_ACT_QUARANTINE, nullptr};
        EXPECT_EQ(QL_ScanObject(av, &request, &report, 1, texts),
                  QL_RES_INFECTED | QL_RES_SUSPICIOUS)
            << c.what;
        EXPECT_EQ(report.dirsScanned, 2u) << c.what;
        EXPECT_EQ(report.quarantinedObjects, 4u) << c.what;
        EXPECT_FALSE(exists(dir + "/sub/deep.doc")) << c.what;
        EXPECT_TRUE(exists(quarantine + "/deep.doc")) << c.what;
        ql::test::removeTree(quarantine);
        ASSERT_EQ(mkdir(quarantine.c_str(), 0755), 0);
    }
    QL_DeinitAVHandle(av, nullptr);
    ql::test::removeTree(quarantine);
}

TEST_F(KavObjectScanTest, RefusalsSetTheirErrors) {
    ObjectRequest relative{"rel/path", 0, QL_ACT_NONE, nullptr};
    EXPECT_EQ(QL_KAVIFScanObject(handle, &relative, &extra, &report), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(QL_KAVIFScanObject(nullptr, &relative, &extra, &report), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    ObjectRequest missing{"/no/such/thing", 0, QL_ACT_NONE, nullptr};
    EXPECT_EQ(QL_KAVIFScanObject(handle, &missing, &extra, &report), -1);
    EXPECT_EQ(ql::lastErrorCode(), ENOENT);
    ObjectRequest noTree{nullptr, 0, QL_ACT_NONE, nullptr};
    EXPECT_EQ(QL_KAVIFScanTree(handle, &noTree, &extra, &report), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);

    engine.stop();
    ObjectRequest top{dir.c_str(), 0, QL_ACT_NONE, nullptr};
    EXPECT_EQ(QL_KAVIFScanObject(handle, &top, &extra, &report), -1);
    EXPECT_EQ(ql::lastErrorCode(), QLE_AV_CONNECT);
}

}  // namespace
