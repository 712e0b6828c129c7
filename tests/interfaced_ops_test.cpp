// The interface daemon in operation: socket access, the configuration check and the ping of
// qlscan.
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "daemon/interface_conf.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/emulator.h"

namespace {

using ql::test::DaemonFixture;
using ql::test::Engine;

struct Outcome {
    int status = -1;
    std::string out;
};

// Outcome qlscan with args (no shell), its standard output and error captured together.
Outcome qlscan(const std::vector<std::string> &args) {
    int ends[2];
    if (pipe(ends) != 0) {
        return {};
    }
    std::string program = std::string(QL_TEST_BIN_DIR) + "/qlscan";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(ends[1], STDOUT_FILENO);
        dup2(ends[1], STDERR_FILENO);
        close(ends[0]);
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (const std::string &arg : args) {
            argv.push_back(const_cast<char *>(arg.c_str()));
        }
        argv.push_back(nullptr);
        ql::test::execProgram(program.c_str(), argv.data());
        _exit(127);
    }
    close(ends[1]);
    Outcome run;
    char chunk[4096];
    ssize_t n;
    while ((n = read(ends[0], chunk, sizeof chunk)) > 0) {
        run.out.append(chunk, static_cast<std::size_t>(n));
    }
    close(ends[0]);
    run.status = ql::test::waitForExit(pid, 20000);
    return run;
}

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

class InterfacedOpsTest : public DaemonFixture {
  protected:
    struct stat SocketStat() const {
        struct stat info {};
        stat(SockPath().c_str(), &info);
        return info;
    }
};

TEST_F(InterfacedOpsTest, SocketAccessKeysAreAppliedAfterBindAndBadValuesFallBack) {
    ASSERT_TRUE(UseEngine(Engine::Bd));
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
        struct stat info = SocketStat();
        EXPECT_EQ(row.mode, info.st_mode & 07777) << row.keys;
        EXPECT_EQ(row.group, info.st_gid) << row.keys;
        EXPECT_EQ("1 No such file or directory\n", Ask("/none")) << row.keys;
        std::string logged = Log().substr(logStart);
        EXPECT_EQ(row.logged, logged.substr(0, logged.find("Instance"))) << row.keys;
        EXPECT_EQ(0, StopDaemon(SIGTERM)) << row.keys;
    }
}

TEST(InterfaceConfTest, SocketModeTakesOctalFrom0To0777Only) {
    const std::pair<const char *, int32_t> rows[] = {
        {"", 0777},    {"0", 0},       {"660", 0660}, {"0660", 0660}, {" 0750 ", 0750},
        {"777", 0777}, {"0777", 0777}, {"1000", -1},  {"01000", -1},  {"8", -1},
        {"0680", -1},  {"-1", -1},     {"0660x", -1}, {"rw", -1},     {"0x1ff", -1},
    };
    for (const auto &[text, mode] : rows) {
        EXPECT_EQ(mode, ql::daemon::socketModeOf(text)) << '"' << text << '"';
    }
}

TEST_F(InterfacedOpsTest, CheckConfigPrintsTheValuesAndFailsWhenTheDaemonWouldNotStart) {
    ASSERT_TRUE(UseEngine(Engine::Bd));
    WriteInterfaceConf(
        "[postwicker]\nMaxInstances=30\nPostwickerSocketMode=0660\nAlertSuspicious=yes\n"
        "AlertEncrypted=maybe\nTagErrorReplies=yes\nStopTimeout=5\nClientAccess=any\n");
    Outcome good = qlscan({"--check-config"});
    EXPECT_EQ(0, good.status) << good.out;
    for (const char *shown :
         {"instances            30\n", "socket mode          0660\n", "AlertSuspicious      yes\n",
          "AlertEncrypted       no\n", "AlertCorrupted       no\n", "TagErrorReplies      yes\n",
          "warning: AlertEncrypted = maybe is neither yes nor no and ignored; no is used\n",
          "stop timeout         5 s\n",
          "client access        any (every client learns about every file)\n",
          "engine               BD (core library)\n", "engine opens         yes\n",
          "The interface daemon would start.\n"}) {
        EXPECT_NE(std::string::npos, good.out.find(shown)) << shown << "\n" << good.out;
    }
    EXPECT_EQ(std::string::npos, good.out.find("error:")) << good.out;

    WriteInterfaceConf(
        "[postwicker]\nMaxInstances=9\nPostwickerSocket=/" + std::string(120, 's') +
        "\nPostwickerSocketGroup=no-such-group-ql\nStopTimeout=0\nClientAccess=all\n");
    WriteVersion("1");
    Outcome bad = qlscan({"--check-config"});
    EXPECT_EQ(1, bad.status) << bad.out;
    for (const char *problem :
         {"warning: MaxInstances = 9 is outside 10-50 and ignored; 20 is used\n",
          "error: PostwickerSocket is 121 characters long, a socket path holds at most 107",
          "warning: PostwickerSocketGroup = no-such-group-ql names no group",
          "warning: StopTimeout = 0 is outside 1-3600 and ignored; 30 is used\n",
          "warning: ClientAccess = all is neither check nor any; check is used\n",
          "client access        check (a client learns only about files it may read)\n",
          "error: no engine is installed", "would not start: 2 errors.\n"}) {
        EXPECT_NE(std::string::npos, bad.out.find(problem)) << problem << "\n" << bad.out;
    }

    root_.writeFixed("/opt/Quellar/etc/qorn.conf", "[path]\nTempPath=/tmp\n");
    WriteVersion("3");
    unlink(root_.path("/opt/Quellar/etc/postwick/interface.conf").c_str());
    Outcome empty = qlscan({"--check-config"});
    EXPECT_EQ(1, empty.status) << empty.out;
    for (const char *problem : {"interface.conf is missing", "error: BasesPath is empty"}) {
        EXPECT_NE(std::string::npos, empty.out.find(problem)) << problem << "\n" << empty.out;
    }
}

TEST_F(InterfacedOpsTest, PingSaysWhetherTheDaemonAnswers) {
    ASSERT_TRUE(UseEngine(Engine::Kav, "error\tBroken\ttext:BREAKME\n"));
    ASSERT_EQ(0, StartDaemon());
    Outcome up = qlscan({"--daemon", "--ping"});
    EXPECT_EQ(0, up.status) << up.out;
    EXPECT_EQ(SockPath() + ": the interface daemon answers\n", up.out);
    // An engine error without a text of its own still tells the client what happened.
    EXPECT_EQ("1 Scan error\n", Ask(WriteSample("broken.bin", "xxBREAKMExx")));
    EXPECT_EQ(0, StopDaemon(SIGTERM));
    Outcome down = qlscan({"--daemon", "--ping", "--timeout", "2"});
    EXPECT_EQ(2, down.status) << down.out;
    EXPECT_NE(std::string::npos, down.out.find("does not answer")) << down.out;
}

}  // namespace
