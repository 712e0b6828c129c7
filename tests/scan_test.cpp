// Scans through the public calls, on both engines: the options and extra data a request takes,
// the handle's life, what is refused before any scan, every outcome of a quick scan, buffers and
// descriptors, object scans of a tree with their walk rules, a failed action, prompts and stops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "api/object_scan.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "ql/qlscan.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/events.h"
#include "tests/support/programs.h"

namespace {

using ql::test::EventLog;
using ql::test::SeenEvent;

constexpr const char *kEicarName = "EICAR-Test-File";
constexpr const char *kSignatures =
    "infected\tTest-Virus\ttext:VIRUS-BYTES\n"
    "suspicious\tOdd-Thing\ttext:ODD-BYTES\n"
    "encrypted\tLocked\ttext:LOCKED-BYTES\n"
    "corrupted\tBroken\ttext:BROKEN-BYTES\n"
    "disinfected\tCured\ttext:CURED-BYTES\n"
    "disinfect-failed\tStubborn\ttext:STUBBORN-BYTES\n"
    "error\tTrouble\ttext:TROUBLE-BYTES\n"
    "delay:40\tSlow\ttext:SLOW-BYTES\n";

using std::filesystem::exists;

TEST(ScanOptionsTest, QuickFilterNormalisesOptionsAsTheyWereOnEntry) {
    const std::pair<uint32_t, uint32_t> rows[] = {
        {0xFFFF, 0},      {0x0003, 0x0002}, {0x0010, 0},      {0x0018, 0x0018}, {0x8002, 0x0002},
        {0x8003, 0x0002}, {0x8001, 0x8001}, {0x0001, 0x0001}, {0x0012, 0x0002}, {0x7C00, 0x7C00},
    };
    char path[] = "/x";
    for (const auto &[in, out] : rows) {
        QuickRequest request{path, in, QL_REQ_PATH};
        EXPECT_EQ(QL_FilterQuickOptions(&request), 0) << std::hex << in;
        EXPECT_EQ(request.scanOpts, out) << std::hex << in;
    }
    QuickRequest empty{nullptr, 0, QL_REQ_PATH};
    EXPECT_EQ(QL_FilterQuickOptions(&empty), -1);
    EXPECT_EQ(QL_FilterQuickOptions(nullptr), -1);
}

TEST(ScanOptionsTest, ExtraDataTakesTheFirstAcceptableTextPerKeyword) {
    // Texts, scan options and action in; action argument, extension list, size and depth out.
    using Texts = std::vector<const char *>;
    const std::tuple<Texts, uint32_t, int32_t, std::string, std::string, uint32_t, int> rows[] = {
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
    for (const auto &[in, opts, act, actionArg, extList, sizeLimit, maxDepth] : rows) {
        ExtraData extra{};
        ASSERT_EQ(
            QL_ExtraDataList(nullptr, static_cast<int>(in.size()), in.data(), opts, act, &extra),
            0);
        EXPECT_EQ(std::tuple(std::string(extra.actionArg), std::string(extra.extList),
                             extra.sizeLimit, extra.maxDepth),
                  std::tuple(actionArg, extList, sizeLimit, maxDepth))
            << in.front() << " ...";
        std::free(extra.excludeDirs);
    }
    // At most 127 texts are read; excluded directories are copied from the first text.
    std::vector<const char *> texts(200, "NOTHING::");
    texts[127] = "SIZE::5k";
    texts[0] = "XDIR::/a:/b";
    texts[1] = "XDIR::/c";
    ExtraData extra{};
    ASSERT_EQ(
        QL_ExtraDataList(nullptr, 200, texts.data(), QL_OPT_SIZE | QL_OPT_SKIP_DIRS, 0, &extra), 0);
    EXPECT_EQ(extra.sizeLimit, 0U) << "the 128th text is not read";
    ASSERT_NE(extra.excludeDirs, nullptr);
    EXPECT_STREQ(extra.excludeDirs, "/a:/b");
    std::free(extra.excludeDirs);
    EXPECT_EQ(QL_ExtraDataList(nullptr, 0, nullptr, 0, 0, nullptr), -1);
}

TEST(ScanOptionsTest, ObjectFilterDropsOptionsWhoseValuesAreMissing) {
    // Scan options, action, a prompt or none, action argument and extension list in; scan
    // options and action out.
    const std::tuple<uint32_t, int32_t, bool, const char *, const char *, uint32_t, int32_t>
        rows[] = {
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
    for (const auto &[in, act, prompt, actionArg, extList, out, actOut] : rows) {
        ObjectRequest request{"/x", in, act,
                              prompt ? +[](const char *, char *) { return QL_ACT_NONE; } : nullptr};
        ExtraData extra{};
        ql::copyBounded(extra.actionArg, actionArg);
        ql::copyBounded(extra.extList, extList);
        EXPECT_EQ(QL_FilterOptions(nullptr, &request, &extra), 0);
        EXPECT_EQ(std::pair(request.scanOpts, request.actOpts), std::pair(out, actOut))
            << std::hex << in << " act " << act;
    }
    ExtraData extra{};
    EXPECT_EQ(QL_FilterOptions(nullptr, nullptr, &extra), -1);
}

TEST(InstalledEngineTest, VersionFileNamesTheInstalledEngine) {
    ql::test::EngineRoot root;
    EXPECT_EQ(QL_GetInstalledAV(), AV_NONE) << "missing file";
    const std::pair<const char *, AVType> rows[] = {
        {"2\n", AV_KAV}, {"3", AV_BD},       {"10", AV_BD},          {"  4", AV_BD},
        {"1", AV_NONE},  {"0", AV_NONE},     {"-5", AV_NONE},        {"abc", AV_NONE},
        {"", AV_NONE},   {"\t\n2x", AV_KAV}, {"99999999999", AV_BD},
    };
    for (const auto &[text, kind] : rows) {
        root.writeVersion(text);
        EXPECT_EQ(QL_GetInstalledAV(), kind) << text;
    }
    QL_SetError(QLE_ZERO_SIZE);
    setenv("QL_ROOT", "relative", 1);
    EXPECT_EQ(QL_GetInstalledAV(), AV_NONE);
    EXPECT_STREQ(QL_GetErrorText(), "File size is zero") << "sets no error";
    setenv("QL_ROOT", root.root().root().c_str(), 1);
}

// Scans on each engine, with a prepared tree at hand: a clean file, an infected one, a suspicious
// one, an archive with an infected and a clean member, and below sub/ one more infected file, an
// encrypted and a corrupted one.
class ScanTest : public ql::test::EngineTest {
  protected:
    std::string Signatures() const override { return kSignatures; }
    void SetUp() override {
        EngineTest::SetUp();
        top_ = Tree("tree");
        QL_InitScanReport(&report_);
        report_.events = *log_.callback();
    }
    std::string Tree(const std::string &name) const {
        engine_.sample(name + "/clean.txt", "nothing to see");
        engine_.sample(name + "/virus.com", "xx VIRUS-BYTES xx");
        engine_.sample(name + "/odd.exe", "an ODD-BYTES thing");
        engine_.sample(name + "/pack.tar",
                       ql::test::tarOf({{"bad.bin", "VIRUS-BYTES"}, {"ok.txt", "fine"}}));
        engine_.sample(name + "/sub/deep.doc", "VIRUS-BYTES");
        engine_.sample(name + "/sub/locked.bin", "LOCKED-BYTES");
        engine_.sample(name + "/sub/broken.bin", "BROKEN-BYTES");
        return engine_.path("/samples/" + name);
    }

    // A quick scan of a path, its events to log_.
    int Quick(const std::string &path, uint32_t opts) {
        std::string copy = path;
        QuickRequest request{copy.data(), opts, QL_REQ_PATH};
        int result = QL_QuickScan(engine_.handle(), &request, log_.callback());
        EXPECT_EQ(request.object, copy.data()) << "the caller's pointer is back";
        return result;
    }
    int Buffer(BufferObject &buffer) {
        QuickRequest request{&buffer, 0, QL_REQ_BUFFER};
        int result = QL_QuickScan(engine_.handle(), &request, log_.callback());
        EXPECT_EQ(request.scanOpts, 0x8001U) << "buffers are scanned with the buffer switches";
        return result;
    }
    // An object scan with fresh counters in report_ and its events alone in log_.
    int Scan(const std::string &path, uint32_t opts, int32_t action,
             std::vector<std::string> texts = {}, QL_PromptFn prompt = nullptr) {
        QL_ResetScanCounters(&report_);
        log_.clear();
        std::vector<const char *> pointers;
        for (const std::string &text : texts) {
            pointers.push_back(text.c_str());
        }
        ObjectRequest request{path.c_str(), opts, action, prompt};
        int result = QL_ScanObject(engine_.handle(), &request, &report_,
                                   static_cast<int>(pointers.size()), pointers.data());
        EXPECT_EQ(request.path, path.c_str()) << "the caller's path is back";
        return result;
    }
    std::vector<uint32_t> Counters() const {
        const ScanReport &r = report_;
        return {r.dirsScanned, r.objectsScanned,    r.cleanObjects,     r.infectedObjects,
                r.infections,  r.suspiciousObjects, r.encryptedObjects, r.corruptedObjects,
                r.scanErrors,  r.actionFailed};
    }
    // The first or the last event about an object ({} when there is none).
    SeenEvent About(const std::string &name, bool last = false) const {
        std::vector<SeenEvent> about = log_.about(name);
        return about.empty() ? SeenEvent{} : last ? about.back() : about.front();
    }
    // The name an engine gives an archive member.
    std::string Member(const std::string &archive, const std::string &member) const {
        return archive + (Kav() ? "=>" : "/") + member;
    }

    std::string top_;
    EventLog log_;
    ScanReport report_{};
};

TEST_P(ScanTest, HandleReportsItsLifeGivesItsPathsAndKeepsItsLog) {
    EventLog &events = EventLog::engine();
    events.clear();
    AVHandle handle = QL_InitAVHandle(engine_.confPath().c_str(), EventLog::onEngineEvent, 0);
    ASSERT_NE(handle, nullptr) << QL_GetErrorText();
    std::string log = engine_.path("/var/Quellar/var/log/handle.log");
    ASSERT_EQ(QL_OpenHandleLog(handle, log.c_str(), 4), 0);
    std::string sample = top_ + "/clean.txt";
    QuickRequest request{sample.data(), 0x1, QL_REQ_PATH};
    EXPECT_EQ(QL_QuickScan(handle, &request, log_.callback()), QL_RES_CLEAN);
    QL_DeinitAVHandle(handle, EventLog::onEngineEvent);
    EXPECT_EQ(events.events(), (std::vector<SeenEvent>{{"", QL_OBJ_ENGINE, QL_EV_ENGINE_INIT},
                                                       {"", QL_OBJ_ENGINE, QL_EV_ENGINE_READY},
                                                       {"", QL_OBJ_ENGINE, QL_EV_ENGINE_DOWN}}));
    EXPECT_NE(ql::test::readFile(log).find("Quick Scan Request for the file (" + sample + ")\n"),
              std::string::npos)
        << ql::test::readFile(log);

    char *paths = QL_GetScannerConf(engine_.confPath().c_str());
    ASSERT_NE(paths, nullptr);
    EXPECT_EQ(std::string(paths), Kav() ? engine_.socketPath() : engine_.pluginsDir());
    EXPECT_EQ(std::string(paths + QL_VALUE_MAX), Kav() ? engine_.pidPath() : engine_.tempDir());
    std::free(paths);
}

// Every row fails with its text before the engine sees anything.
TEST_P(ScanTest, BadArgumentsAndAMissingEngineFailBeforeAnyScan) {
    AVHandle handle = engine_.handle();
    std::string clean = top_ + "/clean.txt";
    std::string dir = top_ + "/sub";
    ASSERT_EQ(symlink(dir.c_str(), (dir + "/dirlink").c_str()), 0);
    QuickRequest cleanRequest{clean.data(), 0x1, QL_REQ_PATH};
    auto object = [&](const char *path) {
        ObjectRequest request{path, 0x1, QL_ACT_NONE, nullptr};
        ScanReport report{};
        return QL_ScanObject(handle, &request, &report, 0, nullptr);
    };
    char cwd[QL_PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(engine_.path("/opt").c_str()), 0);
    const std::string climb = "../../../../../../../../../../../../../../../../../../../../";
    const std::tuple<const char *, std::function<int()>, std::string> rows[] = {
        {"a link to one", [&] { return Quick(dir + "/dirlink", 0x9); }, "Invalid file or buffer"},
        {"a missing file", [&] { return Quick(dir + "/missing", 1); }, strerror(ENOENT)},
        {"below a file", [&] { return Quick(clean + "/x", 1); }, strerror(ENOTDIR)},
        {"climbing above /", [&] { return Quick(climb + "x", 1); }, "Absolute path required"},
        {"no handle", [&] { return QL_QuickScan(nullptr, nullptr, log_.callback()); },
         strerror(EINVAL)},
        {"no callback", [&] { return QL_QuickScan(handle, &cleanRequest, nullptr); },
         strerror(EINVAL)},
        {"no object path", [&] { return object(nullptr); }, strerror(EINVAL)},
        {"a missing object", [&] { return object("rel/missing"); }, strerror(ENOENT)},
        {"a relative configuration",
         [&] { return QL_InitAVHandle("etc/qorn.conf", nullptr, 0) ? 0 : -1; }, strerror(EINVAL)},
    };
    for (const auto &[what, call, text] : rows) {
        EXPECT_EQ(call(), -1) << what;
        EXPECT_EQ(QL_GetErrorText(), text) << what;
    }
    // Relative paths are taken from the current directory.
    EXPECT_EQ(Quick("../samples/tree/clean.txt", 1), QL_RES_CLEAN);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(log_.events().size() == 1) << "only the last scan reached the engine";

    // Without the engine the handle was made for, nothing is scanned.
    for (const char *version : {"0", Kav() ? "3" : "2"}) {
        engine_.writeVersion(version);
        EXPECT_EQ(Quick(clean, 1), -1) << version;
        EXPECT_STREQ(QL_GetErrorText(), "Unknown system type") << version;
        EXPECT_EQ(object(clean.c_str()), -1) << version;
        EXPECT_STREQ(QL_GetErrorText(), "Unknown system type") << version;
    }
    engine_.writeVersion("0");
    QL_SetError(QLE_ZERO_SIZE);
    EXPECT_EQ(QL_InitAVHandle(engine_.confPath().c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(QL_GetScannerConf(engine_.confPath().c_str()), nullptr);
    EXPECT_STREQ(QL_GetErrorText(), "File size is zero") << "no engine sets no error";
    engine_.writeVersion(Kav() ? "2" : "3");

    // Out of descriptors the version file cannot be opened: the system's failure, not a
    // missing engine.
    pid_t child = fork();
    if (child == 0) {
        rlimit few{32, 32};
        if (setrlimit(RLIMIT_NOFILE, &few) != 0) {
            _exit(2);
        }
        while (dup(0) >= 0) {
        }
        bool told = QL_QuickScan(handle, &cleanRequest, log_.callback()) == -1 &&
                    std::strcmp(QL_GetErrorText(), strerror(EMFILE)) == 0;
        _exit(told ? 0 : 1);
    }
    EXPECT_EQ(ql::test::waitForExit(child, 10000), 0) << "not \"Too many open files\"";
}

// The result of a quick scan and the last event it reported, on each engine.
struct Outcome {
    int result;
    int lastEvent;     // 0: no event
    std::string text;  // the infection name, or the message of a failure event
};
constexpr int kAsKav = -100;  // the BD core gives what the engine daemon gives
constexpr int kUncured = QL_EV_DISINFECT_FAILED;

TEST_P(ScanTest, EveryOutcomeGivesItsResultAndEvent) {
    std::string tar = ql::test::tarOf({{"a.txt", "hello"}, {"in/b.txt", ql::test::eicar()}});
    struct Row {
        std::string content;
        uint32_t opts;
        int stopOn;  // the event answered QL_CB_STOP, or 0
        Outcome kav, bd = {kAsKav, 0, ""};
    };
    const Row rows[] = {
        {"plain text", 1, 0, {0, QL_EV_CLEAN, ""}},
        {"x VIRUS-BYTES", 1, 0, {2, QL_EV_INFECTED, "Test-Virus"}},
        {"x STUBBORN-BYTES", 1, 0, {2, QL_EV_INFECTED, "Stubborn"}},
        {"ODD-BYTES", 1, 0, {4, QL_EV_SUSPICIOUS, "Odd-Thing"}},
        {"CURED-BYTES", 1, 0, {1, 0, ""}, {2, QL_EV_INFECTED, "Cured"}},
        {"LOCKED-BYTES", 1, 0, {8, QL_EV_FAILED, "Encrypted"}, {8, QL_EV_ENCRYPTED, ""}},
        {"BROKEN-BYTES", 1, 0, {16, QL_EV_FAILED, "Corrupt"}, {16, QL_EV_CORRUPTED, ""}},
        {"TROUBLE-BYTES", 1, 0, {32, QL_EV_FAILED, ""}, {-1, 0, "Scan request failed"}},
        {"SLOW-BYTES", 1, 0, {0, QL_EV_CLEAN, ""}},
        {tar, 1, 0, {2, QL_EV_INFECTED, kEicarName}},
        // The engine daemon's reply goes on to its final line past a member's stop answer.
        {tar, 1, QL_EV_INFECTED, {2, QL_EV_INFECTED, kEicarName}, {64, QL_EV_INFECTED, kEicarName}},
        {"plain text", 1, QL_EV_CLEAN, {64, QL_EV_CLEAN, ""}},
        // Letting the engine disinfect: what it cured, and what it could not.
        {"CURED-BYTES", 2, 0, {1, 0, ""}, {1, QL_EV_DISINFECTED, "Cured"}},
        {"STUBBORN-BYTES", 2, 0, {2, QL_EV_INFECTED, "Stubborn"}, {2, kUncured, "Stubborn"}},
        {ql::test::eicar(), 2, 0, {2, QL_EV_INFECTED, kEicarName}, {2, kUncured, kEicarName}},
    };
    int n = 0;
    for (const Row &row : rows) {
        const Outcome &want = Kav() || row.bd.result == kAsKav ? row.kav : row.bd;
        std::string path = engine_.sample("f" + std::to_string(n++), row.content);
        log_.clear();
        log_.answer(row.stopOn, row.stopOn != 0 ? QL_CB_STOP : 0);
        std::string label = row.content.substr(0, 20) + " opts " + std::to_string(row.opts);
        int result = Quick(path, row.opts);
        SeenEvent last = log_.events().empty() ? SeenEvent{} : log_.events().back();
        std::string text = result < 0                   ? QL_GetErrorText()
                           : last.event == QL_EV_FAILED ? last.message
                                                        : last.infection;
        // An archive's finding is named by its member with the engine daemon, by the path
        // scanned with the core.
        std::string name = path + (row.content == tar && Kav() ? "=>in/b.txt" : "");
        EXPECT_EQ(
            std::tuple(result, last.event, text, last.name),
            std::tuple(want.result, want.lastEvent, want.text, want.lastEvent == 0 ? "" : name))
            << label;
    }
}

TEST_P(ScanTest, BuffersAndDescriptorsAreScannedWholeUpToTheirEnd) {
    // One chunk, then two chunks whose infection straddles them: the accumulated buffer is
    // freed after the last.
    std::string eicar = ql::test::eicar(), whole = "mail " + eicar;
    BufferObject one{whole.data(), static_cast<int32_t>(whole.size()), 7, nullptr, 0, 0};
    EXPECT_EQ(Buffer(one), QL_RES_INFECTED);
    EXPECT_EQ(one.accum, nullptr);
    std::string first = std::string(80, '.') + eicar.substr(0, 20), second = eicar.substr(20);
    BufferObject two{first.data(), 100, 8, nullptr, 0, 1};
    EXPECT_EQ(Buffer(two), QL_RES_CLEAN);
    two = {second.data(), static_cast<int32_t>(second.size()), 8, two.accum, two.accumLen, 0};
    EXPECT_EQ(Buffer(two), QL_RES_INFECTED);
    EXPECT_EQ((std::pair(two.accum, two.accumLen)), (std::pair<void *, uint32_t>(nullptr, 0)));
    // The engine daemon reads a temporary file of the buffer's id (removed after: the
    // hostile-input suite).
    std::string temp = engine_.path("/var/Quellar/var/tmp/scan_8.tmp");
    ASSERT_FALSE(log_.events().empty());
    EXPECT_EQ(log_.events().back(),
              (SeenEvent{Kav() ? temp : "Unknown", QL_OBJ_BUFFER, QL_EV_INFECTED, kEicarName}));

    char nothing = 0;
    BufferObject empty{&nothing, 0, 9, nullptr, 0, 0};
    EXPECT_EQ(Buffer(empty), Kav() ? -1 : QL_RES_CLEAN) << "an empty buffer";
    EXPECT_TRUE(!Kav() || ql::lastErrorCode() == QLE_ZERO_SIZE);
    EXPECT_EQ(empty.accum, nullptr);

    std::string path = engine_.sample("tail.bin", std::string(100, '.') + eicar);
    ql::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char name[] = "tail.bin";
    // The core reads a descriptor up to the size given; the engine daemon reads the whole file.
    for (uint32_t size : {168u, 100u}) {
        DescriptorObject descriptor{name, fd.get(), size};
        QuickRequest request{&descriptor, 0x1, QL_REQ_DESCRIPTOR};
        log_.clear();
        EXPECT_EQ(QL_QuickScan(engine_.handle(), &request, log_.callback()),
                  size == 168 || Kav() ? QL_RES_INFECTED : QL_RES_CLEAN)
            << size;
        ASSERT_EQ(log_.events().size(), 1u) << size;
        EXPECT_EQ(log_.events()[0].kind, Kav() ? QL_OBJ_FILE : QL_OBJ_DESCRIPTOR) << size;
    }
    // Objects that cannot be scanned.
    BufferObject noBuffer{nullptr, 1, 0, nullptr, 0, 0};
    DescriptorObject noFd{nullptr, -1, 0};
    const std::pair<QuickRequest, int> refused[] = {
        {{&noBuffer, 0, QL_REQ_BUFFER}, EINVAL},
        {{&noFd, 0x1, QL_REQ_DESCRIPTOR}, EINVAL},
        {{name, 0x1, QL_REQ_UNSET}, ENOSYS},
    };
    for (auto [request, error] : refused) {
        EXPECT_EQ(QL_QuickScan(engine_.handle(), &request, log_.callback()), -1) << request.type;
        EXPECT_STREQ(QL_GetErrorText(), strerror(error)) << request.type;
    }
}

constexpr int kEveryKind =
    QL_RES_INFECTED | QL_RES_SUSPICIOUS | QL_RES_ENCRYPTED | QL_RES_CORRUPTED;

TEST_P(ScanTest, TreeScanReportsEveryFindingAndWalkRulesLeaveOutFilesAndDirectories) {
    std::string sub = top_ + "/sub";
    ASSERT_EQ(symlink((top_ + "/virus.com").c_str(), (top_ + "/link.com").c_str()), 0);
    ASSERT_EQ(symlink(top_.c_str(), (sub + "/loop").c_str()), 0);
    ASSERT_EQ(mkfifo((top_ + "/pipe").c_str(), 0600), 0);
    // As one object handed to the engine, then level by level through a scan tree, where the
    // linked file is scanned once and the link back to the top is not entered again. The core
    // counts the archive's members as objects too.
    const uint32_t members = Kav() ? 0 : 2;
    for (uint32_t opts : {0x1u, 0x1u | QL_OPT_LINK}) {
        const uint32_t linked = opts == 0x1 ? 0 : 1;
        EXPECT_EQ(Scan(top_, opts, QL_ACT_NONE), kEveryKind) << opts;
        // Directories, objects, clean, infected, infections, suspicious, encrypted, corrupted,
        // scan errors and failed actions.
        EXPECT_EQ(Counters(),
                  (std::vector<uint32_t>{2, 7 + linked + members, 1 + members / 2, 3 + linked,
                                         3 + linked + members / 2, 1, 1, 1, 0, 0}))
            << opts;
        std::string pack = top_ + "/pack.tar", bad = Member(pack, "bad.bin");
        std::string virus = top_ + "/virus.com";
        EXPECT_EQ(About(bad), (SeenEvent{bad, QL_OBJ_FILE, QL_EV_INFECTED, "Test-Virus"})) << opts;
        EXPECT_EQ(About(pack), (SeenEvent{pack, QL_OBJ_ARCHIVE, QL_EV_INFECTED, "Test-Virus"}));
        EXPECT_EQ(About(virus), (SeenEvent{virus, QL_OBJ_FILE, QL_EV_INFECTED, "Test-Virus"}));
    }
    // The walk rules as qlscan's options apply them are seen through qlscan; an excluded top
    // is not.
    if (Kav()) {  // the core applies the list only below the folder it is given
        EXPECT_EQ(Scan(sub, 0x1 | QL_OPT_SKIP_DIRS, QL_ACT_NONE, {"XDIR::" + sub}), 0)
            << "an excluded top";
    }
    EXPECT_EQ(Scan(top_ + "/pipe", 0x1, QL_ACT_NONE), 0) << "a pipe";
    EXPECT_TRUE(log_.events().empty());
    // A link given as the object is scanned through its target only when asked (an object scan
    // that follows it: qlscan --follow-links).
    std::string link = top_ + "/link.com";
    EXPECT_EQ(Scan(link, 0x1, QL_ACT_NONE), 0);
    EXPECT_EQ(Quick(link, 0x1), 0);
    EXPECT_TRUE(log_.events().empty()) << "a link without QL_OPT_LINK is not scanned";
    EXPECT_EQ(Quick(link, 0x9), QL_RES_INFECTED);
}

// Actions that succeed are seen through qlscan; a quarantine folder that is missing cannot be
// given there.
TEST_P(ScanTest, QuarantineIntoAMissingFolderFailsCountedAndReported) {
    for (auto [name, kind] : {std::pair{"virus.com", QL_OBJ_FILE}, {"pack.tar", QL_OBJ_ARCHIVE}}) {
        std::string file = top_ + "/" + name;
        EXPECT_EQ(Scan(file, 0x1, QL_ACT_QUARANTINE, {"QDIR::/nonexistent-ql"}), QL_RES_INFECTED);
        EXPECT_TRUE(exists(file)) << name;
        EXPECT_EQ(std::tuple(report_.actionFailed, About(file, true).event, About(file, true).kind),
                  std::tuple(1u, QL_EV_QUARANTINE_FAILED, kind))
            << name;
    }
}

int quarantineElsewhere(const char *, char *argument) {
    ql::copyBounded(argument, QL_PATH_MAX, "/nowhere");
    return QL_ACT_QUARANTINE;
}
int renameWithASlash(const char *, char *argument) {
    ql::copyBounded(argument, QL_PATH_MAX, "../escape");
    return QL_ACT_RENAME;
}

// The engine daemon's walk takes its own folder and extension for what the prompt chose; the
// core takes the prompt's.
TEST_P(ScanTest, PromptChoosesTheAction) {
    std::string file = top_ + "/virus.com";
    struct Expected {
        bool stays;
        int event;
        int result = QL_RES_INFECTED;
    };
    const std::tuple<QL_PromptFn, Expected, Expected> rows[] = {
        // the prompt; KAV, BD
        {quarantineElsewhere, {false, QL_EV_QUARANTINED}, {true, QL_EV_QUARANTINE_FAILED}},
        {renameWithASlash, {false, QL_EV_RENAMED}, {true, QL_EV_RENAME_FAILED}},
        {[](const char *, char *) { return 7; }, {true, QL_EV_FAILED}, {true, 0}},  // nonsense
        {[](const char *, char *) { return 5; }, {true, QL_EV_FAILED}, {true, 0, QL_RES_STOPPED}},
        {nullptr, {true, 0}, {true, 0}},
    };
    for (const auto &[prompt, kav, bd] : rows) {
        const Expected &want = Kav() ? kav : bd;
        ql::test::writeFile(file, "VIRUS-BYTES");
        EXPECT_EQ(Scan(file, 0x1, QL_ACT_PROMPT, {}, prompt), want.result);
        EXPECT_EQ(exists(file), want.stays) << want.event;
        if (want.event != 0) {
            EXPECT_EQ(About(file, true).event, want.event);
            EXPECT_EQ(report_.actionFailed, want.stays ? 1u : 0u) << want.event;
        }
    }
    if (Kav()) {
        EXPECT_TRUE(exists(engine_.path("/var/Quellar/var/quarantine/kestra/virus.com")));
        EXPECT_TRUE(exists(file + ".qlt"));
    }
}

TEST_P(ScanTest, StopAnswerEndsTheWalkAndTheHandleStaysUsable) {
    for (const char *name : {"a/1.com", "a/2.com", "b/3.com"}) {
        engine_.sample(std::string("stops/") + name, ql::test::eicar());
    }
    // Deletions in directory "a" are answered with a stop.
    log_.onSeen([this](const SeenEvent &event) {
        log_.answer(QL_EV_DELETED, event.name.find("/a/") != std::string::npos ? QL_CB_STOP : 0);
    });
    std::string stops = engine_.path("/samples/stops");
    // The engine daemon's walk ends at the stop; the core's ends that directory's scan and the
    // tree goes on, its result the union of its directories'.
    EXPECT_EQ(Scan(stops, 0x1 | QL_OPT_LINK, QL_ACT_DELETE),
              Kav() ? QL_RES_STOPPED : QL_RES_STOPPED | QL_RES_INFECTED);
    EXPECT_NE(exists(stops + "/a/1.com"), exists(stops + "/a/2.com")) << "a stops at its first";
    EXPECT_TRUE(Kav() || !exists(stops + "/b/3.com"));
    // Through one object, stopped at its first action.
    log_.onSeen(nullptr);
    for (int i = 0; i < 20; ++i) {
        engine_.sample("many/f" + std::to_string(i), i == 5 ? "VIRUS-BYTES" : "clean");
    }
    log_.answer(QL_EV_DELETED, QL_CB_STOP);
    EXPECT_EQ(Scan(engine_.path("/samples/many"), 0x1, QL_ACT_DELETE), QL_RES_STOPPED);
    EXPECT_LT(report_.objectsScanned, 20u);
    EXPECT_EQ(report_.deletedObjects, 1u);
    log_.answer(QL_EV_DELETED, 0);
    engine_.sample("many/f5", "VIRUS-BYTES");
    EXPECT_EQ(Scan(engine_.path("/samples/many"), 0x1, QL_ACT_NONE), QL_RES_INFECTED);
    EXPECT_EQ(report_.objectsScanned, 20u);
}

// Twenty threads, three rounds each, on one handle: quick scans of files of each verdict, and on
// every fifth thread object scans of the tree; each gets its own verdict, events and counters.
TEST_P(ScanTest, TwentyThreadsShareOneHandle) {
    AVHandle handle = engine_.handle();
    ASSERT_EQ(Scan(top_, 0x1, QL_ACT_NONE), kEveryKind);
    const std::size_t treeEvents = log_.events().size();
    const char *contents[] = {"SLOW-BYTES VIRUS-BYTES", "SLOW-BYTES ODD-BYTES", "SLOW-BYTES"};
    const int expected[] = {QL_RES_INFECTED, QL_RES_SUSPICIOUS, QL_RES_CLEAN};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 20; ++i) {
        std::string file = engine_.sample("t" + std::to_string(i), contents[i % 3]);
        threads.emplace_back([&, i, file]() mutable {
            for (int round = 0; round < 3; ++round) {
                EventLog log;
                QuickRequest quick{file.data(), 1, QL_REQ_PATH};
                ObjectRequest object{top_.c_str(), 1, QL_ACT_NONE, nullptr};
                ScanReport report{};
                report.events = *log.callback();
                bool same =
                    i % 5 == 4
                        ? QL_ScanObject(handle, &object, &report, 0, nullptr) == kEveryKind &&
                              report.infectedObjects == 3 && report.dirsScanned == 2 &&
                              log.events().size() == treeEvents
                        : QL_QuickScan(handle, &quick, log.callback()) == expected[i % 3] &&
                              log.events().size() == 1 && log.about(file).size() == 1;
                mismatches += same ? 0 : 1;
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(BothEngines, ScanTest, ql::test::kBothEngines, ql::test::engineName);

}  // namespace
