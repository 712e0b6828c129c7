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

// What of the settings the daemon's reader decides: the defaults, each number's range, a yes or
// no word, a path cut to its field. The file's syntax is the settings store's, tested there;
// MaxInstances's range is shown end to end by the daemon's settings suite.
TEST_F(InterfaceConfTest, EachSettingIsTakenOnlyWithinItsRangeElseItsDefaultStays) {
    const std::string longPath = "/" + std::string(400, 'p');
    struct Row {
        std::string lines;  // below the [postwicker] header
        std::string settings;
    };
    const Row rows[] = {
        {"", "20 30"},
        {"MaxInstances = 30 ; comment", "30 30"},
        {"RequestTimeout=1", "20 1"},
        {"RequestTimeout=3600", "20 3600"},
        {"RequestTimeout=0", "20 30"},
        {"RequestTimeout=3601", "20 30"},
        {"RequestTimeout=-5", "20 30"},
        {"PostwickerSocket=/tmp/s", "20 30 socket=/tmp/s"},
        {"PostwickerSocket=", "20 30 socket="},
        {"PostwickerSocket=\"/tmp/a;b\" ; the socket", "20 30 socket=/tmp/a;b"},
        {"PostwickerSocket=/tmp/a\nPostwickerSocket=/tmp/b", "20 30 socket=/tmp/b"},
        {"postwickersocket=/tmp/s", "20 30"},
        {"PostwickerPID=" + longPath, "20 30 pid=" + longPath.substr(0, QL_VALUE_MAX - 1)},
        {"TagErrorReplies=yes", "20 30 tagged"},
        {"TagErrorReplies = On ; tagged", "20 30 tagged"},
        {"TagErrorReplies=TRUE", "20 30 tagged"},
        {"TagErrorReplies=1", "20 30 tagged"},
        {"TagErrorReplies=no", "20 30"},
        {"TagErrorReplies=yes\nTagErrorReplies=off", "20 30"},
        {"TagErrorReplies=yes\nTagErrorReplies=maybe", "20 30"},
        {"TagErrorReplies=yes please", "20 30"},
        {"TagErrorReplies=2", "20 30"},
        {"tagerrorreplies=yes", "20 30"},
    };
    for (const Row &row : rows) {
        int status = -2;
        InterfaceSettings s = Read("[postwicker]\n" + row.lines + "\n", &status);
        EXPECT_EQ(0, status) << row.lines;
        std::string got = std::to_string(s.maxInstances) + " " + std::to_string(s.requestTimeout);
        got += s.sockPath != DefaultSock() ? std::string(" socket=") + s.sockPath : "";
        got += s.pidFilePath != DefaultPid() ? std::string(" pid=") + s.pidFilePath : "";
        got += s.replies.tagErrors ? " tagged" : "";
        EXPECT_EQ(row.settings, got) << row.lines;
    }
    // Keys outside the exact section are not the daemon's.
    for (const char *text :
         {"[Postwicker]\nPostwickerSocket=/tmp/s\n", "PostwickerSocket=/tmp/s\n[postwicker]\n",
          "[other]\nPostwickerSocket=/tmp/s\n"}) {
        EXPECT_EQ(DefaultSock(), Read(text).sockPath) << text;
    }
}

TEST_F(InterfaceConfTest, MissingFileOrArgumentFails) {
    InterfaceSettings settings = ql::daemon::defaultSettings();
    EXPECT_EQ(-1, readInterfaceConf(ConfPath().c_str(), &settings));
    EXPECT_EQ(-1, readInterfaceConf(nullptr, &settings));
    Read("[postwicker]\n");
    EXPECT_EQ(-1, readInterfaceConf(ConfPath().c_str(), nullptr));
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
