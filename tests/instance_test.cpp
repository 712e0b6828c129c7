// What a client of the daemon cannot reach: replies to every combination of result bits and
// texts the engines do not produce, the event function's guards, and the pool's hand-over in
// states a client cannot time (an idle pool, a stop between accept and hand-over).
#include "daemon/instance.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "daemon/daemon_state.h"
#include "tests/support/daemon_fixture.h"

namespace {

using namespace ql::daemon;
using ql::test::SocketPair;

const ReplyRules kTagged{false, false, false, true};

std::string Reply(int result, const char *reported, bool infection = true,
                  const ReplyRules &rules = {}) {
    ScanNote note{UniqueText(reported != nullptr ? strdup(reported) : nullptr), infection};
    char reply[kReplyMax];
    replyForResult(result, note, rules, reply);
    return reply;
}

// A deadline can be less than a microsecond away, or already past, when a caller computes what is
// left of it: such a bound ends the wait at once and never turns into a wait without one.
TEST(WakeWordTest, SpentOrTinyBoundsEndTheWait) {
    using namespace std::chrono_literals;
    ql::daemon::WakeWord word;
    auto start = std::chrono::steady_clock::now();
    for (std::chrono::nanoseconds bound : {0ns, -5ns, 1ns, 999ns, 20000000ns}) {
        word.waitWhile(word.value(), bound);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(InstanceTest, InfectedErrorOrStoppedBitIsNeverAnsweredClean) {
    const int answered = QL_RES_INFECTED | QL_RES_ERROR | QL_RES_STOPPED;
    for (int result = 0; result <= 127; ++result) {
        std::string reply = Reply(result, "EICAR-Test-File");
        EXPECT_EQ((result & answered) != 0, reply != "0\n") << result;
    }
}

// A reply is cut to its buffer and stays one line whatever the engine reported.
TEST(InstanceTest, ReplyTextsOfEachResult) {
    const std::string longName(400, 'x');
    const ReplyRules none;
    const ReplyRules all{true, true, true, false};
    struct Case {
        int result;
        const char *reported;
        const ReplyRules &rules;
        std::string reply;
    };
    const Case cases[] = {
        {QL_RES_INFECTED, nullptr, none, "1 Infected\n"},
        {QL_RES_INFECTED, longName.c_str(), none, "1 " + std::string(kReplyMax - 4, 'x') + "\n"},
        {QL_RES_INFECTED, "two\nlines", none, "1 two lines\n"},
        {QL_RES_ERROR, nullptr, none, "1 Scan error\n"},
        {QL_RES_INFECTED | QL_RES_ERROR, nullptr, none, "1 Infected\n"},
        {QL_RES_INFECTED | QL_RES_ENCRYPTED, nullptr, none, "1 Infected\n"},
        {QL_RES_SUSPICIOUS | QL_RES_ENCRYPTED | QL_RES_CORRUPTED, "Susp", none, "0\n"},
        {QL_RES_DISINFECTED, "Virus", all, "0\n"},
        {QL_RES_STOPPED, "Virus", none, "1 Scan stopped\n"},
        {QL_RES_STOPPED | QL_RES_DISINFECTED, "Virus", none, "1 Scan stopped\n"},
        {QL_RES_STOPPED | QL_RES_INFECTED, "Virus", none, "1 Virus\n"},
        {QL_RES_STOPPED | QL_RES_ENCRYPTED, nullptr, none, "1 Scan stopped\n"},
        {QL_RES_STOPPED | QL_RES_CORRUPTED, nullptr, none, "1 Scan stopped\n"},
        {QL_RES_STOPPED | QL_RES_ERROR, "read error", none, "1 read error\n"},
        {QL_RES_SUSPICIOUS, nullptr, all, "1 Suspicious\n"},
        {QL_RES_SUSPICIOUS | QL_RES_STOPPED, "Susp", all, "1 Susp\n"},
        {QL_RES_ENCRYPTED | QL_RES_CORRUPTED, nullptr, all, "1 Encrypted\n"},
        {QL_RES_ENCRYPTED | QL_RES_STOPPED, nullptr, all, "1 Scan stopped\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.reply, Reply(c.result, c.reported, true, c.rules)) << c.result;
    }
}

TEST(InstanceTest, TaggedStyleMarksEveryErrorReplyAndNoInfection) {
    struct Case {
        int result;
        const char *reported;
        bool infection;
        const char *reply;
    };
    const Case cases[] = {
        {QL_RES_INFECTED, nullptr, false, "1 Infected\n"},
        {QL_RES_INFECTED | QL_RES_ERROR, "Engine broke", false, "1 Engine broke\n"},
        {QL_RES_ERROR, "EICAR-Test-File", true, "1 EICAR-Test-File\n"},
        {QL_RES_ERROR, nullptr, false, "1 ERROR: Scan error\n"},
        {QL_RES_STOPPED, "EICAR-Test-File", true, "1 ERROR: Scan stopped\n"},
        {QL_RES_SUSPICIOUS | QL_RES_ENCRYPTED, "Suspect", true, "0\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.reply, Reply(c.result, c.reported, c.infection, kTagged))
            << c.result << " " << (c.reported != nullptr ? c.reported : "(none)");
    }
    char reply[kReplyMax];
    replyWithError(std::string(400, 'x').c_str(), kTagged, reply);
    EXPECT_EQ("1 ERROR: " + std::string(kReplyMax - 11, 'x') + "\n", reply);
}

TEST(InstanceTest, OnScanEventKeepsTheLastReportedTextAndAsksToStopOnceStopping) {
    stopFlag.store(0);
    ScanNote slot;
    EXPECT_EQ(0, onScanEvent("/f", QL_OBJ_FILE, QL_EV_INFECTED, "Virus.A", "message", &slot));
    EXPECT_STREQ("Virus.A", slot.text.get());
    EXPECT_TRUE(slot.infection);
    EXPECT_EQ(0, onScanEvent("/f", QL_OBJ_FILE, QL_EV_FAILED, nullptr, "read error", &slot));
    EXPECT_STREQ("read error", slot.text.get());
    EXPECT_FALSE(slot.infection);
    EXPECT_EQ(0, onScanEvent("/f", QL_OBJ_FILE, QL_EV_CLEAN, nullptr, nullptr, &slot));
    EXPECT_STREQ("read error", slot.text.get());
    EXPECT_EQ(0, onScanEvent("/f", QL_OBJ_FILE, QL_EV_INFECTED, "Virus.B", nullptr, nullptr));
    stopFlag.store(SIGTERM);
    EXPECT_EQ(QL_CB_STOP, onScanEvent("/f", QL_OBJ_FILE, QL_EV_CLEAN, nullptr, nullptr, &slot));
    stopFlag.store(0);
}

TEST(InstanceTest, RequestIsOneReadOfAtMostItsBuffer) {
    SocketPair pair;
    char request[kRequestMax + 1];
    ASSERT_EQ(5, write(pair.clientEnd.get(), "/part", 5));
    EXPECT_EQ(5, readRequest(pair.daemonEnd.get(), 5, request));
    EXPECT_STREQ("/part", request);

    std::string big(3000, 'a');
    ASSERT_EQ(3000, write(pair.clientEnd.get(), big.data(), big.size()));
    EXPECT_EQ(kRequestMax, readRequest(pair.daemonEnd.get(), 5, request));
    EXPECT_EQ(static_cast<size_t>(kRequestMax), std::strlen(request));
}

TEST(InstanceTest, InstanceWithoutHandleEndsAtOnce) {
    EXPECT_EQ(nullptr, instanceMain(nullptr));
    Instance record;
    EXPECT_EQ(nullptr, instanceMain(&record));
    EXPECT_FALSE(record.success.load());
}

class InstancePoolTest : public ql::test::DaemonFixture {
  protected:
    void SetUp() override {
        stopFlag.store(0);
        openDaemonLog();
    }
    void TearDown() override {
        stopFlag.store(SIGTERM);
        (void)pool_.stopAll(std::chrono::seconds(30));
        closeDaemonLog();
        stopFlag.store(0);
    }
    void Start(int32_t count) {
        ASSERT_TRUE(pool_.allocate(count));
        // Requests for missing files are answered before the engine is reached.
        ASSERT_TRUE(pool_.start(reinterpret_cast<AVHandle>(&fakeEngine_), 2, ClientAccess::kCheck));
        pool_.waitReady(std::chrono::seconds(5));
    }
    // Hand a connection with request over and return the reply.
    std::string HandOver(const std::string &request) {
        SocketPair pair;
        EXPECT_EQ(static_cast<ssize_t>(request.size()),
                  write(pair.clientEnd.get(), request.data(), request.size()));
        EXPECT_TRUE(pool_.handOver(pair.daemonEnd.release()));
        return ql::test::readReply(pair.clientEnd.get());
    }
    int fakeEngine_ = 0;
    InstancePool pool_;
};

TEST_F(InstancePoolTest, IdleInstancesLeaveEveryConnectionToInstanceZero) {
    Start(10);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ("1 No such file or directory\n", HandOver("/no/such/file\r\n"));
        // The reply is sent before the record is freed; wait for that.
        while (pool_[0].sockFd.load() >= 0) {
            pool_.waitRelease(std::chrono::microseconds(500));
        }
    }
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("Instance 0 free to process\n"));
    EXPECT_EQ(std::string::npos, log.find("Instance 1 free to process\n"));
}

TEST_F(InstancePoolTest, ConnectionHandedOverWhileStoppingIsClosed) {
    Start(10);
    stopFlag.store(SIGTERM);
    SocketPair pair;
    EXPECT_FALSE(pool_.handOver(pair.daemonEnd.release()));
    EXPECT_EQ("", ql::test::readReply(pair.clientEnd.get()));
}

}  // namespace
