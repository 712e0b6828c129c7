// Process scans through the public call on the machine's real process table: what each engine
// reports about processes with infected executables or open files, processes in another mount
// namespace, a process gone mid-walk, stops, refusals, and qlscan --processes end to end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "ql/qlscan.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/events.h"
#include "tests/support/programs.h"

namespace {

using ql::test::Engine;
using ql::test::EventLog;
using ql::test::SeenEvent;

constexpr int kBoundMs = 5000;
constexpr const char *kEicarName = "EICAR-Test-File";

// A running program (argument 60) with descriptors 0 and 1 reading fd0 and fd1, 2 on /dev/null
// and nothing else open; killed and reaped when it goes. With inner, it runs in a private mount
// namespace where inner is bound over the program's folder: it runs and reads what inner holds,
// while this process sees, at the same paths, what the folder holds outside.
class Child {
  public:
    Child(const std::string &program, const std::string &fd0, const std::string &fd1,
          const std::string &inner = "") {
        std::string dir = program.substr(0, program.rfind('/'));
        pid_ = fork();
        if (pid_ == 0) {
            const char *argv[] = {program.c_str(), "60", nullptr};
            bool ready = inner.empty() ||
                         (unshare(CLONE_NEWNS) == 0 &&
                          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                          mount(inner.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0);
            int in0 = open(fd0.c_str(), O_RDONLY);
            int in1 = open(fd1.c_str(), O_RDONLY);
            int null = open("/dev/null", O_WRONLY);
            if (!ready || in0 < 0 || in1 < 0 || null < 0 || dup2(in0, 0) < 0 || dup2(in1, 1) < 0 ||
                dup2(null, 2) < 0) {
                _exit(126);
            }
            close_range(3, ~0U, 0);
            execv(argv[0], const_cast<char *const *>(argv));
            _exit(127);
        }
        // It runs once its executable is the program's (the test's own until it execs).
        std::string link = "/proc/" + pidText() + "/exe", name = program.substr(dir.size());
        auto execed = [&] {
            char exe[PATH_MAX];
            ssize_t n = readlink(link.c_str(), exe, sizeof exe);
            return n > 0 && std::string_view(exe, static_cast<std::size_t>(n)).ends_with(name);
        };
        running_ = pid_ > 0 && ql::test::waitUntil(execed, kBoundMs);
    }
    ~Child() { stop(); }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool running() const { return running_; }
    std::string pidText() const { return std::to_string(pid_); }
    // Kill and reap it (its /proc entry goes); once.
    void stop() {
        if (pid_ > 0 && !std::exchange(stopped_, true)) {
            kill(pid_, SIGKILL);
            EXPECT_GE(ql::test::waitForExit(pid_, kBoundMs), 0) << "child " << pid_;
        }
    }

  private:
    pid_t pid_ = -1;
    bool running_ = false;
    bool stopped_ = false;
};

// Two children on the machine's process table: one whose executable carries the EICAR string
// (a copy of sleep with it appended), holding a clean file open; and a plain sleep holding an
// EICAR file open, then a clean one. The scanning process itself holds an EICAR file open too.
class ProcessScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clean_ = engine_.sample("clean.txt", "nothing to see here\n");
        infectedFile_ = engine_.sample("infected.txt", ql::test::eicar());
        infectedProgram_ = Program("infected-sleep", ql::test::eicar());
        ownInfected_ = ql::UniqueFd(open(infectedFile_.c_str(), O_RDONLY | O_CLOEXEC));
        // A clean file after it: a KAV walk ends after a process whose last open file is a
        // finding, and a second run of this test may be scanning this process.
        ql::UniqueFd clean(open(clean_.c_str(), O_RDONLY | O_CLOEXEC));
        ownClean_ = ql::UniqueFd(fcntl(clean.get(), F_DUPFD_CLOEXEC, ownInfected_.get() + 1));
        ASSERT_TRUE(ownInfected_ && ownClean_);
        infectedExe_.emplace(infectedProgram_, clean_, "/dev/null");
        openInfected_.emplace("/bin/sleep", infectedFile_, clean_);
        ASSERT_TRUE(infectedExe_->running() && openInfected_->running());
    }

    // A copy of sleep with tail appended, made executable; its path.
    std::string Program(const std::string &name, const std::string &tail) {
        std::string path = engine_.sample(name, ql::test::readFile("/bin/sleep") + tail);
        EXPECT_EQ(chmod(path.c_str(), 0755), 0);
        return path;
    }

    // A walk on the engine's handle, its slot reset first.
    int scan(uint8_t openFiles, EventLog &log) {
        slot_ = -1;
        return QL_ScanProcesses(engine_.handle(), &slot_, openFiles, log.fn(), log.user());
    }

    // Checks every walk shares: start first and end last, once each, and nothing about the
    // scanning process itself.
    static void expectFramed(const std::vector<SeenEvent> &events, const std::string &label) {
        ASSERT_GE(events.size(), 2u) << label;
        EXPECT_EQ(events.front(), (SeenEvent{"", QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_START}))
            << label;
        EXPECT_EQ(events.back(), (SeenEvent{"", QL_OBJ_PROCESS, QL_EV_PROCESS_SCAN_END})) << label;
        for (std::size_t i = 1; i + 1 < events.size(); ++i) {
            EXPECT_GT(pidIn(events[i].name), 0) << label << " " << events[i];
            EXPECT_NE(pidIn(events[i].name), getpid()) << label << " " << events[i];
        }
    }

    // The pid in an object name: the pid text or the label "(<pid>)FD:<fd>".
    static int pidIn(const std::string &name) {
        return std::atoi(name.c_str() + (name.rfind('(', 0) == 0 ? 1 : 0));
    }

    ql::test::EngineRoot engine_;
    std::string clean_, infectedFile_, infectedProgram_;
    ql::UniqueFd ownInfected_, ownClean_;
    std::optional<Child> infectedExe_, openInfected_;
    int32_t slot_ = -1;
};

TEST_F(ProcessScanTest, KavWalkGoesOnPastAProcessItCouldNotFinish) {
    ASSERT_TRUE(engine_.up(Engine::Kav, "drop\tCut\ttext:CUT-REPLY\n"));
    std::string dropping = Program("dropping-sleep", "CUT-REPLY");
    // In the walk's order: one gone once its executable is reported, one whose executable gets
    // no complete reply while it holds an infected file open, then one more infected.
    Child gone(infectedProgram_, clean_, "/dev/null");
    Child unanswered(dropping, infectedFile_, clean_);
    Child after(infectedProgram_, clean_, "/dev/null");
    ASSERT_TRUE(gone.running() && unanswered.running() && after.running());

    EventLog log;
    log.onSeen([&gone](const SeenEvent &event) {
        if (event.name == gone.pidText() && event.kind == QL_OBJ_PROCESS) {
            gone.stop();
        }
    });
    scan(1, log);
    EXPECT_EQ(log.about(gone.pidText()),
              (std::vector<SeenEvent>{
                  {gone.pidText(), QL_OBJ_PROCESS, QL_RES_INFECTED, kEicarName},
                  {gone.pidText(), QL_OBJ_PROCESS_FILE, QL_RES_ERROR, "", strerror(ENOENT)}}));
    ASSERT_EQ(log.about(unanswered.pidText()).size(), 1u) << "its open files are not scanned";
    EXPECT_EQ(log.about(unanswered.pidText())[0].kind, QL_OBJ_PROCESS);
    EXPECT_EQ(log.about(unanswered.pidText())[0].event, QL_RES_ERROR);
    const SeenEvent afterFound{after.pidText(), QL_OBJ_PROCESS, QL_RES_INFECTED, kEicarName};
    EXPECT_GT(std::ranges::count(log.events(), afterFound), 0) << "the walk goes on";
}

// The process scan on each engine.
class ProcessScanEngineTest : public ProcessScanTest,
                              public ::testing::WithParamInterface<Engine> {};

// What each engine reports about the two children, with and without their open files: the
// engine daemon reports with result codes and ends each process with a done event, the core
// reports each executable and labels each open file. (QL_RES_INFECTED, the engine daemon's
// code, is the core's QL_EV_INFECTED.)
TEST_P(ProcessScanEngineTest, WalkReportsInfectedExecutablesAndOpenFiles) {
    const bool kav = GetParam() == Engine::Kav;
    ASSERT_TRUE(engine_.up(GetParam()));
    const std::string a = infectedExe_->pidText(), b = openInfected_->pidText();
    for (uint8_t openFiles : {0, 1}) {
        std::string label = "open files " + std::to_string(openFiles);
        EventLog log;
        int result = scan(openFiles, log);
        std::vector<SeenEvent> events = log.events();
        expectFramed(events, label);
        std::vector<SeenEvent> wantA{{a, QL_OBJ_PROCESS, QL_EV_INFECTED, kEicarName}}, wantB;
        if (!kav) {
            wantB.push_back({b, QL_OBJ_PROCESS, QL_EV_CLEAN});
        }
        if (openFiles != 0 && kav) {
            // A's open file is clean, so the done event carries A's own finding.
            wantA.push_back({a, QL_OBJ_PROCESS_FILE, QL_RES_INFECTED});
            wantB = {{b, QL_OBJ_PROCESS_FILE, QL_RES_INFECTED, kEicarName},
                     {b, QL_OBJ_PROCESS_FILE, QL_RES_INFECTED}};
        } else if (openFiles != 0) {
            wantA.push_back({"(" + a + ")FD:0", QL_OBJ_PROCESS_FILE, QL_EV_CLEAN});
            // The infected file ends the scan of B's open files: FD:1 is not scanned.
            wantB.push_back({"(" + b + ")FD:0", QL_OBJ_PROCESS_FILE, QL_EV_INFECTED, kEicarName});
        }
        EXPECT_EQ(log.about(a), wantA) << label;
        EXPECT_EQ(log.about(b), wantB) << label;
        // The slot names the last finding's process; the result is the last finding's with the
        // engine daemon, the last object's own with the core.
        const SeenEvent *last = nullptr;
        for (const SeenEvent &event : events) {
            last = event.infection.empty() ? last : &event;
        }
        ASSERT_NE(last, nullptr) << label;
        EXPECT_EQ(slot_, pidIn(last->name)) << label;
        const SeenEvent &lastObject = events[events.size() - 2];
        int expected = kav ? last->event : lastObject.event == QL_EV_CLEAN ? 0 : lastObject.event;
        EXPECT_EQ(result, expected) << label << " " << lastObject;
    }

    EventLog stopping;
    stopping.answer(QL_EV_INFECTED, QL_CB_STOP);
    EXPECT_EQ(scan(1, stopping), QL_RES_STOPPED);
    std::vector<SeenEvent> events = stopping.events();
    expectFramed(events, "stop");
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 2].event, QL_EV_INFECTED) << "the walk ends at the stop";
    if (kav) {
        return;  // a stop at the start and qlscan's report are seen on the core
    }
    EventLog atStart;
    atStart.answer(QL_EV_PROCESS_SCAN_START, QL_CB_STOP);
    EXPECT_EQ(scan(0, atStart), QL_RES_STOPPED);
    EXPECT_EQ(atStart.events().size(), 1u) << "a stop at the start scans nothing";

    // qlscan end to end; the executable deleted while it runs is still reached through its link.
    ASSERT_EQ(unlink(infectedProgram_.c_str()), 0);
    ql::test::Outcome run = ql::test::runProgram(ql::test::builtProgram("qlscan"), {"--processes"});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    std::string found = "pid " + a + " " + infectedProgram_ + " (deleted): " + kEicarName;
    EXPECT_NE(run.out.find(found + " FOUND\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("infected process: "), std::string::npos) << run.out;
}

TEST_P(ProcessScanEngineTest, ProcessInAnotherMountNamespaceIsScannedThroughItsLinks) {
    ASSERT_TRUE(engine_.up(GetParam()));
    // Inside: the infected program reading an EICAR file, then a clean one (a KAV walk that ends
    // at a process whose last open file is a finding would miss other tests' processes).
    Program("inner/prog", ql::test::eicar());
    engine_.sample("inner/data", ql::test::eicar());
    engine_.sample("inner/clean", "clean\n");
    // Outside, at the same paths: a clean decoy, or a link loop where the executable was.
    std::vector<std::pair<std::string, std::unique_ptr<Child>>> children;
    for (std::string outside : {"decoy", "loop"}) {
        std::string dir = engine_.path("/samples/" + outside);
        engine_.sample(outside + "/data", "a clean decoy\n");
        engine_.sample(outside + "/clean", "clean\n");
        if (outside == "loop") {
            ASSERT_EQ(symlink("prog", (dir + "/prog").c_str()), 0);
        } else {
            Program(outside + "/prog", "");
        }
        children.emplace_back(outside,
                              std::make_unique<Child>(dir + "/prog", dir + "/data", dir + "/clean",
                                                      engine_.path("/samples/inner")));
        if (!children.back().second->running()) {
            GTEST_SKIP() << "no private mount namespace here";
        }
    }
    EventLog log;
    scan(1, log);
    for (const auto &[outside, child] : children) {
        const std::string pid = child->pidText();
        std::vector<SeenEvent> events = log.about(pid);
        std::string file = GetParam() == Engine::Kav ? pid : "(" + pid + ")FD:0";
        for (const SeenEvent &found : {SeenEvent{pid, QL_OBJ_PROCESS, QL_RES_INFECTED, kEicarName},
                                       {file, QL_OBJ_PROCESS_FILE, QL_EV_INFECTED, kEicarName}}) {
            EXPECT_GT(std::ranges::count(events, found), 0) << outside << " " << found;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothEngines, ProcessScanEngineTest, ql::test::kBothEngines,
                         ql::test::engineName);

TEST_F(ProcessScanTest, RefusedWalksScanNothing) {
    ASSERT_TRUE(engine_.up(Engine::Bd));
    EventLog log;
    EXPECT_EQ(QL_ScanProcesses(engine_.handle(), nullptr, 1, log.fn(), log.user()), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(QL_ScanProcesses(nullptr, &slot_, 1, log.fn(), log.user()), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    engine_.writeVersion("0");
    slot_ = 7;
    EXPECT_EQ(QL_ScanProcesses(engine_.handle(), &slot_, 1, log.fn(), log.user()), -1);
    EXPECT_EQ(ql::lastErrorCode(), QLE_UNKNOWN_SYSTEM);
    EXPECT_EQ(slot_, 7);
    EXPECT_TRUE(log.events().empty()) << log.events().front();
}

}  // namespace
