#include "daemon/interface_conf.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/temp_root.h"

namespace {

using ql::daemon::InterfaceSettings;
using ql::daemon::readInterfaceConf;

class InterfaceConfTest : public ::testing::Test {
  protected:
    // Settings after reading text as the settings file.
    InterfaceSettings Read(const std::string &text, int *status = nullptr) {
        root_.writeFixed(ql::daemon::kInterfaceConfFile, text);
        InterfaceSettings settings = ql::daemon::defaultSettings();
        int result = readInterfaceConf(ConfPath().c_str(), &settings);
        if (status != nullptr) {
            *status = result;
        }
        return settings;
    }
    std::string ConfPath() const { return root_.path(ql::daemon::kInterfaceConfFile); }
    std::string DefaultSock() const { return root_.path(ql::daemon::kDefaultSockPath); }
    std::string DefaultPid() const { return root_.path(ql::daemon::kDefaultPidFilePath); }

    ql::test::TempRoot root_;
};

TEST_F(InterfaceConfTest, DefaultsLieBelowTheInstallationRoot) {
    InterfaceSettings settings = ql::daemon::defaultSettings();
    EXPECT_EQ(DefaultSock(), settings.sockPath);
    EXPECT_EQ(DefaultPid(), settings.pidFilePath);
    EXPECT_EQ(20, settings.maxInstances);
    EXPECT_EQ(30, settings.requestTimeout);
}

TEST_F(InterfaceConfTest, MissingFileOrArgumentFails) {
    InterfaceSettings settings = ql::daemon::defaultSettings();
    EXPECT_EQ(-1, readInterfaceConf(ConfPath().c_str(), &settings));
    EXPECT_EQ(-1, readInterfaceConf(nullptr, &settings));
    Read("[postwicker]\n");
    EXPECT_EQ(-1, readInterfaceConf(ConfPath().c_str(), nullptr));
}

TEST_F(InterfaceConfTest, NumbersAreTakenOnlyWithinTheirRange) {
    struct Case {
        const char *line;
        int32_t instances;
        int32_t timeout;
    };
    const Case cases[] = {
        {"", 20, 30},
        {"MaxInstances=10", 10, 30},
        {"MaxInstances=50", 50, 30},
        {"MaxInstances=9", 20, 30},
        {"MaxInstances=51", 20, 30},
        {"MaxInstances=30 words", 30, 30},
        {"MaxInstances=words", 20, 30},
        {"MaxInstances = 30 ; comment", 30, 30},
        {"maxinstances=30", 20, 30},
        {"RequestTimeout=1", 20, 1},
        {"RequestTimeout=3600", 20, 3600},
        {"RequestTimeout=0", 20, 30},
        {"RequestTimeout=3601", 20, 30},
        {"RequestTimeout=-5", 20, 30},
    };
    for (const Case &c : cases) {
        int status = -2;
        InterfaceSettings settings = Read(std::string("[postwicker]\n") + c.line + "\n", &status);
        EXPECT_EQ(0, status) << c.line;
        EXPECT_EQ(c.instances, settings.maxInstances) << c.line;
        EXPECT_EQ(c.timeout, settings.requestTimeout) << c.line;
        EXPECT_EQ(DefaultSock(), settings.sockPath) << c.line;
    }
}

TEST_F(InterfaceConfTest, PathsAreTakenAsWrittenInTheExactSection) {
    struct Case {
        const char *text;
        const char *sock;  // nullptr: the default stays
    };
    const Case cases[] = {
        {"[postwicker]\nPostwickerSocket=/tmp/s\n", "/tmp/s"},
        {"[postwicker]\nPostwickerSocket=\n", ""},
        {"[postwicker]\nPostwickerSocket=/tmp/s ; the socket\n", "/tmp/s"},
        {"[postwicker]\nPostwickerSocket=\"/tmp/a;b\"\n", "/tmp/a;b"},
        {"[postwicker]\nPostwickerSocket=/tmp/a\nPostwickerSocket=/tmp/b\n", "/tmp/b"},
        {"[Postwicker]\nPostwickerSocket=/tmp/s\n", nullptr},
        {"[postwicker]\npostwickersocket=/tmp/s\n", nullptr},
        {"PostwickerSocket=/tmp/s\n[postwicker]\n", nullptr},
        {"[other]\nPostwickerSocket=/tmp/s\n", nullptr},
    };
    for (const Case &c : cases) {
        InterfaceSettings settings = Read(c.text);
        EXPECT_EQ(c.sock != nullptr ? std::string(c.sock) : DefaultSock(), settings.sockPath)
            << c.text;
        EXPECT_EQ(DefaultPid(), settings.pidFilePath) << c.text;
    }
}

TEST_F(InterfaceConfTest, TagErrorRepliesTakesOnlyAYesOrNoWord) {
    const std::pair<const char *, bool> rows[] = {
        {"", false},
        {"TagErrorReplies=yes", true},
        {"TagErrorReplies = On ; tagged", true},
        {"TagErrorReplies=TRUE", true},
        {"TagErrorReplies=1", true},
        {"TagErrorReplies=no", false},
        {"TagErrorReplies=yes\nTagErrorReplies=off", false},
        {"TagErrorReplies=yes\nTagErrorReplies=maybe", false},
        {"TagErrorReplies=yes please", false},
        {"TagErrorReplies=2", false},
        {"tagerrorreplies=yes", false},
    };
    for (const auto &[line, tagged] : rows) {
        EXPECT_EQ(tagged, Read(std::string("[postwicker]\n") + line + "\n").replies.tagErrors)
            << line;
    }
}

TEST_F(InterfaceConfTest, OverlongPathIsCutToItsField) {
    std::string longPath = "/" + std::string(400, 'p');
    InterfaceSettings settings = Read("[postwicker]\nPostwickerPID=" + longPath + "\n");
    EXPECT_EQ(longPath.substr(0, QL_VALUE_MAX - 1), settings.pidFilePath);
}

TEST_F(InterfaceConfTest, UnreadableFileKeepsTheDefaults) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    Read("[postwicker]\nMaxInstances=10\n");
    chmod(ConfPath().c_str(), 0);
    InterfaceSettings settings = ql::daemon::defaultSettings();
    EXPECT_EQ(0, readInterfaceConf(ConfPath().c_str(), &settings));
    EXPECT_EQ(20, settings.maxInstances);
}

TEST_F(InterfaceConfTest, SocketModeTakesOctalFrom0To0777Only) {
    const std::pair<const char *, int32_t> rows[] = {
        {"", 0777},    {"0", 0},       {"660", 0660}, {"0660", 0660}, {" 0750 ", 0750},
        {"777", 0777}, {"0777", 0777}, {"1000", -1},  {"01000", -1},  {"8", -1},
        {"0680", -1},  {"-1", -1},     {"0660x", -1}, {"rw", -1},     {"0x1ff", -1},
    };
    for (const auto &[text, mode] : rows) {
        EXPECT_EQ(mode, ql::daemon::socketModeOf(text)) << '"' << text << '"';
    }
}

}  // namespace
