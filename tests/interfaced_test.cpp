#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/daemon_fixture.h"

namespace {

using ql::test::DaemonFixture;
using ql::test::Engine;

constexpr const char *kMissing = "1 No such file or directory\n";
constexpr const char *kInfected = "1 EICAR-Test-File\n";

// Requests and replies that do not depend on the engine, run against both.
class InterfacedTest : public DaemonFixture, public ::testing::WithParamInterface<Engine> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(UseEngine(GetParam(),
                              std::string(GetParam() == Engine::Kav
                                              ? "error5xx:501:Engine broke\tBroken\ttext:BREAKME\n"
                                              : "error\tBroken\ttext:BREAKME\n") +
                                  "suspicious\tTest-Suspect\ttext:SUSPECT-BYTES\n"
                                  "encrypted\tTest-Locked\ttext:LOCKED-BYTES\n"
                                  "corrupted\tTest-Broken\ttext:BROKEN-BYTES\n"));
        ASSERT_EQ(0, StartDaemon());
        clean_ = WriteSample("clean.txt", "nothing to see here\n");
        infected_ = WriteSample("eicar.com", ql::test::eicar());
    }
    std::string clean_;
    std::string infected_;
};

// Each request with its reply, then with error replies tagged and an alert on every other finding.
TEST_P(InterfacedTest, EachRequestIsAnsweredWithItsVerdictOrErrorAsTheSettingsAsk) {
    std::string link = root_.path("/samples/link");
    ASSERT_EQ(0, symlink(infected_.c_str(), link.c_str()));
    // t/link -> real/dir and t/real/dir/f -> ../x: the kernel opens t/real/x for t/link/f, not
    // the clean t/x beside the link.
    WriteSample("t/real/x", ql::test::eicar());
    WriteSample("t/x", "clean decoy\n");
    mkdir(root_.path("/samples/t/real/dir").c_str(), 0700);
    ASSERT_EQ(0, symlink("real/dir", root_.path("/samples/t/link").c_str()));
    ASSERT_EQ(0, symlink("../x", root_.path("/samples/t/real/dir/f").c_str()));
    // tar writes out what these archives hold although a member listing does not see it: members
    // after a lone zero block, and a member of a type the listing passes over (extracted as a
    // regular file), holding the infection or a whole infected member.
    const std::string end(1024, '\0');
    const std::string member = ql::test::tarEntry("v.com", ql::test::eicar());
    const std::string mime = "MIME-Version: 1.0\n";
    auto tagged = [](const std::string &reply) { return "1 ERROR: " + reply.substr(2); };
    const std::string engineError =
        GetParam() == Engine::Kav ? "1 Engine broke\n" : "1 Scan request failed\n";
    struct Row {
        std::string request;
        std::string reply;
        std::string tuned;  // with TagErrorReplies and the alerts; "" when the same
    };
    const Row rows[] = {
        {clean_ + "\n", "0\n", ""},
        {infected_.substr(1), kInfected, ""},  // a relative path counts from the root
        {link, kInfected, ""},
        {root_.path("/samples/t/link/f"), kInfected, ""},
        {WriteSample("preamble.eml", mime + "Content-Type: multipart/mixed; boundary=\"b\"\n\n" +
                                         ql::test::eicar() +
                                         "\n--b\nContent-Type: text/plain\n\nhi\n--b--\n"),
         kInfected, ""},
        {WriteSample("claimed-base64.eml",
                     mime + "Content-Transfer-Encoding: base64\n\n" + ql::test::eicar() + "\n"),
         kInfected, ""},
        {WriteSample("zero-block.tar",
                     ql::test::tarEntry("a.txt", "plain") + std::string(512, '\0') + member + end),
         kInfected, ""},
        {WriteSample("other-type.tar", ql::test::tarEntry("x", ql::test::eicar(), 'Z') + end),
         kInfected, ""},
        {WriteSample("wrapped.tar", ql::test::tarEntry("x", member, 'Z') + end), kInfected, ""},
        {"", kMissing, tagged(kMissing)},
        {root_.path("/samples/missing"), kMissing, tagged(kMissing)},
        {root_.path("/samples"), "1 Invalid file or buffer\n", "1 ERROR: Invalid file or buffer\n"},
        {WriteSample("broken.bin", "xxBREAKMExx"), engineError, tagged(engineError)},
        {WriteSample("suspect.bin", "xx SUSPECT-BYTES xx"), "0\n", "1 Test-Suspect\n"},
        {WriteSample("locked.bin", "LOCKED-BYTES"), "0\n", "1 Encrypted\n"},
        {WriteSample("corrupt.bin", "BROKEN-BYTES"), "0\n", "1 Corrupted\n"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(row.reply, Ask(row.request)) << row.request;
    }
    ASSERT_EQ(0, StopDaemon(SIGTERM));
    WriteInterfaceConf(
        "[postwicker]\nTagErrorReplies = yes\nAlertSuspicious=yes\nAlertEncrypted = Yes\n"
        "AlertCorrupted=yes\n");
    ASSERT_EQ(0, StartDaemon());
    for (const Row &row : rows) {
        EXPECT_EQ(row.tuned.empty() ? row.reply : row.tuned, Ask(row.request)) << row.request;
    }
}

TEST_P(InterfacedTest, ClientGoneBeforeTheReplyIsASendError) {
    int fd = ConnectSilently();
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(WaitForLog("Instance-0: Send Err: "));
    EXPECT_EQ("0\n", Ask(clean_));
}

INSTANTIATE_TEST_SUITE_P(BothEngines, InterfacedTest, ql::test::kBothEngines, ql::test::engineName);

// Start-up, guard, stop and pool behaviour, with the core library engine (no engine daemon).
class InterfacedLifeTest : public DaemonFixture {
  protected:
    void SetUp() override { ASSERT_TRUE(UseEngine(Engine::Bd)); }
};

TEST_F(InterfacedLifeTest, SocketAccessKeysAreAppliedAfterBindAndBadValuesFallBack) {
    const group *other = getgrgid(ql::test::kNobody);
    ASSERT_NE(nullptr, other);
    struct Row {
        std::string keys;
        mode_t mode;
        gid_t group;
        std::string logged;
    };
    const Row rows[] = {
        {"", 0777, getegid(), ""},
        {"PostwickerSocketMode=0660\nPostwickerSocketGroup=" + std::string(other->gr_name) + "\n",
         0660, other->gr_gid, ""},
        {"PostwickerSocketMode=0999\nPostwickerSocketGroup=no-such-group-ql\n", 0777, getegid(),
         "SockErr(group): no group no-such-group-ql, socket group left as is\n"
         "SockErr(mode): invalid mode 0999, using 0777\n"},
    };
    for (const Row &row : rows) {
        WriteInterfaceConf("[postwicker]\nRequestTimeout=2\n" + row.keys);
        std::size_t logStart = Log().size();
        ASSERT_EQ(0, StartDaemon()) << row.keys;
        struct stat info {};
        ASSERT_EQ(0, lstat(SockPath().c_str(), &info));
        EXPECT_EQ(std::tuple(S_IFSOCK | row.mode, row.group), std::tuple(info.st_mode, info.st_gid))
            << row.keys;
        EXPECT_EQ(kMissing, Ask("/none")) << row.keys;
        std::string logged = Log().substr(logStart);
        EXPECT_EQ(row.logged, logged.substr(0, logged.find("Instance"))) << row.keys;
        EXPECT_EQ(0, StopDaemon(SIGTERM)) << row.keys;
    }
}

// Each start that cannot serve ends with status 1 and its one log line, before the guard
// against a second instance is asked.
TEST_F(InterfacedLifeTest, StartThatCannotServeEndsWithStatusOneAndItsReason) {
    auto socketAt = [this](const std::string &path) {
        return
            [this, path] { WriteInterfaceConf("[postwicker]\nPostwickerSocket=" + path + "\n"); };
    };
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[this] { unlink(root_.path("/opt/Quellar/etc/postwick/interface.conf").c_str()); },
         "Config error\n"},
        {[this] { WriteVersion("1"); }, "Error Initializing AV\n"},
        {socketAt(root_.path("/no/such/dir/sock")), "SockErr(bind): No such file or directory\n"},
        {socketAt("/" + std::string(120, 's')), "SockErr(bind): File name too long\n"},
        // An empty path would bind a hidden abstract name that no client can find.
        {socketAt(""), "SockErr(bind): Invalid argument\n"},
    };
    for (const auto &[spoil, logged] : rows) {
        ASSERT_TRUE(UseEngine(Engine::Bd));
        WriteInterfaceConf("[postwicker]\n");
        spoil();
        std::size_t logStart = Log().size();
        EXPECT_EQ(1, StartDaemon()) << logged;
        EXPECT_EQ(logged, Log().substr(logStart));
    }
}

// A regular file at the socket path, then the socket and pid file of a killed daemon do not block
// a start; a second start while one serves is refused and leaves it serving; a stop by SIGINT
// removes the socket and the pid file as SIGTERM does (shown under load by the faults suite).
TEST_F(InterfacedLifeTest, LeftFilesDoNotBlockAStartButARunningDaemonDoesAndAStopRemovesBoth) {
    std::string clean = WriteSample("clean", "clean");
    ql::test::writeFile(SockPath(), "left over");
    ASSERT_EQ(0, StartDaemon());
    EXPECT_EQ("0\n", Ask(clean));
    StopDaemon(SIGKILL);
    ASSERT_EQ(0, access(SockPath().c_str(), F_OK));
    ASSERT_EQ(0, access(PidPath().c_str(), F_OK));
    ASSERT_EQ(0, StartDaemon());
    EXPECT_EQ(1, StartDaemon());
    EXPECT_TRUE(LogHas("Invalid sock path or some file already existing on path\n"));
    EXPECT_TRUE(LogHas("Request = CHECK\\r\\n, n = 8\n"));
    EXPECT_EQ(std::to_string(daemonPid()), ql::test::readFile(PidPath()));
    EXPECT_EQ("0\n", Ask(clean));
    EXPECT_EQ(0, StopDaemon(SIGINT));
    EXPECT_NE(0, access(SockPath().c_str(), F_OK));
    EXPECT_NE(0, access(PidPath().c_str(), F_OK));
    EXPECT_TRUE(LogHas("Term ditected\n"));
}

TEST_F(InterfacedLifeTest, DaemonWithoutAPidFileOrALogStillServes) {
    WriteInterfaceConf("[postwicker]\nPostwickerPID=\n");
    ql::test::removeTree(root_.path("/var/Quellar/var/log"));
    ASSERT_EQ(0, StartDaemon());
    EXPECT_NE(0, access(PidPath().c_str(), F_OK));
    EXPECT_EQ("0\n", Ask(WriteSample("clean", "clean")));
    EXPECT_EQ(0, StopDaemon(SIGTERM));
}

// The number of instances a settings line gives, seen through the hand-over's log: with every
// instance held by a silent client, one more client waits for one of them and is answered.
class InterfacedSettingsTest : public InterfacedLifeTest,
                               public ::testing::WithParamInterface<std::pair<const char *, int>> {
};

TEST_P(InterfacedSettingsTest, InstanceCountFollowsTheSettingsFile) {
    auto [line, instances] = GetParam();
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

// The range, the number's syntax and the key's case are the settings reader's, tested there.
const std::pair<const char *, int> kInstanceLines[] = {
    {"", 20}, {"MaxInstances=10", 10}, {"MaxInstances=50", 50}};
INSTANTIATE_TEST_SUITE_P(Lines, InterfacedSettingsTest, ::testing::ValuesIn(kInstanceLines));

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

}  // namespace
