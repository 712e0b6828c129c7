// What only the BD engine shows: loading and starting the core library, the options each scan
// hands the core, the core failing its calls, findings left to the core, and beneath them the
// callbacks the core calls: the object-scan callback against a scripted core (events no stand-in
// core makes), the quick scanners' callback, and the memory and descriptor I/O callbacks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "bd/bd_buf_iface.h"
#include "bd/bd_core.h"
#include "bd/bd_iface.h"
#include "bd/bd_scanner.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/events.h"

namespace {

using ql::test::Engine;
using ql::test::EngineRoot;
using ql::test::EventLog;
using ql::test::SeenEvent;

constexpr const char *kCoreLibrary = "/opt/Quellar/lib/libavcore.so";

class BdCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(engine_.up(Engine::Bd));
        EventLog::engine().clear();
    }
    AVHandle Open(const std::string &conf) {
        return QL_InitAVHandle(conf.c_str(), EventLog::onEngineEvent, 0);
    }
    // Whether the core library is mapped into this process now.
    static bool CoreMapped() {
        return ql::test::readFile("/proc/self/maps").find("libavcore.so") != std::string::npos;
    }

    EngineRoot engine_;
};

TEST_F(BdCoreTest, InitHandsCoreInit5TheConfiguredFoldersAndDeinitUnloadsTheLibrary) {
    std::string library = engine_.path(kCoreLibrary);
    struct Row {
        const char *conf;  // "" keeps the root's
        std::string init;
    };
    const Row rows[] = {
        {"", "CoreInit5 0 " + engine_.pluginsDir() + " " + library + " " + engine_.tempDir()},
        {"[path]\nLocalSocketPath = /x\n", "CoreInit5 0 \"\" " + library + " \"\""},
    };
    for (const Row &row : rows) {
        if (*row.conf != '\0') {
            engine_.root().writeFixed("/opt/Quellar/etc/qorn.conf", row.conf);
        }
        engine_.recordCore();
        AVHandle handle = Open(engine_.confPath());
        ASSERT_NE(handle, nullptr) << QL_GetErrorText();
        EXPECT_TRUE(CoreMapped());
        QL_DeinitAVHandle(handle, nullptr);
        EXPECT_FALSE(CoreMapped());
        EXPECT_EQ(engine_.coreRecord(), std::vector<std::string>{row.init});
    }
}

// A missing library fails with the loader's message, a failing CoreInit5 with a text saying so,
// and neither leaves the library loaded.
TEST_F(BdCoreTest, MissingLibraryOrFailingCoreInit5FailsWithItsTextAndLeavesNothingLoaded) {
    // A configuration path that cannot be read fails before any event.
    EXPECT_EQ(Open(engine_.path("/opt/Quellar/etc/none.conf")), nullptr);
    EXPECT_STREQ(QL_GetErrorText(), strerror(ENOENT));
    EXPECT_TRUE(EventLog::engine().events().empty());

    EngineRoot::failCore("init");
    EXPECT_EQ(Open(engine_.confPath()), nullptr);
    EXPECT_STREQ(QL_GetErrorText(), "CoreInit5 failed (1)");
    EXPECT_FALSE(CoreMapped());
    ASSERT_EQ(unlink(engine_.path(kCoreLibrary).c_str()), 0);
    EXPECT_EQ(Open(engine_.confPath()), nullptr);
    EXPECT_NE(std::string(QL_GetErrorText()).find("libavcore.so"), std::string::npos)
        << QL_GetErrorText();
    EXPECT_EQ(EventLog::engine().codes(),
              (std::vector<int>{QL_EV_ENGINE_INIT, QL_EV_ENGINE_FAILED, QL_EV_ENGINE_INIT,
                                QL_EV_ENGINE_FAILED}));
}

TEST_F(BdCoreTest, NullHandlesAndBlocksAreIgnored) {
    EXPECT_EQ(QL_BDLoadCore(nullptr), nullptr);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    QL_BDUnloadCore(nullptr);
    QL_BDDestroyHandle(nullptr);
    QL_BDClearPending(nullptr);
    QL_BDSetLogger(nullptr, nullptr);
    QL_BDClearLogger(nullptr);
    EXPECT_EQ(QL_BDGetLogger(nullptr), nullptr);
    QL_DeinitBDHandle(nullptr, EventLog::onEngineEvent);
    EXPECT_EQ(EventLog::engine().codes(), std::vector<int>{QL_EV_ENGINE_DOWN});
}

// Each refused core call fails the scan with its error, and no report is made.
TEST_F(BdCoreTest, CoreRefusingItsCallsFailsTheScanWithItsError) {
    AVHandle handle = engine_.handle();
    std::string clean = engine_.sample("clean.txt", "a plain letter");
    char chunk[] = "abc";
    struct Row {
        const char *refused;
        int type, error;
    };
    const Row rows[] = {
        {"instance", QL_REQ_PATH, EBUSY},
        {"set:39", QL_REQ_PATH, EAGAIN},    // the callback
        {"set:38", QL_REQ_PATH, EAGAIN},    // its context
        {"set:60", QL_REQ_BUFFER, EAGAIN},  // the I/O table
    };
    for (const Row &row : rows) {
        EngineRoot::failCore(row.refused);
        BufferObject buffer{chunk, 3, 0, nullptr, 0, 0};
        QuickRequest request{row.type == QL_REQ_PATH ? static_cast<void *>(clean.data()) : &buffer,
                             0x1, row.type};
        EventLog log;
        EXPECT_EQ(QL_QuickScan(handle, &request, log.callback()), -1) << row.refused;
        EXPECT_STREQ(QL_GetErrorText(), strerror(row.error)) << row.refused;
        EXPECT_TRUE(log.events().empty()) << row.refused;
        if (row.type == QL_REQ_BUFFER) {
            EXPECT_EQ(buffer.accumLen, 3u) << "the chunk is kept";
            std::free(buffer.accum);
        }
    }
}

// What the core acts on itself (scan option 0x2) is its own; what it fails to act on (a prompt
// gives it no action, it cannot disinfect, the quarantine folder is missing) is reported and
// settled with the caller's action.
const QL_PromptFn promptDelete = [](const char *, char *) { return QL_ACT_DELETE; };

TEST_F(BdCoreTest, FindingTheCoreFailsToActOnIsSettledWithTheCallersAction) {
    struct Row {
        std::string name;
        int32_t action;
        std::string text;
        QL_PromptFn prompt;
        int32_t kind, outcome;
        uint32_t deleted, failed;
    };
    const Row rows[] = {
        {"virus.com", QL_ACT_DELETE, "", nullptr, QL_OBJ_FILE, QL_EV_INFECTED, 1, 0},
        {"virus.com", QL_ACT_PROMPT, "", promptDelete, QL_OBJ_FILE, QL_EV_DELETED, 1, 0},
        {"pack.tar", QL_ACT_PROMPT, "", promptDelete, QL_OBJ_ARCHIVE, QL_EV_DELETED, 1, 0},
        {"virus.com", QL_ACT_NONE, "", nullptr, QL_OBJ_FILE, QL_EV_NO_ACTION, 0, 0},
        {"virus.com", QL_ACT_QUARANTINE, "QDIR::/nonexistent-ql", nullptr, QL_OBJ_FILE,
         QL_EV_QUARANTINE_FAILED, 0, 1},
    };
    for (const Row &row : rows) {
        std::string content = row.name == "pack.tar"
                                  ? ql::test::tarOf({{"in.com", ql::test::eicar()}})
                                  : ql::test::eicar();
        std::string path = engine_.sample(std::to_string(&row - rows) + "/" + row.name, content);
        EventLog log;
        ScanReport report{};
        report.events = *log.callback();
        ObjectRequest request{path.c_str(), 0x3, row.action, row.prompt};
        const char *texts[] = {row.text.c_str()};
        // Whoever acted on it, the result still says the file was infected.
        EXPECT_EQ(QL_ScanObject(engine_.handle(), &request, &report, 1, texts), QL_RES_INFECTED)
            << path;
        ASSERT_FALSE(log.events().empty()) << path;
        SeenEvent last = log.events().back();
        EXPECT_EQ(std::tuple(last.kind, last.event, report.deletedObjects, report.actionFailed),
                  std::tuple(row.kind, row.outcome, row.deleted, row.failed))
            << path;
        EXPECT_EQ(access(path.c_str(), F_OK) == 0, row.deleted == 0) << path;
    }
}

// The option lines the core is handed ("<option> <value>"), for each scan a request makes.
TEST_F(BdCoreTest, OptionsFollowScanOptionsAndAction) {
    // Every value set: the scan options and the action decide which of them go to the core.
    static char excluded[] = "/skip:/other";
    ExtraData all{};
    ql::copyBounded(all.extList, "exe,com");
    all.sizeLimit = 300;
    all.excludeDirs = excluded;
    all.maxDepth = 64;
    ql::copyBounded(all.actionArg, "/q");
    const std::string d = "26 1;25 1;27 1;33 1;";  // the defaults
    const std::string kestra = engine_.path(QL_BD_QUARANTINE_DIR);
    struct Row {
        const char *label;
        uint32_t scanOpts;
        int32_t actOpts;
        const ExtraData *extra;
        std::string expected;
    } rows[] = {
        {"daemon quick scan", 0x1, QL_ACT_NONE, nullptr, d + "31 0"},
        {"process scan", 0x161, QL_ACT_NONE, nullptr, "26 0;25 0;27 0;33 1;31 0"},
        {"no recurse wins over depth", 0x4 | 0x2000, QL_ACT_NONE, &all, d + "42;31 0"},
        {"depth 64 is sent as 65", 0x2000, QL_ACT_NONE, &all, d + "41 65;31 0"},
        {"depth without extra data", 0x2000, QL_ACT_NONE, nullptr, d + "31 0"},
        {"scan list, size, excluded dirs", 0x400 | 0x4000 | 0x1000, QL_ACT_NONE, &all,
         d + "43 exe,com;89 300;86 /skip:/other;31 0"},
        {"skip list", 0x800, QL_ACT_NONE, &all, d + "44 exe,com;31 0"},
        {"delete", 0x1, QL_ACT_DELETE, nullptr, d + "31 4"},
        {"quarantine", 0x1, QL_ACT_QUARANTINE, &all, d + "35 /q;34 /q;31 6"},
        {"quarantine, 0x200", 0x200, QL_ACT_QUARANTINE, &all, "26 1;25 1;27 1;33 0;35 /q;31 6"},
        {"rename", 0x1, QL_ACT_RENAME, &all, d + "45 /q;31 7"},
        {"rename without extra data", 0x1, QL_ACT_RENAME, nullptr, d + "31 0"},
        {"prompt", 0x1, QL_ACT_PROMPT, &all, d + "35 " + kestra + ";34 " + kestra + ";45 qlt;31 0"},
        {"unknown action", 0x1, 9, &all, d.substr(0, d.size() - 1)},
    };
    BDHandle *handle = QL_InitBDHandle(engine_.confPath().c_str(), nullptr);
    ASSERT_NE(handle, nullptr);
    for (const Row &row : rows) {
        engine_.recordCore();
        BDInstance instance{handle, nullptr};
        EXPECT_EQ(QL_BDCreateInstance(&instance, row.scanOpts, row.actOpts, row.extra), 0);
        QL_BDDestroyInstance(&instance);
        std::string lines;
        for (const std::string &line : engine_.coreRecord()) {
            lines += (lines.empty() ? "" : ";") + line;
        }
        EXPECT_EQ(lines, row.expected) << row.label;
    }
    QL_DeinitBDHandle(handle, nullptr);
}

// ---- The object-scan callback against a scripted core: events made by hand. ----

class ScriptedCore {
  public:
    ScriptedCore() {
        counters.events = *log.callback();
        context.onEvent = counters.events.onEvent;
        context.userData = counters.events.userData;
        context.report = &counters;
    }
    ~ScriptedCore() { QL_BDClearPending(&context.pending); }
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
    int finding(const char *name, uint32_t flags = 0) {
        return send(name, flags, CORE_STATUS_INFECTED, CORE_EVENT_FINDING, CORE_OBJECT_FILE,
                    "EICAR-Test");
    }

    EventLog log;
    ScanReport counters{};
    BDScanContext context{};
};

TEST(BdScannerTest, CallbackMapsEachFlagAndStatusToOneReport) {
    struct Row {
        uint32_t flags, status, event;
        int32_t type, kind, reported, result;  // reported 0: no report
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
        SCOPED_TRACE("row " + std::to_string(&row - rows));
        EXPECT_EQ(core.send("/x", row.flags, row.status, row.event, row.type, "V"), 0);
        EXPECT_EQ(static_cast<int>(core.context.result), row.result);
        if (row.kind == QL_OBJ_DIRECTORY) {
            EXPECT_EQ(core.counters.cleanObjects + core.counters.dirsScanned, 0u);
            EXPECT_EQ(core.context.pending.name, nullptr);
        }
        std::vector<SeenEvent> seen = core.log.events();
        ASSERT_EQ(seen.size(), row.reported == 0 ? 0u : 1u);
        if (row.reported != 0) {
            EXPECT_EQ(std::pair(seen[0].kind, seen[0].event), std::pair(row.kind, row.reported));
        }
    }
}

TEST(BdScannerTest, ArchiveIsSettledOnceWithWhatItsMembersFound) {
    ScriptedCore core;
    core.send("/a.tar", 0, 0);
    EXPECT_EQ(core.finding("/a.tar/m.com", CORE_FLAG_INNER), 0);
    EXPECT_EQ(QL_BDReportPending(&core.context), QL_RES_INFECTED);
    EXPECT_EQ(
        core.log.events(),
        (std::vector<SeenEvent>{{"/a.tar/m.com", QL_OBJ_FILE, QL_EV_INFECTED, "EICAR-Test", ""},
                                {"/a.tar", QL_OBJ_ARCHIVE, QL_EV_INFECTED, "EICAR-Test", ""},
                                {"/a.tar", QL_OBJ_ARCHIVE, QL_EV_NO_ACTION, "EICAR-Test", ""}}));
    // A clean archive counts clean with its member, once the next top-level object settles it.
    ScriptedCore plain;
    plain.send("/a.tar", 0, 0);
    plain.send("/a.tar/m.txt", CORE_FLAG_INNER, CORE_STATUS_CLEAN);
    EXPECT_EQ(plain.counters.cleanObjects, 1u);
    plain.send("/b.txt", 0, CORE_STATUS_CLEAN);
    EXPECT_EQ(plain.counters.cleanObjects, 3u);
    ScriptedCore locked;
    locked.send("/a.zip", 0, 0);
    locked.send("/a.zip/1", CORE_FLAG_INNER | CORE_FLAG_ENCRYPTED, 0);
    locked.send("/a.zip/2", CORE_FLAG_INNER | CORE_FLAG_ENCRYPTED, 0);
    EXPECT_EQ(locked.counters.encryptedObjects, 1u) << "two encrypted members count once";
    EXPECT_EQ(QL_BDReportPending(&locked.context), QL_RES_ENCRYPTED);
    EXPECT_EQ(locked.log.events().back(),
              (SeenEvent{"/a.zip", QL_OBJ_ARCHIVE, QL_EV_ENCRYPTED, "", ""}));
}

TEST(BdScannerTest, FindingLeftToTheCoreIsAnsweredTenAndNeverActedOnLater) {
    ScriptedCore core;
    core.context.letCoreAct = 2;
    core.context.action = QL_ACT_DELETE;
    core.send("/v.com", 0, 0);
    EXPECT_EQ(core.finding("/v.com"), CORE_ANSWER_ACT);
    EXPECT_EQ(core.context.result, 0u);
    // A clean file after it starts from an empty verdict: nothing is deleted under its name.
    core.send("/clean.txt", 0, CORE_STATUS_CLEAN);
    EXPECT_EQ(QL_BDReportPending(&core.context), QL_RES_INFECTED);
    EXPECT_EQ(core.counters.actionFailed + core.counters.deletedObjects, 0u);
    // A stop answer ends the scan with stopped alone, for a file and for a directory.
    core.log.answerEvery(QL_CB_STOP);
    EXPECT_EQ(core.finding("/w.com"), CORE_ANSWER_STOP);
    EXPECT_EQ(core.context.result, static_cast<uint32_t>(QL_RES_STOPPED));
    EXPECT_EQ(core.send("/d", 0, 0, 1, CORE_OBJECT_DIRECTORY), CORE_ANSWER_STOP);
}

// ---- The quick scanners' callback and the I/O callbacks the core reads objects through. ----

TEST(BdBufIfaceTest, ScanCallbackFollowsItsTable) {
    constexpr int kNone = -1;  // no report
    struct Row {
        const char *label;
        uint32_t event, status;
        uint8_t flags;
        int answer;
        uint32_t resultBefore;
        int32_t reported, toCore;
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
        EventLog log;
        log.answerEvery(row.answer);
        BufferScanData data{"obj",     log.fn(),         log.user(),
                            row.flags, row.resultBefore, QL_OBJ_BUFFER};
        CoreEventInfo info{};
        info.objectName = "inner/member";
        info.status = row.status;
        info.infectionName = "Name";
        info.context = &data;
        EXPECT_EQ(QL_BD_BufferScanCallBack(row.event, &info), row.toCore) << row.label;
        EXPECT_EQ(data.result, row.resultAfter) << row.label;
        std::vector<SeenEvent> expected;
        if (row.reported != kNone) {
            // Only the plain clean row passes no infection name.
            bool named = (row.status & 0x60) != 0 || row.reported != QL_EV_CLEAN;
            expected.push_back({"obj", QL_OBJ_BUFFER, row.reported, named ? "Name" : "", ""});
        }
        EXPECT_EQ(log.events(), expected) << row.label;
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

TEST(BdBufIfaceTest, MemoryCallbacksStayInsideTheBlockAndGrowIt) {
    MemoryObject memory("0123456789");
    struct Row {
        int32_t offset, length;
        std::string got;
    } reads[] = {
        {0, 4, "0123"}, {6, 10, "6789"},    {9, 1, "9"}, {10, 5, ""},
        {-1, 4, ""},    {INT32_MIN, 4, ""}, {2, -3, ""}, {INT32_MAX, 1, ""},
    };
    for (const Row &row : reads) {
        char buffer[16] = {};
        int32_t done = 77;
        EXPECT_EQ(QL_BD_memRead(buffer, row.offset, row.length, &done, &memory.object), 0);
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(done)), row.got)
            << row.offset << "," << row.length;
    }
    uint32_t size = 0;
    EXPECT_EQ(QL_BD_memGetSize(&size, &memory.object), 0);
    EXPECT_EQ(size, 10u);

    MemoryObject written("abcdef");
    int32_t done = 0;
    EXPECT_EQ(QL_BD_memWrite("XY", 2, 2, &done, &written.object), 0);
    EXPECT_EQ(QL_BD_memWrite("Z", 8, 1, &done, &written.object), 0);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(written.content(), std::string("abXYef\0\0Z", 9));
    for (auto [offset, length] : {std::pair{-4, 2}, {INT32_MAX, 1}, {INT32_MAX - 1, 5}, {1, -1}}) {
        done = 55;
        EXPECT_EQ(QL_BD_memWrite("QQQQQ", offset, length, &done, &written.object), 0) << offset;
        EXPECT_EQ(done, 0) << offset;
    }
    written.length = 6;  // back to "abXYef"; setting size 0 is ignored
    EXPECT_EQ(QL_BD_memSetSize(0, &written.object), 0);
    EXPECT_EQ(written.content(), "abXYef");
    EXPECT_EQ(QL_BD_memSetSize(3, &written.object), 0);
    EXPECT_EQ(QL_BD_memSetSize(5, &written.object), 0);
    EXPECT_EQ(written.content(), std::string("abX\0\0", 5));
}

TEST(BdBufIfaceTest, DescriptorCallbacksCutReadsAtTheSizeAndNeverResizeTheFile) {
    EngineRoot root;
    std::string path = root.sample("data.bin", "0123456789");
    ql::UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(fd);
    CoreIOObject object{"data.bin", fd.get(), 10, {}};
    char buffer[16] = {};
    int32_t done = 0;
    EXPECT_EQ(QL_BD_fdSetSize(4, &object), 0);
    EXPECT_EQ(QL_BD_fdRead(buffer, 2, 8, &done, &object), 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(done)), "23");
    for (int32_t offset : {4, 5}) {
        EXPECT_EQ(QL_BD_fdRead(buffer, offset, 1, &done, &object), 0) << "at or past the end";
        EXPECT_EQ(done, 0);
    }
    EXPECT_EQ(QL_BD_fdRead(buffer, -2, 1, &done, &object), -1);
    EXPECT_EQ(QL_BD_fdRead(buffer, 0, -1, &done, &object), 0);
    EXPECT_EQ(done, 0);
    EXPECT_EQ(QL_BD_fdWrite("AB", 8, 2, &done, &object), 0);
    EXPECT_EQ(done, 2);
    uint32_t size = 0;
    EXPECT_EQ(QL_BD_fdGetSize(&size, &object), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(ql::test::readFile(path), "01234567AB");
}

}  // namespace
