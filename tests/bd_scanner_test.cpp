#include "bd/bd_scanner.h"
#include "bd/bd_tree_scanner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bd/bd_iface.h"
#include "common/iface_utils.h"
#include "common/scan_tree.h"
#include "tests/support/bd_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::CoreRoot;
using ql::test::Report;
using ql::test::Reports;

// ---- The callback against a scripted core: events made by hand, no library loaded. ----

std::vector<std::string> *capturedLog = nullptr;

void captureLog(int /*level*/, const char *format, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    if (capturedLog != nullptr) {
        capturedLog->push_back(line);
    }
}

class ScriptedCore {
  public:
    ScriptedCore() {
        logger.level = 4;
        logger.callback = captureLog;
        capturedLog = &log;
        counters.events = reports.callback();
        context.onEvent = counters.events.onEvent;
        context.userData = counters.events.userData;
        context.report = &counters;
        context.logger = &logger;
    }
    ~ScriptedCore() {
        QL_BDClearPending(&context.pending);
        capturedLog = nullptr;
    }

    int send(const char *name, uint32_t flags, uint32_t status, uint32_t event = 1,
             int32_t type = CORE_OBJECT_FILE, const char *infection = nullptr) {
        CoreEventInfo info{};
        info.objectName = name;
        info.objectType = type;
        info.objectFlags = flags;
        info.status = status;
        info.infectionName = infection;
        info.context = &context;
        return ScanCallback(event, &info);
    }
    int finding(const char *name, uint32_t flags = 0, uint32_t status = CORE_STATUS_INFECTED) {
        return send(name, flags, status, CORE_EVENT_FINDING, CORE_OBJECT_FILE, "EICAR-Test");
    }
    bool logged(const std::string &line) const {
        return std::find(log.begin(), log.end(), line) != log.end();
    }

    Reports reports;
    ScanReport counters{};
    QLLogger logger{};
    std::vector<std::string> log;
    BDScanContext context{};
};

TEST(BdScannerTest, CallbackMapsEachFlagAndStatusToOneReport) {
    struct Row {
        uint32_t flags, status, event;
        int32_t type;
        int32_t kind, reported;  // reported 0: no report
        int result;
    };
    const Row rows[] = {
        {0, 0, 1, CORE_OBJECT_DIRECTORY, QL_OBJ_DIRECTORY, QL_EV_CLEAN, 0},
        {CORE_FLAG_DIRECTORY, 0, 1, CORE_OBJECT_FILE, QL_OBJ_DIRECTORY, QL_EV_CLEAN, 0},
        {CORE_FLAG_SKIPPED, CORE_STATUS_INFECTED, 0x40, 1, 0, 0, 0},
        {0, CORE_STATUS_IGNORED | CORE_STATUS_INFECTED, 0x40, 1, 0, 0, 0},
        {0, CORE_STATUS_NOT_SCANNED | CORE_STATUS_FAILED, 1, 1, QL_OBJ_FILE, QL_EV_FAILED,
         QL_RES_ERROR},
        {CORE_FLAG_ENCRYPTED, 0, 1, 1, QL_OBJ_FILE, QL_EV_ENCRYPTED, QL_RES_ENCRYPTED},
        {CORE_FLAG_ENCRYPTED_ALT, 0, 1, 1, QL_OBJ_FILE, QL_EV_ENCRYPTED, QL_RES_ENCRYPTED},
        {CORE_FLAG_CORRUPTED, 0, 1, 1, QL_OBJ_FILE, QL_EV_CORRUPTED, QL_RES_CORRUPTED},
        {0, CORE_STATUS_CLEAN, 1, 1, QL_OBJ_FILE, QL_EV_CLEAN, 0},
        {0, CORE_STATUS_INFECTED, 0x40, 1, QL_OBJ_FILE, QL_EV_INFECTED, QL_RES_INFECTED},
        {0, CORE_STATUS_SUSPICIOUS, 0x41, 1, QL_OBJ_FILE, QL_EV_SUSPICIOUS, QL_RES_SUSPICIOUS},
        {0, CORE_STATUS_INFECTED, 1, 1, 0, 0, 0},  // no finding bit: nothing
        {0, CORE_STATUS_DISINFECTED, 1, 1, QL_OBJ_FILE, QL_EV_DISINFECTED, QL_RES_DISINFECTED},
        {0, CORE_STATUS_INFECTED | CORE_STATUS_DISINFECT_FAILED | CORE_STATUS_FAILED, 0x40, 1,
         QL_OBJ_FILE, QL_EV_DISINFECT_FAILED, QL_RES_INFECTED},
        {0, CORE_STATUS_SUSPICIOUS | CORE_STATUS_FAILED, 1, 1, QL_OBJ_FILE, QL_EV_DISINFECT_FAILED,
         QL_RES_SUSPICIOUS},
    };
    for (const Row &row : rows) {
        ScriptedCore core;
        std::string tag = "flags " + std::to_string(row.flags) + " status " +
                          std::to_string(row.status) + " event " + std::to_string(row.event);
        EXPECT_EQ(core.send("/x", row.flags, row.status, row.event, row.type, "V"), 0) << tag;
        EXPECT_EQ(static_cast<int>(core.context.result), row.result) << tag;
        if (row.kind == QL_OBJ_DIRECTORY) {
            EXPECT_EQ(core.counters.cleanObjects + core.counters.dirsScanned, 0u) << tag;
            EXPECT_EQ(core.context.pending.name, nullptr) << tag;
        }
        if (row.reported == 0) {
            EXPECT_TRUE(core.reports.all.empty()) << tag;
            continue;
        }
        ASSERT_EQ(core.reports.all.size(), 1u) << tag;
        EXPECT_EQ(core.reports.all[0].kind, row.kind) << tag;
        EXPECT_EQ(core.reports.all[0].event, row.reported) << tag;
    }
}

TEST(BdScannerTest, InfectedArchiveMemberIsReportedAtOnceAndTheArchiveWhenSettled) {
    ScriptedCore core;
    core.context.action = QL_ACT_NONE;
    core.send("/a.tar", 0, 0);
    EXPECT_EQ(core.finding("/a.tar/m.com", CORE_FLAG_INNER), 0);
    EXPECT_EQ(QL_BDReportPending(&core.context), QL_RES_INFECTED);
    std::vector<Report> expected = {
        {"/a.tar/m.com", QL_OBJ_FILE, QL_EV_INFECTED, "EICAR-Test"},
        {"/a.tar", QL_OBJ_ARCHIVE, QL_EV_INFECTED, "EICAR-Test"},
        {"/a.tar", QL_OBJ_ARCHIVE, QL_EV_NO_ACTION, "EICAR-Test"},
    };
    EXPECT_EQ(core.reports.all, expected);
    EXPECT_TRUE(core.logged("Object (/a.tar) Infected by EICAR-Test\n"));
}

TEST(BdScannerTest, CleanArchiveIsCountedCleanWhenSettled) {
    ScriptedCore core;
    core.send("/a.tar", 0, 0);
    core.send("/a.tar/m.txt", CORE_FLAG_INNER, CORE_STATUS_CLEAN);
    EXPECT_EQ(core.counters.cleanObjects, 1u);
    // The next top-level object settles the archive.
    core.send("/b.txt", 0, CORE_STATUS_CLEAN);
    EXPECT_TRUE(core.logged("Object (/a.tar) Clean\n"));
    EXPECT_EQ(core.counters.cleanObjects, 3u);
}

TEST(BdScannerTest, TwoEncryptedMembersCountOnce) {
    ScriptedCore core;
    core.send("/a.zip", 0, 0);
    core.send("/a.zip/1", CORE_FLAG_INNER | CORE_FLAG_ENCRYPTED, 0);
    core.send("/a.zip/2", CORE_FLAG_INNER | CORE_FLAG_ENCRYPTED, 0);
    EXPECT_EQ(core.counters.encryptedObjects, 1u);
    EXPECT_EQ(QL_BDReportPending(&core.context), QL_RES_ENCRYPTED);
    ASSERT_FALSE(core.reports.all.empty());
    EXPECT_EQ(core.reports.all.back(), (Report{"/a.zip", QL_OBJ_ARCHIVE, QL_EV_ENCRYPTED, ""}));
}

TEST(BdScannerTest, FindingLeftToTheCoreIsAnsweredTenAndNeverActedOnLater) {
    ScriptedCore core;
    core.context.letCoreAct = 2;
    core.context.action = QL_ACT_DELETE;
    core.send("/v.com", 0, 0);
    EXPECT_EQ(core.finding("/v.com"), CORE_ANSWER_ACT);
    EXPECT_EQ(core.context.result, 0u);
    EXPECT_EQ(core.context.pending.state, 1);
    // A clean file after it starts from an empty verdict: nothing is deleted under its name.
    core.send("/clean.txt", 0, CORE_STATUS_CLEAN);
    EXPECT_EQ(QL_BDReportPending(&core.context), QL_RES_INFECTED);
    EXPECT_EQ(core.counters.actionFailed + core.counters.deletedObjects, 0u);
}

TEST(BdScannerTest, StopAnswersEndTheScanWithStoppedAlone) {
    ScriptedCore core;
    core.reports.answer = QL_CB_STOP;
    EXPECT_EQ(core.finding("/v.com"), CORE_ANSWER_STOP);
    EXPECT_EQ(core.context.result, static_cast<uint32_t>(QL_RES_STOPPED));
    ScriptedCore dirs;
    dirs.reports.answer = QL_CB_STOP;
    EXPECT_EQ(dirs.send("/d", 0, 0, 1, CORE_OBJECT_DIRECTORY), CORE_ANSWER_STOP);
}

int promptStop(const char * /*path*/, char * /*argument*/) {
    return 5;
}

TEST(BdScannerTest, PromptAnsweringFiveStopsBeforeAnyAction) {
    CoreRoot root;
    std::string file = root.writeSample("v.com", "x");
    ScriptedCore core;
    core.context.prompt = promptStop;
    core.context.action = QL_ACT_PROMPT;
    core.send(file.c_str(), 0, 0);
    core.finding(file.c_str());
    EXPECT_EQ(QL_BDReportPending(&core.context), QL_RES_STOPPED);
    EXPECT_EQ(access(file.c_str(), F_OK), 0);
}

// ---- With the stand-in core: a prepared tree of every kind of finding. ----

constexpr const char *kEicarName = "EICAR-Test-File";

class BdScannerCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core.writeSignatures(
            "suspicious\tTest-Suspect\ttext:SUSPECT-BYTES\n"
            "encrypted\tTest-Locked\ttext:LOCKED-BYTES\n"
            "corrupted\tTest-Broken\ttext:BROKEN-BYTES\n");
        handle = QL_InitBDHandle(core.confPath().c_str(), nullptr);
        ASSERT_NE(handle, nullptr) << QL_GetErrorText();
        top = prepareTree("tree");
        quarantine = core.root().path("/var/Quellar/var/quarantine/kestra");
    }
    void TearDown() override { QL_DeinitBDHandle(handle, nullptr); }

    // dir/virus.com, dir/clean.txt, dir/archive.tar (one clean, one infected member), and
    // dir/sub/{suspect.bin, locked.bin, broken.bin}.
    std::string prepareTree(const std::string &dir) {
        std::string path = core.root().root() + "/" + dir;
        mkdir(path.c_str(), 0700);
        mkdir((path + "/sub").c_str(), 0700);
        core.writeSample(dir + "/virus.com", ql::test::eicar());
        core.writeSample(dir + "/clean.txt", "nothing here");
        core.writeSample(dir + "/archive.tar", ql::test::tarOf({{"readme.txt", "plain"},
                                                                {"inner.com", ql::test::eicar()}}));
        core.writeSample(dir + "/sub/suspect.bin", "xx SUSPECT-BYTES xx");
        core.writeSample(dir + "/sub/locked.bin", "LOCKED-BYTES");
        core.writeSample(dir + "/sub/broken.bin", "BROKEN-BYTES");
        return path;
    }

    int scanObject(const std::string &path, int32_t action, const char *argument = "",
                   uint32_t opts = 1, QL_PromptFn prompt = nullptr) {
        ObjectRequest request{path.c_str(), opts, action, prompt};
        ExtraData extra{};
        ql::copyBounded(extra.actionArg, argument);
        report.events = reports.callback();
        return QL_BDIFScanObject(handle, &request, &report, &extra);
    }

    int scanTree(const std::string &path, int32_t action, EventCallback events) {
        ScanTreeNode *root = nullptr;
        EXPECT_GT(QL_CreateScanTree(&root, path.c_str(), nullptr, 0, 0, 0), 0);
        ObjectRequest request{reinterpret_cast<const char *>(&root), 1, action, nullptr};
        ExtraData extra{};
        report.events = events;
        int result = QL_BDIFScanTree(handle, &request, &report, &extra);
        QL_ClearScanTree(&root);
        return result;
    }

    // The findings and actions reported, without directories and clean objects, sorted.
    static std::vector<Report> findings(const std::vector<Report> &all) {
        std::vector<Report> kept;
        for (const Report &one : all) {
            if (one.event != QL_EV_CLEAN) {
                kept.push_back(one);
            }
        }
        std::sort(kept.begin(), kept.end(), [](const Report &a, const Report &b) {
            return std::tie(a.object, a.kind, a.event) < std::tie(b.object, b.kind, b.event);
        });
        return kept;
    }

    CoreRoot core;
    BDHandle *handle = nullptr;
    std::string top;
    std::string quarantine;
    Reports reports;
    ScanReport report{};
};

constexpr int kEveryKind =
    QL_RES_INFECTED | QL_RES_SUSPICIOUS | QL_RES_ENCRYPTED | QL_RES_CORRUPTED;

TEST_F(BdScannerCoreTest, ObjectAndTreeScansOfATreeReportEveryKindOfFinding) {
    EXPECT_EQ(scanObject(top, QL_ACT_NONE), kEveryKind);
    std::string name = kEicarName;
    std::vector<Report> expected = {
        {top + "/archive.tar", QL_OBJ_ARCHIVE, QL_EV_INFECTED, name},
        {top + "/archive.tar", QL_OBJ_ARCHIVE, QL_EV_NO_ACTION, name},
        {top + "/archive.tar/inner.com", QL_OBJ_FILE, QL_EV_INFECTED, name},
        {top + "/sub/broken.bin", QL_OBJ_FILE, QL_EV_CORRUPTED, ""},
        {top + "/sub/locked.bin", QL_OBJ_FILE, QL_EV_ENCRYPTED, ""},
        {top + "/sub/suspect.bin", QL_OBJ_FILE, QL_EV_SUSPICIOUS, "Test-Suspect"},
        {top + "/sub/suspect.bin", QL_OBJ_FILE, QL_EV_NO_ACTION, "Test-Suspect"},
        {top + "/virus.com", QL_OBJ_FILE, QL_EV_INFECTED, name},
        {top + "/virus.com", QL_OBJ_FILE, QL_EV_NO_ACTION, name},
    };
    EXPECT_EQ(findings(reports.all), expected);
    EXPECT_EQ(report.dirsScanned, 2u);
    EXPECT_EQ(report.infectedObjects, 2u);
    EXPECT_EQ(report.suspiciousObjects, 1u);
    EXPECT_EQ(report.encryptedObjects, 1u);
    EXPECT_EQ(report.corruptedObjects, 1u);

    Reports treeReports;
    report = ScanReport{};
    EXPECT_EQ(scanTree(top, QL_ACT_NONE, treeReports.callback()), kEveryKind);
    EXPECT_EQ(findings(treeReports.all), expected);
    EXPECT_EQ(report.dirsScanned, 2u);
}

TEST_F(BdScannerCoreTest, EachActionIsAppliedAndReportedWithTheArchiveKind) {
    struct Case {
        int32_t action;
        std::string argument;
        int32_t outcome;
        std::string virusAfter, archiveAfter;
    };
    const Case cases[] = {
        {QL_ACT_DELETE, "", QL_EV_DELETED, "", ""},
        {QL_ACT_RENAME, "bad", QL_EV_RENAMED, "/virus.com.bad", "/archive.tar.bad"},
        {QL_ACT_QUARANTINE, quarantine, QL_EV_QUARANTINED, "", ""},
    };
    for (const Case &c : cases) {
        std::string dir = prepareTree("act" + std::to_string(c.action));
        reports.all.clear();
        report = ScanReport{};
        EXPECT_EQ(scanObject(dir + "/archive.tar", c.action, c.argument.c_str()), QL_RES_INFECTED)
            << c.action;
        EXPECT_EQ(scanObject(dir + "/virus.com", c.action, c.argument.c_str()), QL_RES_INFECTED)
            << c.action;
        EXPECT_NE(std::find(reports.all.begin(), reports.all.end(),
                            Report{dir + "/archive.tar", QL_OBJ_ARCHIVE, c.outcome, kEicarName}),
                  reports.all.end())
            << c.action;
        EXPECT_EQ(access((dir + "/virus.com").c_str(), F_OK), -1) << c.action;
        EXPECT_EQ(access((dir + "/archive.tar").c_str(), F_OK), -1) << c.action;
        if (!c.virusAfter.empty()) {
            EXPECT_EQ(access((dir + c.virusAfter).c_str(), F_OK), 0) << c.action;
            EXPECT_EQ(access((dir + c.archiveAfter).c_str(), F_OK), 0) << c.action;
        }
        EXPECT_EQ(report.deletedObjects + report.renamedObjects + report.quarantinedObjects, 2u)
            << c.action;
    }
    EXPECT_EQ(access((quarantine + "/virus.com").c_str(), F_OK), 0);
    EXPECT_EQ(access((quarantine + "/archive.tar").c_str(), F_OK), 0);
}

TEST_F(BdScannerCoreTest, CoreWalkHonoursExtensionSizeDirectoryAndRecursionOptions) {
    struct Case {
        uint32_t opts;
        const char *extensions;
        bool excludeSub;
        uint32_t sizeKb;
        int result;
    };
    const int rest = QL_RES_SUSPICIOUS | QL_RES_ENCRYPTED | QL_RES_CORRUPTED;
    const Case cases[] = {
        {QL_OPT_SCAN_EXT, "COM", false, 0, QL_RES_INFECTED},
        {QL_OPT_SKIP_EXT, "com:tar", false, 0, rest},
        {QL_OPT_SKIP_DIRS, "", true, 0, QL_RES_INFECTED},
        {QL_OPT_NO_RECURSE, "", false, 0, QL_RES_INFECTED},
        // The archive (over 1 KB) is left out, the small infected file is not.
        {QL_OPT_SIZE, "", false, 1, QL_RES_INFECTED | rest},
    };
    std::string sub = top + "/sub";
    for (const Case &c : cases) {
        ObjectRequest request{top.c_str(), 1 | c.opts, QL_ACT_NONE, nullptr};
        ExtraData extra{};
        ql::copyBounded(extra.extList, c.extensions);
        extra.excludeDirs = c.excludeSub ? sub.data() : nullptr;
        extra.sizeLimit = c.sizeKb;
        reports.all.clear();
        report = ScanReport{};
        report.events = reports.callback();
        EXPECT_EQ(QL_BDIFScanObject(handle, &request, &report, &extra), c.result) << c.opts;
        bool archiveSeen = std::any_of(reports.all.begin(), reports.all.end(), [this](auto &r) {
            return r.object == top + "/archive.tar";
        });
        EXPECT_EQ(archiveSeen, c.opts == QL_OPT_SKIP_DIRS || c.opts == QL_OPT_NO_RECURSE) << c.opts;
    }
}

int promptRenameWithSlash(const char * /*path*/, char *argument) {
    ql::copyBounded(argument, QL_PATH_MAX, "../escape");
    return QL_ACT_RENAME;
}

TEST_F(BdScannerCoreTest, PromptedRenameWithASlashIsRefused) {
    std::string virus = top + "/virus.com";
    EXPECT_EQ(scanObject(virus, QL_ACT_PROMPT, "", 1, promptRenameWithSlash), QL_RES_INFECTED);
    EXPECT_EQ(access(virus.c_str(), F_OK), 0);
    EXPECT_EQ(report.actionFailed, 1u);
    EXPECT_EQ(reports.all.back().event, QL_EV_RENAME_FAILED);
}

TEST_F(BdScannerCoreTest, CoreTakesTheActionWhenFindingsAreLeftToIt) {
    std::string virus = top + "/virus.com";
    // The file is gone, and the result still says it was infected.
    EXPECT_EQ(scanObject(virus, QL_ACT_DELETE, "", 0x3), QL_RES_INFECTED);
    EXPECT_EQ(access(virus.c_str(), F_OK), -1);
    EXPECT_EQ(report.deletedObjects, 1u);
    EXPECT_EQ(report.actionFailed, 0u);
}

int promptDelete(const char * /*path*/, char * /*argument*/) {
    return QL_ACT_DELETE;
}

// The core acts only on what it can: with a prompt (no action for the core), nothing it can
// disinfect, or a quarantine folder that is missing, it reports the failure, and the finding is
// the caller's again.
TEST_F(BdScannerCoreTest, FindingTheCoreFailsToActOnIsSettledWithTheCallersAction) {
    struct Row {
        std::string name;
        int32_t action;
        const char *argument;
        QL_PromptFn prompt;
        int32_t kind, outcome;
        uint32_t deleted, failed;
    };
    const Row rows[] = {
        {"virus.com", QL_ACT_PROMPT, "", promptDelete, QL_OBJ_FILE, QL_EV_DELETED, 1, 0},
        {"archive.tar", QL_ACT_PROMPT, "", promptDelete, QL_OBJ_ARCHIVE, QL_EV_DELETED, 1, 0},
        {"virus.com", QL_ACT_NONE, "", nullptr, QL_OBJ_FILE, QL_EV_NO_ACTION, 0, 0},
        {"virus.com", QL_ACT_QUARANTINE, "/nonexistent-ql", nullptr, QL_OBJ_FILE,
         QL_EV_QUARANTINE_FAILED, 0, 1},
    };
    for (const Row &row : rows) {
        std::string path = prepareTree("fail" + std::to_string(&row - rows)) + "/" + row.name;
        reports.all.clear();
        report = ScanReport{};
        EXPECT_EQ(scanObject(path, row.action, row.argument, 0x3, row.prompt), QL_RES_INFECTED)
            << path;
        ASSERT_FALSE(reports.all.empty()) << path;
        EXPECT_EQ(reports.all.back(), (Report{path, row.kind, row.outcome, kEicarName})) << path;
        EXPECT_EQ(report.deletedObjects, row.deleted) << path;
        EXPECT_EQ(report.actionFailed, row.failed) << path;
        EXPECT_EQ(access(path.c_str(), F_OK) == 0, row.deleted == 0) << path;
    }
}

TEST_F(BdScannerCoreTest, LinksWithoutTheLinkOptionAndPipesAreSkipped) {
    std::string link = top + "/link.com";
    ASSERT_EQ(symlink((top + "/virus.com").c_str(), link.c_str()), 0);
    std::string pipe = top + "/pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(scanObject(link, QL_ACT_NONE), 0);
    EXPECT_EQ(scanObject(pipe, QL_ACT_NONE), 0);
    EXPECT_TRUE(reports.all.empty());
    EXPECT_EQ(scanObject(link, QL_ACT_NONE, "", 1 | QL_OPT_LINK), QL_RES_INFECTED);
    EXPECT_EQ(scanObject("relative", QL_ACT_NONE), -1);
}

struct Findings {
    int count = 0;
    bool stoppedInA = false;
};

// Counts every finding and stops at the first one in directory "a".
int stopFirstFindingInA(const char *object, int32_t /*kind*/, int32_t event,
                        const char * /*infection*/, const char * /*message*/, void *userData) {
    auto *findings = static_cast<Findings *>(userData);
    if (event != QL_EV_INFECTED) {
        return 0;
    }
    ++findings->count;
    if (std::string(object).find("/a/") == std::string::npos || findings->stoppedInA) {
        return 0;
    }
    findings->stoppedInA = true;
    return QL_CB_STOP;
}

TEST_F(BdScannerCoreTest, StopAnswerEndsOneDirectoryWhileTheTreeWalkGoesOn) {
    std::string tree = core.root().root() + "/stops";
    mkdir(tree.c_str(), 0700);
    mkdir((tree + "/a").c_str(), 0700);
    mkdir((tree + "/b").c_str(), 0700);
    core.writeSample("stops/a/1.com", ql::test::eicar());
    core.writeSample("stops/a/2.com", ql::test::eicar());
    core.writeSample("stops/b/3.com", ql::test::eicar());
    Findings seen;
    int result = scanTree(tree, QL_ACT_NONE, EventCallback{stopFirstFindingInA, &seen});
    // Directory a stops at its first file; b is scanned whichever comes first. The tree's
    // result is the union of its directories' results.
    EXPECT_EQ(result, QL_RES_STOPPED | QL_RES_INFECTED);
    EXPECT_EQ(seen.count, 2);
    EXPECT_EQ(report.dirsScanned, 3u);
}

TEST_F(BdScannerCoreTest, ObjectScansRunOnFourThreadsAtOnce) {
    struct Run {
        Reports reports;
        ScanReport counters{};
        int result = -1;
    };
    std::vector<Run> runs(4);
    std::vector<std::thread> threads;
    for (Run &run : runs) {
        threads.emplace_back([this, &run] {
            for (int round = 0; round < 5 && run.result != -2; ++round) {
                ObjectRequest request{top.c_str(), 1, QL_ACT_NONE, nullptr};
                ExtraData extra{};
                run.counters = ScanReport{};
                run.reports.all.clear();
                run.counters.events = run.reports.callback();
                int result = QL_BDIFScanObject(handle, &request, &run.counters, &extra);
                run.result = run.result == -1 || run.result == result ? result : -2;
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (const Run &run : runs) {
        EXPECT_EQ(run.result, kEveryKind);
        EXPECT_EQ(run.counters.infectedObjects, 2u);
        EXPECT_EQ(run.counters.dirsScanned, 2u);
        EXPECT_EQ(findings(run.reports.all), findings(runs[0].reports.all));
    }
}

TEST_F(BdScannerCoreTest, MissingArgumentsFailWithInvalidArgument) {
    ObjectRequest request{top.c_str(), 1, QL_ACT_NONE, nullptr};
    ExtraData extra{};
    EXPECT_EQ(QL_BDIFScanObject(handle, &request, &report, nullptr), -1);
    EXPECT_EQ(QL_BDIFScanObject(nullptr, &request, &report, &extra), -1);
    EXPECT_EQ(QL_BDIFScanTree(handle, &request, nullptr, &extra), -1);
    EXPECT_EQ(QL_BDTraverseScanTree(nullptr, nullptr, &request, &report, nullptr), -1);
    EXPECT_EQ(QL_BDScan(nullptr, "/x", 1, 1, 0, nullptr, &report, nullptr), -1);
    EXPECT_EQ(ql::lastErrorCode(), 22);
    EXPECT_EQ(QL_BDReportPending(nullptr), -1);
    QL_BDClearPending(nullptr);
}

}  // namespace
