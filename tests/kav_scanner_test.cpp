#include "kav/kav_scanner.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "kav/kav_object_scanner.h"
#include "tests/support/kav_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using ql::test::EventLog;
using ql::test::SeenEvent;
using ql::test::TempRoot;

// An engine on a socket pair that reads one command, answers with a script and hangs up.
class ScriptedEngine {
  public:
    explicit ScriptedEngine(std::string script) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ours_.reset(fds[0]);
        theirs_.reset(fds[1]);
        thread_ = std::thread([this, script] {
            char byte;
            while (read(theirs_.get(), &byte, 1) == 1) {
                command_ += byte;
                if (byte == '\n') {
                    break;
                }
            }
            (void)!send(theirs_.get(), script.data(), script.size(), MSG_NOSIGNAL);
            theirs_.reset();
        });
    }
    ~ScriptedEngine() {
        ours_.reset();  // a request refused before sending must not leave the engine waiting
        finish();
    }
    int fd() const { return ours_.get(); }
    const std::string &command() {
        finish();
        return command_;
    }

  private:
    void finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    ql::UniqueFd ours_;
    ql::UniqueFd theirs_;
    std::string command_;
    std::thread thread_;
};

class KavScannerTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("QL_ENGINE_TIMEOUT_MS", "500", 1); }
    void TearDown() override { unsetenv("QL_ENGINE_TIMEOUT_MS"); }

    int scanPath(int fd, const char *path, uint32_t opts = 1) {
        QuickRequest request{const_cast<char *>(path), opts, QL_REQ_PATH};
        return QL_KAVQuickScan(fd, &request, log.callback());
    }
    EventLog log;
};

TEST_F(KavScannerTest, OptionLettersFollowScanOptions) {
    struct Case {
        uint32_t opts;
        const char *letters;
    };
    const Case cases[] = {{1, "abcdefghijkPQRSTUWm"},
                          {0x0362, "abcdefghijklpqrstuWm"},
                          {0x8001, "abcdefghijkPQRSTUWM"},
                          {0x8000, "abcdefghijkPQRSTUWm"},
                          {0, "abcdefghijkPQRSTUWm"}};
    for (const Case &c : cases) {
        char text[ql::kav::kOptionTextSize];
        ql::kav::quickOptionText(c.opts, text);
        EXPECT_STREQ(text, c.letters) << std::hex << c.opts;
    }
    ScriptedEngine engine("220 clean\r\n");
    EXPECT_EQ(scanPath(engine.fd(), "/m/a b.eml", 0x0362), QL_RES_CLEAN);
    EXPECT_EQ(engine.command(), "SCAN abcdefghijklpqrstuWm /m/a b.eml\r\n");
}

TEST_F(KavScannerTest, FinalCodesMapToResultsAndEvents) {
    struct Case {
        std::string script;
        int result;
        std::vector<SeenEvent> events;
    };
    const Case cases[] = {
        {"221 ok\r\n", QL_RES_DISINFECTED, {}},
        {"322-EICAR /\r\n230 bad\r\n",
         QL_RES_INFECTED,
         {{"/f", QL_OBJ_FILE, QL_EV_INFECTED, "EICAR", ""}}},
        {"322-V /\r\n324-V /\r\n231 bad\r\n",
         QL_RES_INFECTED,
         {{"/f", QL_OBJ_FILE, QL_EV_INFECTED, "V", ""}}},
        {"325-tar /\r\n328-Sus /in/x\r\n232 hm\r\n",
         QL_RES_SUSPICIOUS,
         {{"/f=>in/x", QL_OBJ_FILE, QL_EV_SUSPICIOUS, "Sus", ""}}},
        {"501 " + std::string(300, 'e') + "\r\n",
         QL_RES_ERROR,
         {{"/f", QL_OBJ_FILE, QL_EV_FAILED, "", std::string(255, 'e')}}},
        {"512\r\n", QL_RES_ERROR, {{"/f", QL_OBJ_FILE, QL_EV_FAILED, "", "512"}}},
        {"322 /\r\n230 x\r\n",
         QL_RES_INFECTED,
         {{"/f", QL_OBJ_FILE, QL_EV_INFECTED, "unknown", ""}}},
        {"322-Trail\r\n230 x\r\n",
         QL_RES_INFECTED,
         {{"/f", QL_OBJ_FILE, QL_EV_INFECTED, "Trail", ""}}},
        {"299 odd\r\n", QL_RES_CLEAN, {}},
    };
    for (const Case &c : cases) {
        EventLog seen;
        ScriptedEngine engine(c.script);
        QuickRequest request{const_cast<char *>("/f"), 1, QL_REQ_PATH};
        EXPECT_EQ(QL_KAVQuickScan(engine.fd(), &request, seen.callback()), c.result) << c.script;
        EXPECT_EQ(seen.events(), c.events) << c.script;
    }
}

TEST_F(KavScannerTest, BrokenOffReplyIsAFailureNeverClean) {
    const char *scripts[] = {"", "322-EICAR /\r\n", "330-/x\r\n", "322-EICAR /\r\n23", "220\n"};
    for (const char *script : scripts) {
        ScriptedEngine engine(script);
        QL_SetError(0);
        EXPECT_EQ(scanPath(engine.fd(), "/f"), -1) << script;
        EXPECT_EQ(ql::lastErrorCode(), QLE_AV_CONNECT) << script;
    }
}

TEST_F(KavScannerTest, FileScannerLetsTheFinalLineDecideAndKeepsTheEnginesTexts) {
    struct Case {
        std::string script;
        int stopOn;  // the event answered QL_CB_STOP, or 0
        int result;
        uint32_t scanned;
        std::vector<SeenEvent> events;
    };
    const Case cases[] = {
        {"322-V /\r\n230 x\r\n",
         QL_EV_INFECTED,
         QL_RES_INFECTED,
         1,
         {{"/f", QL_OBJ_FILE, QL_EV_INFECTED, "V", ""}}},
        {"322-V /\r\n",
         QL_EV_INFECTED,
         QL_RES_STOPPED,
         0,
         {{"/f", QL_OBJ_FILE, QL_EV_INFECTED, "V", ""}}},
        {"325-tar /\r\n501 No such file\r\n",
         0,
         QL_RES_ERROR,
         1,
         {{"/f", QL_OBJ_ARCHIVE, QL_EV_FAILED, "", "No such file\r"}}},
        {"322- /\r\n230 x\r\n",
         0,
         QL_RES_INFECTED,
         1,
         {{"/f", QL_OBJ_FILE, QL_EV_INFECTED, "", ""}}},
    };
    for (const Case &c : cases) {
        EventLog seen;
        seen.answer(c.stopOn, QL_CB_STOP);
        ScanReport report{};
        report.events = *seen.callback();
        ScriptedEngine engine(c.script);
        EXPECT_EQ(
            QL_KAVFileScanner(engine.fd(), "/f", "abc", QL_ACT_NONE, nullptr, &report, nullptr),
            c.result)
            << c.script;
        EXPECT_EQ(report.objectsScanned, c.scanned) << c.script;
        EXPECT_EQ(seen.events(), c.events) << c.script;
    }
}

TEST_F(KavScannerTest, StopAnswerToFinalEventStopsTheScan) {
    ScriptedEngine engine("220 ok\r\n");
    log.answer(QL_EV_CLEAN, QL_CB_STOP);
    EXPECT_EQ(scanPath(engine.fd(), "/f"), QL_RES_STOPPED);
}

TEST_F(KavScannerTest, RequestsThatCannotBeSentAreRefused) {
    ScriptedEngine engine("220 ok\r\n");
    EXPECT_EQ(scanPath(engine.fd(), "/f\r\nQUIT"), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(scanPath(engine.fd(), "/f\n"), -1);
    DescriptorObject descriptor{nullptr, -1, 0};
    QuickRequest byDescriptor{&descriptor, 1, QL_REQ_DESCRIPTOR};
    EXPECT_EQ(QL_KAVQuickScan(engine.fd(), &byDescriptor, log.callback()), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    QuickRequest unset{const_cast<char *>("/f"), 1, QL_REQ_UNSET};
    EXPECT_EQ(QL_KAVQuickScan(engine.fd(), &unset, log.callback()), -1);
    EXPECT_EQ(ql::lastErrorCode(), ENOSYS);
    EXPECT_EQ(QL_KAVQuickScan(engine.fd(), nullptr, log.callback()), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
}

class KavScannerLiveTest : public KavScannerTest {
  protected:
    void SetUp() override {
        KavScannerTest::SetUp();
        engine.writeSignatures("infected\tTest-Virus\ttext:VIRUS-BYTES\n");
        ASSERT_TRUE(engine.start());
        fd = QL_AvDaemonConnect(engine.socketPath().c_str());
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        QL_AvDaemonDisconnect(fd);
        engine.stop();
        KavScannerTest::TearDown();
    }
    int scanBuffer(BufferObject &buffer) {
        QuickRequest request{&buffer, 0, QL_REQ_BUFFER};
        return QL_KAVQuickScan(fd, &request, log.callback());
    }
    std::string tempFile(uint32_t id) const {
        return root.path("/var/Quellar/var/tmp/scan_" + std::to_string(id) + ".tmp");
    }

    TempRoot root;
    ql::test::QorndInstance engine{root};
    int fd = -1;
};

TEST_F(KavScannerLiveTest, BufferInOneChunkIsScannedAndRemoved) {
    std::string bytes = "mail " + ql::test::eicar();
    BufferObject buffer{bytes.data(), static_cast<int32_t>(bytes.size()), 7, nullptr, 0, 0};
    EXPECT_EQ(scanBuffer(buffer), QL_RES_INFECTED);
    ASSERT_EQ(log.events().size(), 1u);
    EXPECT_EQ(log.events()[0],
              (SeenEvent{tempFile(7), QL_OBJ_BUFFER, QL_EV_INFECTED, "EICAR-Test-File", ""}));
    EXPECT_NE(access(tempFile(7).c_str(), F_OK), 0);
    EXPECT_EQ(buffer.accum, nullptr);
}

TEST_F(KavScannerLiveTest, BufferInTwoChunksIsScannedWhole) {
    std::string first = "VIRUS-";
    std::string second = "BYTES";
    BufferObject buffer{first.data(), 6, 8, nullptr, 0, 1};
    EXPECT_EQ(scanBuffer(buffer), QL_RES_CLEAN);
    struct stat st {};
    ASSERT_EQ(stat(tempFile(8).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    buffer.app_buf = second.data();
    buffer.app_buf_size = 5;
    buffer.more = 0;
    EXPECT_EQ(scanBuffer(buffer), QL_RES_INFECTED);
    EXPECT_EQ(log.events().back().infection, "Test-Virus");
    EXPECT_NE(access(tempFile(8).c_str(), F_OK), 0);
}

TEST_F(KavScannerLiveTest, EmptyBufferFailsWithZeroSize) {
    char none = 0;
    BufferObject buffer{&none, 0, 9, nullptr, 0, 0};
    EXPECT_EQ(scanBuffer(buffer), -1);
    EXPECT_EQ(ql::lastErrorCode(), QLE_ZERO_SIZE);
    EXPECT_NE(access(tempFile(9).c_str(), F_OK), 0);
}

TEST_F(KavScannerLiveTest, TemporaryFileIsNeverWrittenThroughALink) {
    std::string victim = root.path("/victim");
    ql::test::writeFile(victim, "keep");
    ASSERT_EQ(symlink(victim.c_str(), tempFile(10).c_str()), 0);
    std::string bytes = "data";
    BufferObject buffer{bytes.data(), 4, 10, nullptr, 0, 0};
    EXPECT_EQ(scanBuffer(buffer), -1);
    EXPECT_EQ(ql::test::readFile(victim), "keep");
}

TEST_F(KavScannerLiveTest, PathsWithBlanksReachTheEngineAndMissingOnesGiveItsText) {
    std::string dir = root.path("/mail dir");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ql::test::writeFile(dir + "/part 1.eml", "x VIRUS-BYTES y");
    EXPECT_EQ(scanPath(fd, (dir + "/part 1.eml").c_str()), QL_RES_INFECTED);
    EXPECT_EQ(scanPath(fd, root.path("/missing").c_str()), QL_RES_ERROR);
    EXPECT_EQ(log.events().back().message, "No such file or directory");
}

}  // namespace
