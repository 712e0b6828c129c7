#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/daemon_fixture.h"

namespace {

// A group other than the test's own when there is one it may give a file (any for root).
gid_t otherGroup(std::string &name) {
    const char *candidates[] = {"daemon", "adm", "nogroup", "users"};
    std::vector<gid_t> mine(static_cast<std::size_t>(getgroups(0, nullptr)) + 1);
    mine.resize(static_cast<std::size_t>(getgroups(static_cast<int>(mine.size()), mine.data())));
    for (const char *candidate : candidates) {
        group *entry = getgrnam(candidate);
        if (entry == nullptr || entry->gr_gid == getegid()) {
            continue;
        }
        bool member = geteuid() == 0;
        for (gid_t gid : mine) {
            member = member || gid == entry->gr_gid;
        }
        if (member) {
            name = candidate;
            return entry->gr_gid;
        }
    }
    name = getgrgid(getegid()) != nullptr ? getgrgid(getegid())->gr_name : "";
    return getegid();
}

using ql::test::DaemonFixture;
using ql::test::Engine;

constexpr const char *kMissing = "1 No such file or directory\n";
constexpr const char *kInfected = "1 EICAR-Test-File\n";

// Requests and replies that do not depend on the engine, run against both.
class InterfacedTest : public DaemonFixture, public ::testing::WithParamInterface<Engine> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(UseEngine(GetParam(), GetParam() == Engine::Kav
                                              ? "error5xx:501:Engine broke\tBroken\ttext:BREAKME\n"
                                              : "error\tBroken\ttext:BREAKME\n"));
        ASSERT_EQ(0, StartDaemon());
        clean_ = WriteSample("clean.txt", "nothing to see here\n");
        infected_ = WriteSample("eicar.com", ql::test::eicar());
    }
    std::string clean_;
    std::string infected_;
};

TEST_P(InterfacedTest, CleanFileIsAnsweredWithZero) {
    EXPECT_EQ("0\n", Ask(clean_ + "\n"));
}

TEST_P(InterfacedTest, InfectedFileSentWithCrLfIsNamed) {
    EXPECT_EQ(kInfected, Ask(infected_ + "\r\n"));
}

TEST_P(InterfacedTest, MissingFileAndDirectoryAreRefused) {
    EXPECT_EQ(kMissing, Ask(root_.path("/samples/missing")));
    EXPECT_EQ("1 Invalid file or buffer\n", Ask(root_.path("/samples")));
}

TEST_P(InterfacedTest, EmptyRequestIsAnsweredMissing) {
    int fd = ConnectSilently();
    ASSERT_GE(fd, 0);
    shutdown(fd, SHUT_WR);
    char reply[64] = {};
    EXPECT_GT(recv(fd, reply, sizeof reply - 1, 0), 0);
    EXPECT_STREQ(kMissing, reply);
    close(fd);
}

TEST_P(InterfacedTest, ClientGoneBeforeTheReplyIsASendError) {
    int fd = ConnectSilently();
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(WaitForLog("Instance-0: Send Err: "));
    EXPECT_EQ("0\n", Ask(clean_));
}

TEST_P(InterfacedTest, RelativePathCountsFromTheRoot) {
    EXPECT_EQ(kInfected, Ask(infected_.substr(1)));
}

TEST_P(InterfacedTest, LinkIsScannedThroughItsTarget) {
    std::string link = root_.path("/samples/link");
    ASSERT_EQ(0, symlink(infected_.c_str(), link.c_str()));
    EXPECT_EQ(kInfected, Ask(link));
}

// t/link -> real/dir and t/real/dir/f -> ../x: the kernel opens t/real/x for t/link/f, not the
// clean t/x beside the link.
TEST_P(InterfacedTest, LinkBelowALinkedDirectoryIsScannedWhereTheKernelOpensIt) {
    WriteSample("t/real/x", ql::test::eicar());
    WriteSample("t/x", "clean decoy\n");
    mkdir(root_.path("/samples/t/real/dir").c_str(), 0700);
    ASSERT_EQ(0, symlink("real/dir", root_.path("/samples/t/link").c_str()));
    ASSERT_EQ(0, symlink("../x", root_.path("/samples/t/real/dir/f").c_str()));
    EXPECT_EQ(kInfected, Ask(root_.path("/samples/t/link/f")));
}

// tar writes out what these archives hold although a member listing does not see it: members
// after a lone zero block, and a member of a type the listing passes over (extracted as a
// regular file), holding the infection or a whole infected member.
TEST_P(InterfacedTest, ContainerFramingHidesNoInfection) {
    const std::string end(1024, '\0');
    const std::string infected = ql::test::tarEntry("v.com", ql::test::eicar());
    const std::string mime = "MIME-Version: 1.0\n";
    const std::pair<const char *, std::string> rows[] = {
        {"preamble.eml", mime + "Content-Type: multipart/mixed; boundary=\"b\"\n\n" +
                             ql::test::eicar() + "\n--b\nContent-Type: text/plain\n\nhi\n--b--\n"},
        {"claimed-base64.eml",
         mime + "Content-Transfer-Encoding: base64\n\n" + ql::test::eicar() + "\n"},
        {"zero-block.tar",
         ql::test::tarEntry("a.txt", "plain") + std::string(512, '\0') + infected + end},
        {"other-type.tar", ql::test::tarEntry("x", ql::test::eicar(), 'Z') + end},
        {"wrapped.tar", ql::test::tarEntry("x", infected, 'Z') + end},
    };
    for (const auto &[name, bytes] : rows) {
        EXPECT_EQ(kInfected, Ask(WriteSample(name, bytes))) << name;
    }
}

TEST_P(InterfacedTest, OverlongRequestIsCutAndRefused) {
    EXPECT_EQ("1 File name too long\n", Ask("/" + std::string(3000, 'a')));
}

TEST_P(InterfacedTest, EngineErrorTextReachesTheClient) {
    // The engine daemon reports its failure line as the object's result; the core fails the call.
    std::string broken = WriteSample("broken.bin", "xxBREAKMExx");
    EXPECT_EQ(GetParam() == Engine::Kav ? "1 Engine broke\n" : "1 Scan request failed\n",
              Ask(broken));
}

TEST_P(InterfacedTest, TaggedErrorRepliesAreMarkedAndInfectionsAreNot) {
    ASSERT_EQ(0, StopDaemon(SIGTERM));
    WriteInterfaceConf("[postwicker]\nRequestTimeout=2\nTagErrorReplies = yes\n");
    ASSERT_EQ(0, StartDaemon());
    const std::pair<std::string, std::string> rows[] = {
        {clean_, "0\n"},
        {infected_, kInfected},
        {root_.path("/samples/missing"), "1 ERROR: No such file or directory\n"},
        {root_.path("/samples"), "1 ERROR: Invalid file or buffer\n"},
        {WriteSample("broken.bin", "xxBREAKMExx"),
         GetParam() == Engine::Kav ? "1 ERROR: Engine broke\n" : "1 ERROR: Scan request failed\n"},
    };
    for (const auto &[request, reply] : rows) {
        EXPECT_EQ(reply, Ask(request)) << request;
    }
}

TEST_P(InterfacedTest, RequestIsLoggedStepByStep) {
    ASSERT_EQ("0\n", Ask(clean_ + "\n"));
    ASSERT_EQ(0, StopDaemon(SIGTERM));
    std::string expected =
        "Instance 0 free to process\n"
        "Instance-0: Connected (1).....\n"
        "Instance-0: Request = " +
        clean_ + "\\n, n = " + std::to_string(clean_.size() + 1) +
        "\n"
        "Instance-0: file " +
        clean_ + "\n" + "Instance-0: Sending for scan - " + clean_ + "\n" +
        "Instance-0: Returned from scan 0\n"
        "Instance-0: msg = 0\n\n"
        "Instance-0: Sending: 0\n\n"
        "Instance-0: Sent\n";
    EXPECT_TRUE(LogHas(expected)) << Log();
    EXPECT_TRUE(LogHas("Instance 0 (sockFd = -1, success = 1)\n"));
}

TEST_P(InterfacedTest, ManyClientsGetTheirOwnReplies) {
    constexpr int kClients = 8;
    constexpr int kRequests = 250;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int r = 0; r < kRequests; ++r) {
                int kind = (c + r) % 3;
                std::string path = kind == 0   ? clean_
                                   : kind == 1 ? infected_
                                               : root_.path("/samples/none" + std::to_string(r));
                std::string expected = kind == 0 ? "0\n" : kind == 1 ? kInfected : kMissing;
                if (Ask(path) != expected) {
                    ++mismatches;
                }
            }
        });
    }
    for (std::thread &t : clients) {
        t.join();
    }
    EXPECT_EQ(0, mismatches.load());
}

INSTANTIATE_TEST_SUITE_P(BothEngines, InterfacedTest, ql::test::kBothEngines,
                         ql::test::engineName);

// Suspicious, encrypted and corrupted files are answered "0" unless the settings ask for an alert.
class InterfacedAlertTest : public DaemonFixture, public ::testing::WithParamInterface<Engine> {};

TEST_P(InterfacedAlertTest, OtherFindingsAreAnsweredOnlyWhenTheirAlertIsOn) {
    ASSERT_TRUE(UseEngine(GetParam(),
                          "suspicious\tTest-Suspect\ttext:SUSPECT-BYTES\n"
                          "encrypted\tTest-Locked\ttext:LOCKED-BYTES\n"
                          "corrupted\tTest-Broken\ttext:BROKEN-BYTES\n"));
    struct Row {
        std::string path;
        const char *alerted;
    } rows[] = {
        {WriteSample("suspect.bin", "xx SUSPECT-BYTES xx"), "1 Test-Suspect\n"},
        {WriteSample("locked.bin", "LOCKED-BYTES"), "1 Encrypted\n"},
        {WriteSample("broken.bin", "BROKEN-BYTES"), "1 Corrupted\n"},
    };
    ASSERT_EQ(0, StartDaemon());
    for (const Row &row : rows) {
        EXPECT_EQ("0\n", Ask(row.path)) << row.path;
    }
    ASSERT_EQ(0, StopDaemon(SIGTERM));
    WriteInterfaceConf(
        "[postwicker]\nAlertSuspicious=yes\nAlertEncrypted = Yes\nAlertCorrupted=yes\n");
    ASSERT_EQ(0, StartDaemon());
    for (const Row &row : rows) {
        EXPECT_EQ(row.alerted, Ask(row.path)) << row.path;
    }
}

INSTANTIATE_TEST_SUITE_P(BothEngines, InterfacedAlertTest, ql::test::kBothEngines,
                         ql::test::engineName);

// Start-up, guard, stop and pool behaviour, with the core library engine (no engine daemon).
class InterfacedLifeTest : public DaemonFixture {
  protected:
    void SetUp() override { ASSERT_TRUE(UseEngine(Engine::Bd)); }
};

TEST_F(InterfacedLifeTest, PidFileNamesTheDetachedProcessAndSocketIsOpenToAll) {
    ASSERT_EQ(0, StartDaemon());
    EXPECT_EQ(std::to_string(daemonPid()), ql::test::readFile(PidPath()));
    struct stat st;
    ASSERT_EQ(0, lstat(SockPath().c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0777u, st.st_mode & 0777u);
}

TEST_F(InterfacedLifeTest, SocketAccessKeysAreAppliedAfterBindAndBadValuesFallBack) {
    std::string groupName;
    gid_t group = otherGroup(groupName);
    struct Row {
        std::string keys;
        mode_t mode;
        gid_t group;
        std::string logged;
    };
    const Row rows[] = {
        {"PostwickerSocketMode=0660\nPostwickerSocketGroup=" + groupName + "\n", 0660, group, ""},
        {"PostwickerSocketMode = 600 ; owner only\n", 0600, getegid(), ""},
        {"PostwickerSocketMode=0999\nPostwickerSocketGroup=no-such-group-ql\n", 0777, getegid(),
         "SockErr(group): no group no-such-group-ql, socket group left as is\n"
         "SockErr(mode): invalid mode 0999, using 0777\n"},
    };
    for (const Row &row : rows) {
        WriteInterfaceConf("[postwicker]\nRequestTimeout=2\n" + row.keys);
        std::size_t logStart = Log().size();
        ASSERT_EQ(0, StartDaemon()) << row.keys;
        struct stat info {};
        stat(SockPath().c_str(), &info);
        EXPECT_EQ(row.mode, info.st_mode & 07777) << row.keys;
        EXPECT_EQ(row.group, info.st_gid) << row.keys;
        EXPECT_EQ("1 No such file or directory\n", Ask("/none")) << row.keys;
        std::string logged = Log().substr(logStart);
        EXPECT_EQ(row.logged, logged.substr(0, logged.find("Instance"))) << row.keys;
        EXPECT_EQ(0, StopDaemon(SIGTERM)) << row.keys;
    }
}

TEST_F(InterfacedLifeTest, BindFailureEndsTheStartWithStatusOne) {
    WriteInterfaceConf("[postwicker]\nPostwickerSocket=" + root_.path("/no/such/dir/sock") + "\n");
    EXPECT_EQ(1, StartDaemon());
    EXPECT_TRUE(LogHas("SockErr(bind): No such file or directory\n"));
}

TEST_F(InterfacedLifeTest, UnusableSocketPathIsRefusedBeforeTheGuard) {
    // An empty path would bind a hidden abstract name that no client can find.
    const std::pair<std::string, std::string> rows[] = {
        {"/" + std::string(120, 's'), "SockErr(bind): File name too long\n"},
        {"", "SockErr(bind): Invalid argument\n"},
    };
    for (const auto &[path, logged] : rows) {
        WriteInterfaceConf("[postwicker]\nPostwickerSocket=" + path + "\n");
        std::size_t logStart = Log().size();
        EXPECT_EQ(1, StartDaemon()) << path;
        EXPECT_EQ(logged, Log().substr(logStart)) << path;
    }
}

TEST_F(InterfacedLifeTest, MissingSettingsFileIsAConfigError) {
    unlink(root_.path("/opt/Quellar/etc/postwick/interface.conf").c_str());
    EXPECT_EQ(1, StartDaemon());
    EXPECT_EQ("Config error\n", Log());
}

TEST_F(InterfacedLifeTest, NoEngineIsAnInitError) {
    WriteVersion("1");
    EXPECT_EQ(1, StartDaemon());
    EXPECT_EQ("Error Initializing AV\n", Log());
}

TEST_F(InterfacedLifeTest, SecondStartIsRefusedAndTheFirstGoesOn) {
    ASSERT_EQ(0, StartDaemon());
    pid_t first = daemonPid();
    std::string pidText = ql::test::readFile(PidPath());
    EXPECT_EQ(1, StartDaemon());
    EXPECT_TRUE(LogHas("Invalid sock path or some file already existing on path\n"));
    EXPECT_TRUE(LogHas("Request = CHECK\\r\\n, n = 8\n"));
    EXPECT_EQ(pidText, ql::test::readFile(PidPath()));
    EXPECT_EQ(first, daemonPid());
    EXPECT_EQ("0\n", Ask(WriteSample("clean", "clean")));
}

TEST_F(InterfacedLifeTest, FilesOfAKilledDaemonDoNotBlockAStart) {
    ASSERT_EQ(0, StartDaemon());
    KillDaemon();
    ASSERT_EQ(0, access(SockPath().c_str(), F_OK));
    ASSERT_EQ(0, access(PidPath().c_str(), F_OK));
    ASSERT_EQ(0, StartDaemon());
    EXPECT_EQ(std::to_string(daemonPid()), ql::test::readFile(PidPath()));
    EXPECT_EQ("0\n", Ask(WriteSample("clean", "clean")));
}

TEST_F(InterfacedLifeTest, RegularFileAtTheSocketPathIsReplaced) {
    ql::test::writeFile(SockPath(), "left over");
    ASSERT_EQ(0, StartDaemon());
    EXPECT_EQ("0\n", Ask(WriteSample("clean", "clean")));
}

TEST_F(InterfacedLifeTest, TerminationSignalsStopInOrder) {
    for (int signal : {SIGTERM, SIGINT}) {
        ASSERT_EQ(0, StartDaemon()) << signal;
        EXPECT_EQ(0, StopDaemon(signal)) << signal;
        EXPECT_NE(0, access(SockPath().c_str(), F_OK)) << signal;
        EXPECT_NE(0, access(PidPath().c_str(), F_OK)) << signal;
        EXPECT_TRUE(LogHas("Term ditected\n")) << signal;
    }
}

TEST_F(InterfacedLifeTest, DaemonWithoutALogStillServes) {
    ql::test::removeTree(root_.path("/var/Quellar/var/log"));
    ASSERT_EQ(0, StartDaemon());
    EXPECT_EQ("0\n", Ask(WriteSample("clean", "clean")));
    EXPECT_EQ(0, StopDaemon(SIGTERM));
}

TEST_F(InterfacedLifeTest, SilentClientIsAnsweredAfterTheRequestTimeout) {
    WriteInterfaceConf("[postwicker]\nRequestTimeout=1\n");
    ASSERT_EQ(0, StartDaemon());
    int fd = ConnectSilently();
    ASSERT_GE(fd, 0);
    auto started = std::chrono::steady_clock::now();
    char reply[64] = {};
    EXPECT_GT(recv(fd, reply, sizeof reply - 1, 0), 0);
    close(fd);
    EXPECT_STREQ("1 Connection timed out\n", reply);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
}

TEST_F(InterfacedLifeTest, ElevenSlowClientsOfTenInstancesAreAllAnswered) {
    WriteInterfaceConf("[postwicker]\nMaxInstances=10\n");
    ASSERT_EQ(0, StartDaemon());
    std::string clean = WriteSample("clean", "clean");
    std::vector<int> fds;
    for (int i = 0; i < 11; ++i) {
        fds.push_back(ConnectSilently());
    }
    ASSERT_TRUE(WaitForLog("No instance free to process, waiting to release one.\n"));
    int answered = 0;
    for (int fd : fds) {
        (void)!send(fd, clean.data(), clean.size(), MSG_NOSIGNAL);
        char reply[16] = {};
        answered += recv(fd, reply, sizeof reply - 1, 0) > 0 && std::string(reply) == "0\n";
        close(fd);
    }
    EXPECT_EQ(11, answered);
}

// The number of instances a settings line gives, seen through the hand-over's log: with every
// instance held by a silent client, one more client makes the entry examine all of them.
class InterfacedSettingsTest : public DaemonFixture,
                               public ::testing::WithParamInterface<std::pair<const char *, int>> {
};

TEST_P(InterfacedSettingsTest, InstanceCountFollowsTheSettingsFile) {
    auto [line, instances] = GetParam();
    ASSERT_TRUE(UseEngine(Engine::Bd));
    WriteInterfaceConf(std::string("[postwicker]\nRequestTimeout=1\n") + line + "\n");
    ASSERT_EQ(0, StartDaemon()) << line;
    std::vector<int> silent;
    for (int i = 0; i < instances; ++i) {
        silent.push_back(ConnectSilently());
    }
    ASSERT_TRUE(WaitForLog("Instance " + std::to_string(instances - 1) + " free to process\n"));
    EXPECT_EQ(kMissing, Ask("/missing")) << line;
    EXPECT_TRUE(LogHas("No instance free to process, waiting to release one.\n")) << line;
    EXPECT_FALSE(LogHas("Instance " + std::to_string(instances) + " (")) << line;
    for (int fd : silent) {
        close(fd);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, InterfacedSettingsTest,
                         ::testing::Values(std::pair<const char *, int>{"", 20},
                                           std::pair<const char *, int>{"MaxInstances=10", 10},
                                           std::pair<const char *, int>{"MaxInstances=50", 50},
                                           std::pair<const char *, int>{"MaxInstances=9", 20},
                                           std::pair<const char *, int>{"MaxInstances=51", 20},
                                           std::pair<const char *, int>{"MaxInstances=30 words",
                                                                        30},
                                           std::pair<const char *, int>{"maxinstances=10", 20}));

// The stop comes while the core holds the second member back for two seconds: the suspicious
// first member is in the result (68), the infected third is never reached. The pause gives the
// core, also under a sanitizer or an emulator, time to report the first member before the stop.
TEST_F(InterfacedLifeTest, ArchiveStoppedMidScanIsNeverAnsweredClean) {
    ASSERT_TRUE(UseEngine(Engine::Bd,
                          "suspicious\tTest-Suspect\ttext:SUSPECT-BYTES\n"
                          "delay:2000\tSlow\ttext:SLOW-BYTES\n"));
    ASSERT_EQ(0, StartDaemon());
    std::string archive =
        WriteSample("mail.tar", ql::test::tarOf({{"a.bin", "SUSPECT-BYTES"},
                                                 {"slow.bin", "SLOW-BYTES"},
                                                 {"eicar.com", ql::test::eicar()}}));
    auto reply = std::async(std::launch::async, [&] { return Ask(archive); });
    ASSERT_TRUE(WaitForLog("Sending for scan - " + archive + "\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(0, StopDaemon(SIGTERM));
    EXPECT_EQ("1 Scan stopped\n", reply.get());
    EXPECT_TRUE(LogHas("Returned from scan 68\n")) << Log();
}

TEST_F(InterfacedLifeTest, EmptyPidPathRunsWithoutAPidFile) {
    WriteInterfaceConf("[postwicker]\nPostwickerPID=\n");
    ASSERT_EQ(0, StartDaemon());
    EXPECT_NE(0, access(PidPath().c_str(), F_OK));
    EXPECT_EQ("0\n", Ask(WriteSample("clean", "clean")));
}

}  // namespace
