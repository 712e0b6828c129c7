// The interface daemon's log end to end: whole lines from every instance across rotations, and
// what a local user cannot do to it: write lines of its own, have it redirected to another file,
// or flood it while every instance is busy.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/daemon_fixture.h"

namespace {

using ql::test::forkAsNobody;
using ql::test::kNobody;
using ql::test::readFile;
using ql::test::waitForExit;

constexpr const char *kMissing = "1 No such file or directory\n";

std::size_t countLines(const std::string &text, const std::string &line) {
    std::string lines = "\n" + text;
    std::size_t count = 0;
    for (std::size_t at = 0; (at = lines.find("\n" + line + "\n", at)) != std::string::npos; ++at) {
        ++count;
    }
    return count;
}

class InterfacedLogTest : public ql::test::DaemonFixture {
  protected:
    void SetUp() override { ASSERT_TRUE(UseEngine(ql::test::Engine::Bd)); }

    // The attacks run as an unprivileged user, who must reach the socket below the root.
    bool CanActAsAnotherUser() { return geteuid() == 0 && chmod(root_.root().c_str(), 0755) == 0; }
};

// Whether line is shape, where each '#' of the shape stands for a number (a sign allowed).
bool hasShape(std::string_view line, std::string_view shape) {
    std::size_t at = 0;
    for (char c : shape) {
        if (c != '#') {
            if (at == line.size() || line[at++] != c) {
                return false;
            }
            continue;
        }
        at += at < line.size() && line[at] == '-' ? 1 : 0;
        std::size_t digits = at;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])) != 0) {
            ++at;
        }
        if (at == digits) {
            return false;
        }
    }
    return at == line.size();
}

// Every line the daemon may write while serving requests for missing files, whole.
bool isWholeServingLine(const std::string &line) {
    static const char *const shapes[] = {"",
                                         "Instance # (sockFd = #, success = #)",
                                         "Instance # free to process",
                                         "No instance free to process, waiting to release one.",
                                         "Term ditected",
                                         "Instance-#: Connected (#).....",
                                         "Instance-#: Request = /none/c#-#, n = #",
                                         "Instance-#: Sending: 1 No such file or directory",
                                         "Instance-#: Sent"};
    return std::any_of(std::begin(shapes), std::end(shapes),
                       [&line](const char *shape) { return hasShape(line, shape); });
}

TEST_F(InterfacedLogTest, EveryInstanceLogsWholeLinesInOrderWhileHangupsReopenTheLog) {
    WriteInterfaceConf("[postwicker]\nMaxInstances=10\nRequestTimeout=5\n");
    ASSERT_EQ(0, StartDaemon());
    constexpr int kClients = 14;  // more than instances: the hand-over waits too
    constexpr int kRotations = 100;
    std::atomic<bool> done{false};
    std::vector<int> sentBy(kClients, 0);
    std::thread clients([&] {
        ql::test::runClients(kClients, [&](int c) {
            for (int i = 0; !done.load(); ++i) {
                std::string path = "/none/c" + std::to_string(c) + "-" + std::to_string(i);
                EXPECT_EQ(kMissing, Ask(path)) << path;
                sentBy[c] = i + 1;
            }
        });
    });
    std::vector<std::string> files;
    for (int r = 1; r <= kRotations; ++r) {
        // Rotate as soon as the daemon has made the new file.
        ql::test::waitUntil([&] { return access(LogPath().c_str(), F_OK) == 0; }, 5000);
        files.push_back(LogPath() + "." + std::to_string(r));
        if (rename(LogPath().c_str(), files.back().c_str()) != 0 ||
            kill(daemonPid(), SIGHUP) != 0) {
            ADD_FAILURE() << "rotation " << r << " failed";
            break;
        }
    }
    EXPECT_TRUE(WaitForLog("Request = "));  // the last reopened file is written to
    done = true;
    clients.join();
    EXPECT_EQ(0, StopDaemon(SIGTERM));
    files.push_back(LogPath());
    EXPECT_TRUE(LogHas("Term ditected\n"));

    // Each instance's lines come in the order it wrote them: files in rotation order.
    const std::vector<std::string> steps{"Connected", "Request", "Sending", "Sent"};
    std::map<std::string, std::size_t> nextStep;
    std::map<std::string, int> requests;
    int sent = 0;
    for (const std::string &file : files) {
        std::string text = ql::test::readFile(file);
        EXPECT_TRUE(text.empty() || text.back() == '\n') << file << " ends inside a line";
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            EXPECT_TRUE(isWholeServingLine(line)) << file << ": torn line \"" << line << "\"";
            std::size_t colon = line.find(": ");
            if (line.rfind("Instance-", 0) != 0 || colon == std::string::npos) {
                continue;
            }
            std::string instance = line.substr(0, colon);
            std::size_t &step = nextStep[instance];
            EXPECT_EQ(0u, line.compare(colon + 2, steps[step].size(), steps[step])) << line;
            step = (step + 1) % steps.size();
            if (line.compare(colon + 2, 10, "Request = ") == 0) {
                ++requests[line.substr(colon + 2, line.find(", n = ") - colon - 2)];
            }
            sent += line.compare(colon + 2, std::string::npos, "Sent") == 0 ? 1 : 0;
        }
    }
    int total = 0;
    for (int c = 0; c < kClients; ++c) {
        total += sentBy[c];
        for (int i = 0; i < sentBy[c]; ++i) {
            std::string key = "Request = /none/c" + std::to_string(c) + "-" + std::to_string(i);
            EXPECT_EQ(1, requests[key]) << key;
        }
    }
    EXPECT_EQ(total, sent);
    EXPECT_EQ(static_cast<std::size_t>(total), requests.size());
}

TEST_F(InterfacedLogTest, ForgedLinesInARequestAreWrittenEscapedWithinItsOwnLine) {
    if (!CanActAsAnotherUser()) {
        GTEST_SKIP() << "needs root to act as an unprivileged user";
    }
    std::string path = WriteSample("clean\nInstance-0: Sent\nTerm ditected\x1b[2J\x7f", "clean");
    ASSERT_EQ(0, StartDaemon());
    EXPECT_EQ("0\n", AskAsNobody({path + "\r\n"})[0]);
    ASSERT_EQ(0, StopDaemon(SIGTERM));
    std::string shown =
        root_.path("/samples/clean\\nInstance-0: Sent\\nTerm ditected\\x1b[2J\\x7f");
    // The whole request, step by step, each line of the client's text in one line.
    EXPECT_TRUE(
        LogHas("Instance 0 free to process\nInstance-0: Connected (1).....\n"
               "Instance-0: Request = " +
               shown + "\\r\\n, n = " + std::to_string(path.size() + 2) + "\nInstance-0: file " +
               shown + "\nInstance-0: Sending for scan - " + shown +
               "\nInstance-0: Returned from scan 0\nInstance-0: msg = 0\n\n"
               "Instance-0: Sending: 0\n\nInstance-0: Sent\n"))
        << Log();
    EXPECT_TRUE(LogHas("Instance 0 (sockFd = -1, success = 1)\n"));
    EXPECT_EQ(1u, countLines(Log(), "Instance-0: Sent"));  // the real one, after the reply
    EXPECT_EQ(1u, countLines(Log(), "Term ditected"));     // the real one, at the stop
}

TEST_F(InterfacedLogTest, LinkOrFifoPlantedAtTheLogPathIsRefusedAndTheOldFileKept) {
    if (!CanActAsAnotherUser()) {
        GTEST_SKIP() << "needs root to act as an unprivileged user";
    }
    // A log folder given to another user lets that user move the log and plant things there.
    ASSERT_EQ(0, chown(root_.path("/var/Quellar/var/log").c_str(), kNobody, kNobody));
    std::string secret = root_.path("/secret");
    ql::test::writeFile(secret, "root only\n");
    ASSERT_EQ(0, chmod(secret.c_str(), 0600));
    ASSERT_EQ(0, StartDaemon());
    struct stat info {};
    ASSERT_EQ(0, stat(LogPath().c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777);  // not readable by every user

    struct Row {
        const char *planted;
        const char *refusal;
    };
    const Row rows[] = {{"link", "LogErr(reopen): Too many levels of symbolic links\n"},
                        {"fifo", "LogErr(reopen): Invalid argument\n"}};
    for (const Row &row : rows) {
        std::string moved = LogPath() + "." + row.planted;
        bool link = std::string(row.planted) == "link";
        pid_t attacker = forkAsNobody([&] {
            if (rename(LogPath().c_str(), moved.c_str()) != 0) {
                return 1;
            }
            return (link ? symlink(secret.c_str(), LogPath().c_str())
                         : mkfifo(LogPath().c_str(), 0666)) == 0
                       ? 0
                       : 2;
        });
        ASSERT_EQ(0, waitForExit(attacker, 10000)) << row.planted;
        ASSERT_EQ(0, kill(daemonPid(), SIGHUP)) << row.planted;  // the rotation's reload
        EXPECT_TRUE(WaitForLog(row.refusal, moved)) << row.planted;
        std::string request = std::string("/none/after-") + row.planted;
        EXPECT_EQ(kMissing, Ask(request)) << row.planted;
        EXPECT_TRUE(WaitForLog("Request = " + request + ", n = ", moved)) << row.planted;
        ASSERT_EQ(0, unlink(LogPath().c_str())) << row.planted;
        ASSERT_EQ(0, rename(moved.c_str(), LogPath().c_str())) << row.planted;
    }
    EXPECT_EQ("root only\n", readFile(secret));
    EXPECT_EQ(0, StopDaemon(SIGTERM));
}

TEST_F(InterfacedLogTest, WaitWhileEveryInstanceIsBusyIsLoggedOnceASecondAndHeedsSignals) {
    if (!CanActAsAnotherUser()) {
        GTEST_SKIP() << "needs root to act as an unprivileged user";
    }
    WriteInterfaceConf("[postwicker]\nMaxInstances=10\nRequestTimeout=30\n");
    ASSERT_EQ(0, StartDaemon());
    // An unprivileged user holds every instance with silent connections, and one more waits.
    pid_t flooder = forkAsNobody([&] {
        std::vector<int> held;
        for (int i = 0; i < 11; ++i) {
            held.push_back(ConnectSilently());
        }
        pause();  // until the test kills it, which closes the held connections
        return 0;
    });
    const std::string waiting = "No instance free to process, waiting to release one.";
    ASSERT_TRUE(WaitForLog(waiting + "\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::string busy = Log();
    EXPECT_LE(countLines(busy, waiting), 3u);  // not one pass each 500 microseconds
    EXPECT_LT(busy.size(), 8192u);

    std::string rotated = LogPath() + ".1";
    ASSERT_EQ(0, rename(LogPath().c_str(), rotated.c_str()));
    ASSERT_EQ(0, kill(daemonPid(), SIGHUP));
    EXPECT_TRUE(WaitForLog(waiting + "\n"));  // reopened during the wait
    auto termSent = std::chrono::steady_clock::now();
    ASSERT_EQ(0, kill(daemonPid(), SIGTERM));
    EXPECT_TRUE(WaitForLog("Term ditected\n"));
    EXPECT_LT(std::chrono::steady_clock::now() - termSent, std::chrono::seconds(5));
    kill(flooder, SIGKILL);  // the held connections close; the instances answer them and end
    EXPECT_EQ(128 + SIGKILL, waitForExit(flooder, 10000));
    EXPECT_EQ(0, StopDaemon(SIGTERM));
}

}  // namespace
