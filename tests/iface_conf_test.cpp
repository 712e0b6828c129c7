#include "common/iface_conf.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "tests/support/temp_root.h"

namespace {

class IfaceConfTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = ql::test::makeTempDir("iface_conf."); }
    void TearDown() override { ql::test::removeTree(dir_); }

    std::string write(const std::string &text) {
        std::string path = dir_ + "/qorn.conf";
        ql::test::writeFile(path, text);
        return path;
    }

    std::vector<std::string> lines(const std::string &text) {
        ql::UniqueFd fd(::open(write(text).c_str(), O_RDONLY));
        std::vector<std::string> out;
        char line[QL_PATH_MAX];
        while (QL_getConfFileLine(fd.get(), line) == 0) {
            out.emplace_back(line);
        }
        return out;
    }

    std::string dir_;
    char conf_[QL_CONF_BLOCK_SIZE] = "unchanged";
    const char *field1() const { return conf_; }
    const char *field2() const { return conf_ + QL_VALUE_MAX; }
};

TEST_F(IfaceConfTest, TrimAndCommentFilterWorkInPlace) {
    std::string text = " \t a b \r\n";
    EXPECT_EQ(QL_Trim(text.data()), text.data());
    EXPECT_EQ(text.c_str(), std::string("a b"));
    std::string blanks = " \v\f ";
    EXPECT_STREQ(QL_TrimLeft(blanks.data()), "");
    EXPECT_EQ(QL_TrimRight(nullptr), nullptr);
    std::string comment = "ab#c#d";
    EXPECT_EQ(QL_filterComment(comment.data()), 3);
    EXPECT_EQ(comment.c_str(), std::string("ab"));
    EXPECT_EQ(QL_filterComment(text.data()), 0);
    EXPECT_EQ(QL_filterComment(nullptr), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
}

TEST_F(IfaceConfTest, GetOptionParsesHeadersOptionsAndOtherLines) {
    const std::string longText(300, 'k');
    struct Row {
        std::string input;
        int kind;
        std::string key, value;
    } rows[] = {
        {"[path]", 1, "path", ""},
        {" [ Path ] # c", 1, "Path", ""},
        {"[]", 1, "", ""},
        {"LocalSocketPath = /var/run/x.sock # comment", 2, "LocalSocketPath", "/var/run/x.sock"},
        {"k=", 2, "k", ""},
        {"=v", 2, "", "v"},
        {"a = b = c", 2, "a", "b = c"},
        {longText + "=" + longText, 2, longText.substr(0, 255), longText.substr(0, 255)},
        {"k=" + std::string(250, ' ') + "v" + std::string(10, 'w'), 2, "k", "vwwww"},
        {"# only a comment", -1, "", ""},
        {"", -1, "", ""},
        {"no equals sign", -1, "", ""},
        {"[open", -1, "", ""},
        {"x#=y", -1, "", ""},
    };
    for (const Row &row : rows) {
        char key[QL_VALUE_MAX] = "old";
        char value[QL_VALUE_MAX] = "old";
        EXPECT_EQ(QL_getOption(row.input.c_str(), key, value), row.kind) << row.input;
        EXPECT_EQ(key, row.key) << row.input;
        EXPECT_EQ(value, row.value) << row.input;
    }
}

TEST_F(IfaceConfTest, LinesEndAtNewlineCarriageReturnAndFF) {
    std::string text =
        "a\r\nb\xff" + std::string(1100, 'x') + "\n" + std::string(1022, 'y') + "\nlast";
    std::vector<std::string> expected = {
        "a\r", "\n", "b", std::string(1023, 'x'), std::string(1022, 'y') + "\n", "last"};
    EXPECT_EQ(lines(text), expected);
    EXPECT_TRUE(lines("").empty());
    char line[QL_PATH_MAX];
    EXPECT_EQ(QL_getConfFileLine(-1, line), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
}

TEST_F(IfaceConfTest, KAVConfTakesKeysFromSectionPathOnward) {
    struct Row {
        std::string input, socket, pid;
    } rows[] = {
        {"[path]\nLocalSocketPath = /var/run/x.sock # comment\nAVSpidPATH=/var/run/x.pid\n",
         "/var/run/x.sock", "/var/run/x.pid"},
        {"[path]\r\nLocalSocketPath=/s\r\nAVSpidPATH=/p\r\n", "/s", "/p"},
        {"LocalSocketPath=/s\nAVSpidPATH=/p\n[path]\n", "", ""},
        {"[path]\n[other]\nLocalSocketPath=/s\nAVSpidPATH=/p", "/s", "/p"},
        {"[ Path ]\nlocalsocketpath=/s\n", "/s", ""},
        {"[path]\nLocalSocketPath=/a\nLocalSocketPath=/b\nAVSpidPATH=/p\nAVSpidPATH=/q\n", "/b",
         "/p"},
        {"[paths]\nLocalSocketPath=/s\n", "", ""},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(QL_getKAVScannerConf(write(row.input).c_str(), conf_), 0) << row.input;
        EXPECT_EQ(field1(), row.socket) << row.input;
        EXPECT_EQ(field2(), row.pid) << row.input;
    }
}

TEST_F(IfaceConfTest, BDConfAppendsPluginsAndCutsLongBasesPath) {
    const std::string bases250 = "/" + std::string(249, 'b');
    struct Row {
        std::string input, plugins, temp;
    } rows[] = {
        {"[path]\nBasesPath=/opt/x/bases\nTempPath=/var/tmp\n", "/opt/x/bases/Plugins", "/var/tmp"},
        {"[path]\nBasesPath=" + bases250 + "\n", bases250 + "/Plug", ""},
        {"[path]\nTempPath=/t", "", "/t"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(QL_getBDScannerConf(write(row.input).c_str(), conf_), 0) << row.input;
        EXPECT_EQ(field1(), row.plugins) << row.input;
        EXPECT_EQ(field2(), row.temp) << row.input;
    }
}

TEST_F(IfaceConfTest, UnreadableFileFailsWithOpenErrorAndLeavesBlock) {
    std::string missing = dir_ + "/missing.conf";
    EXPECT_EQ(QL_getKAVScannerConf(missing.c_str(), conf_), -1);
    EXPECT_EQ(ql::lastErrorCode(), ENOENT);
    EXPECT_EQ(QL_getBDScannerConf(missing.c_str(), conf_), -1);
    EXPECT_STREQ(field1(), "unchanged");
    EXPECT_EQ(QL_getKAVScannerConf(nullptr, conf_), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
    EXPECT_EQ(QL_getBDScannerConf(missing.c_str(), nullptr), -1);
    EXPECT_EQ(ql::lastErrorCode(), EINVAL);
}

}  // namespace
