// What a client may learn through the daemon: requests made as an unprivileged user, on both
// engines, against files and folders that only root may read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/daemon_fixture.h"

namespace {

using ql::test::DaemonFixture;
using ql::test::Engine;

constexpr const char *kInfected = "1 EICAR-Test-File\n";
constexpr const char *kDenied = "1 Permission denied\n";
constexpr const char *kMissing = "1 No such file or directory\n";

class ClientAccessTest : public DaemonFixture, public ::testing::WithParamInterface<Engine> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(UseEngine(GetParam()));
        vault_ = root_.path("/samples/vault");
        WriteSample("vault/eicar.com", ql::test::eicar());
        ASSERT_EQ(0, chmod(vault_.c_str(), 0700));
    }
    std::string vault_;
};

TEST_P(ClientAccessTest, AClientIsAnsweredOnlyAboutFilesItMayReadItself) {
    ASSERT_EQ(0, StartDaemon());
    std::string shadow = WriteSample("shadow", "root:$6$notreally:19000:0:99999:7:::\n");
    ASSERT_EQ(0, chmod(shadow.c_str(), 0600));
    std::string open = root_.path("/samples/open");
    const struct {
        std::string path;
        std::string asNobody;
        std::string asRoot;
    } rows[] = {
        {WriteSample("open/eicar.com", ql::test::eicar()), kInfected, kInfected},
        {WriteSample("open/clean.txt", "nothing to see\n"), "0\n", "0\n"},
        {vault_ + "/eicar.com", kDenied, kInfected},
        {shadow, kDenied, "0\n"},
        {vault_ + "/missing", kDenied, kMissing},
        {open + "/missing", kMissing, kMissing},
        {open, "1 Invalid file or buffer\n", "1 Invalid file or buffer\n"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(row.asNobody, AskAsNobody({row.path})[0]) << row.path;
        EXPECT_EQ(row.asRoot, Ask(row.path)) << row.path;
    }
}

// The client swaps its own folder with a link to root's folder over and over while it asks (a
// thousand times, enough to catch a check made apart from the read on either engine): the
// file judged is always the one it could open, never the one its path names a moment later.
TEST_P(ClientAccessTest, SwappingAFolderDuringTheRequestsNeverRevealsAnUnreadableFile) {
    ASSERT_EQ(0, StartDaemon());
    std::string home = root_.path("/samples/home");
    std::string folder = home + "/d";
    std::string link = home + "/other";
    WriteSample("home/d/eicar.com", "the client's own clean file\n");
    ASSERT_EQ(0, symlink(vault_.c_str(), link.c_str()));
    ql::test::giveToNobody(home);
    ASSERT_EQ(0, chmod(root_.root().c_str(), 0711));
    int swapping[2];
    ASSERT_EQ(0, pipe(swapping));
    pid_t swapper = ql::test::forkAsNobody([&] {
        close(swapping[0]);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (bool first = true;
             std::chrono::steady_clock::now() < end &&
             renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0;
             first = false) {
            if (first && write(swapping[1], "s", 1) != 1) {
                return 1;
            }
        }
        return 2;
    });
    close(swapping[1]);
    char started = 0;
    ASSERT_EQ(1, read(swapping[0], &started, 1)) << "the client could not swap its folder";
    close(swapping[0]);
    std::vector<std::string> requests(1000, folder + "/eicar.com");
    std::vector<std::string> replies = AskAsNobody(requests);
    kill(swapper, SIGKILL);
    ql::test::waitForExit(swapper, 5000);
    auto clean = std::count(replies.begin(), replies.end(), "0\n");
    auto denied = std::count(replies.begin(), replies.end(), kDenied);
    EXPECT_EQ(clean + denied, std::ssize(replies)) << "a reply neither clean nor denied";
    EXPECT_GT(clean, 0);
    EXPECT_GT(denied, 0) << "the folder was never swapped while a request was judged";
}

INSTANTIATE_TEST_SUITE_P(BothEngines, ClientAccessTest, ql::test::kBothEngines,
                         ql::test::engineName);

class ClientAccessSettingTest : public DaemonFixture {};

TEST_F(ClientAccessSettingTest, AnyAnswersEveryClientAndAnUnknownValueChecks) {
    ASSERT_TRUE(UseEngine(Engine::Bd));
    std::string secret = WriteSample("vault/eicar.com", ql::test::eicar());
    ASSERT_EQ(0, chmod(root_.path("/samples/vault").c_str(), 0700));
    const struct {
        const char *key;
        std::string reply;
        const char *logged;
    } rows[] = {
        {"ClientAccess = any", kInfected, nullptr},
        {"ClientAccess = everyone", kDenied,
         "ConfErr(ClientAccess): invalid value everyone, using check\n"},
    };
    for (const auto &row : rows) {
        WriteInterfaceConf(std::string("[postwicker]\nRequestTimeout=2\n") + row.key + "\n");
        ASSERT_EQ(0, StartDaemon()) << row.key;
        EXPECT_EQ(row.reply, AskAsNobody({secret})[0]) << row.key;
        EXPECT_EQ(row.logged != nullptr, LogHas(row.logged != nullptr ? row.logged : "ConfErr"))
            << row.key;
        EXPECT_EQ(0, StopDaemon(SIGTERM)) << row.key;
    }
}

}  // namespace
