#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

#include "common/unique_fd.h"
#include "daemon/interface_conf.h"
#include "settings/ini_loader.h"
#include "settings/ini_reader.h"
#include "settings/value_table.h"
#include "tests/support/temp_root.h"

namespace {

using ql::settings::IniEntry;
using ql::settings::IniEntryKind;
using ql::settings::IniReader;

struct TableOwner {
    ValueTable *table = tableCreate();
    ~TableOwner() { tableDelete(table); }
};

// Set (value nullptr: unset) an environment variable until the returned guard ends.
auto withEnv(const char *name, const char *value) {
    const char *now = std::getenv(name);
    auto old = now != nullptr ? std::optional<std::string>(now) : std::nullopt;
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
    return ql::ScopeGuard([name, old] { old ? setenv(name, old->c_str(), 1) : unsetenv(name); });
}

// Every physical line iniReadLine yields, joined by '|'.
std::string readLines(std::string text) {
    std::FILE *file = fmemopen(text.data(), text.size(), "r");
    std::string out;
    char line[ql::settings::kIniLineColumns + 1];
    const char *separator = "";
    for (int n = 0; (n = ql::settings::iniReadLine(file, line)) >= 0; separator = "|") {
        out += separator + std::string(line, static_cast<std::size_t>(n));
    }
    std::fclose(file);
    return out;
}

// Every entry iniReadEntry yields, as "S[name]" or "K[key]=[value]".
std::string readEntries(std::string text) {
    IniReader reader;
    reader.file = fmemopen(text.data(), text.size(), "r");
    std::string out;
    for (IniEntry e = iniReadEntry(reader); e.kind != IniEntryKind::End; e = iniReadEntry(reader)) {
        out += e.kind == IniEntryKind::Section ? "S[" + e.name + "]"
                                               : "K[" + e.name + "]=[" + e.value + "]";
    }
    std::fclose(reader.file);
    return out;
}

TEST(ValueTableTest, NamesAreFoundExactlyAndStoringAgainReplacesTheValue) {
    TableOwner t;
    ASSERT_NE(tableSet(t.table, "ab", "1"), nullptr);
    ValueEntry *entry = tableSet(t.table, "ab", "first");
    tableSet(t.table, "ba", "second");  // same bucket as "ab"
    EXPECT_EQ(t.table->count, 2);
    EXPECT_STREQ(tableGet(t.table, "ab", nullptr), "first");
    EXPECT_STREQ(tableGet(t.table, "ba", nullptr), "second");
    EXPECT_EQ(tableFind(t.table, "AB"), nullptr);
    EXPECT_EQ(tableFind(t.table, " ab"), nullptr) << "only tableGet trims the name";
    EXPECT_STREQ(tableGet(t.table, " \tab  ", "none"), "first");

    const char *before = entry->value;
    EXPECT_EQ(tableSet(t.table, "ab", before), entry);
    EXPECT_EQ(entry->value, before) << "an equal value keeps the handed-out text valid";
}

TEST(ValueTableTest, NumbersAreReadLikeStrtolAndClampedTo32Bits) {
    const std::pair<const char *, int32_t> rows[] = {
        {"30", 30},
        {" 30 words", 30},
        {"-5", -5},
        {"abc", 0},
        {"0x10", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-99999999999", INT32_MIN},
    };
    TableOwner t;
    for (const auto &[value, number] : rows) {
        tableSet(t.table, "n", value);
        EXPECT_EQ(tableGetNumber(t.table, "n", -1), number) << value;
    }
    EXPECT_EQ(tableGetNumber(t.table, "missing", -1), -1);
}

TEST(IniReaderTest, PhysicalLinesFollowTheColumnRules) {
    const std::string a1024(1024, 'a');
    const std::pair<std::string, std::string> rows[] = {
        {"a\tb", "a       b"},
        {"abcdefgh\tX", "abcdefgh        X"},
        {"ab\r\ncd\r\n", "ab|cd"},
        {"\n\nx", "||x"},
        {"\x1a", ""},
        {"\x1a\nk=v\n", ""},
        {"ab\x1a", "ab"},
        {a1024 + a1024.substr(0, 476), a1024 + "|" + a1024.substr(0, 476)},
        {std::string(1020, 'a') + "\tx", std::string(1020, 'a') + "    |x"},
        {a1024 + "\n", a1024 + "|"},
    };
    for (const auto &[input, lines] : rows) {
        EXPECT_EQ(readLines(input), lines) << input;
    }
}

TEST(IniReaderTest, EntriesFollowTheLineSyntax) {
    const std::string head = "k=\"" + std::string(1016, 'x') + "-";  // 1020 columns, room for 4
    const std::string full = "k=\"" + std::string(1020, 'x') + "-";  // 1024 columns, no room
    const std::pair<std::string, std::string> rows[] = {
        {"; c\n  # c\n! include x\n\n   \nnothing here\n[\n[]x\n", ""},
        {"[postwicker]\nMaxInstances = 30 ; comment\n", "S[postwicker]K[MaxInstances]=[30]"},
        {"[ postwicker ]\n[abc\n[a]tail\n[b\n[]\n", "S[ postwicker ]S[abc]S[a]S[b]S[]"},
        {"key\t= v\n  a b  =  c d  \n=v\nk=\nk=#x\n",
         "K[key]=[v]K[a b]=[c d]K[]=[v]K[k]=[]K[k]=[]"},
        {"k = \"a;b#c\" ; comment\n", "K[k]=[\"a;b#c\"]"},
        {"k = \"a\\\"b\" tail\n", "K[k]=[\"a\\\"b\"]"},
        {"k = \"abc-\n  def\" ;x\nn=1\n", "K[k]=[\"abc  def\"]K[n]=[1]"},
        {"k = \"a-\nb-\nc\"\n", "K[k]=[\"abc\"]"},
        {"k = \"abc-", "K[k]=[\"abc-]"},
        {"k = abc-\nn=1\n", "K[k]=[abc-]K[n]=[1]"},
        {"k = \"open\\", "K[k]=[\"open\\]"},
        {"k=a=b\n", "K[k]=[a=b]"},
        // A continuation fills the line's 1024 columns and no more.
        {head + "\n" + std::string(100, 'y') + "\nn=1\n",
         "K[k]=[\"" + std::string(1016, 'x') + "yyyy]K[n]=[1]"},
        {full + "\nn=1\n", "K[k]=[" + full.substr(2) + "]K[n]=[1]"},
    };
    for (const auto &[input, entries] : rows) {
        EXPECT_EQ(readEntries(input), entries) << input;
    }
}

TEST(IniReaderTest, ReferencesExpandOnlyInTheirFullForm) {
    TableOwner env;
    tableSet(env.table, "HOME", "/home/q");
    tableSet(env.table, "A", "$(HOME)");
    const std::pair<const char *, const char *> rows[] = {
        {"$(HOME)/x", "/home/q/x"},
        {"$(home)", ""},
        {"$HOME", "$HOME"},
        {"a$", "a$"},
        {"$(HOME", "$(HOME"},
        {"$$(HOME)", "$$(HOME)"},
        {"$(A)", "$(HOME)"},
        {"x$(NOPE)y", "xy"},
        {"$()", ""},
        {"$(HOME)$(HOME)", "/home/q/home/q"},
    };
    for (const auto &[value, expanded] : rows) {
        EXPECT_EQ(ql::settings::expandEnvRefs(value, env.table), expanded) << value;
    }
    EXPECT_EQ(ql::settings::expandEnvRefs("a$(HOME)b", nullptr), "ab");
}

TEST(IniReaderTest, UnquotingTakesEscapesAndOnlyTheClosingQuote) {
    const std::pair<const char *, const char *> rows[] = {
        {"\"a;b\"", "a;b"},   {"\"a\\nb\"", "a\nb"}, {"\"a\\\\b\"", "a\\b"},
        {"\"a\\qb\"", "aqb"}, {"\"\"", ""},          {"\"", ""},
        {"\"abc", "abc"},     {"\"abc\\", "abc\\"},  {"\"a\"b\"", "a\"b"},
        {"\"ab\\\"", "ab\""},
    };
    for (const auto &[quoted, plain] : rows) {
        EXPECT_EQ(ql::settings::unquoteValue(quoted), plain) << quoted;
    }
}

class IniLoaderTest : public ::testing::Test {
  protected:
    // Writes text to name below the folder, making the folders on its way.
    std::string write(const std::string &name, const std::string &text) {
        root_.writeFixed("/" + name, text);
        return root_.path("/" + name);
    }

    // Loads text from a file into a fresh table.
    ValueTable *load(const std::string &text) {
        return iniLoad(t_.table, write("test.ini", text).c_str());
    }

    ql::test::TempRoot root_;
    const std::string dir_ = root_.root();
    TableOwner t_;
};

TEST_F(IniLoaderTest, SettingsAreStoredUnquotedAndExpandedUnderSectionAndKey) {
    auto home = withEnv("HOME", "/home/q");
    ValueTable *table = load(
        "MaxInstances = 5\n"
        "[postwicker]\n"
        "PostwickerSocket=/run/a;b\n"
        "PostwickerPID = \"/run/a;b#c\" ; quoted\n"
        "MaxInstances = 29\n"
        "MaxInstances = 30 ; comment\n"
        "ref = \"$(HOME)\\n-\n"
        "x\"\n"
        "[other]\n"
        "MaxInstances = 40\n");
    ASSERT_EQ(table, t_.table);
    EXPECT_STREQ(tableGet(table, "postwicker", nullptr), "");
    EXPECT_STREQ(tableGet(table, "postwicker:PostwickerSocket", nullptr), "/run/a");
    EXPECT_STREQ(tableGet(table, "postwicker:PostwickerPID", nullptr), "/run/a;b#c");
    EXPECT_EQ(tableGetNumber(table, " postwicker:MaxInstances ", -1), 30);
    EXPECT_EQ(tableGetNumber(table, "other:MaxInstances", -1), 40);
    EXPECT_STREQ(tableGet(table, "postwicker:ref", nullptr), "/home/q\nx");
    EXPECT_EQ(tableFind(table, ":MaxInstances"), nullptr) << "key before the first header";
    EXPECT_STREQ(tableGet(table, "filename", nullptr), (dir_ + "/test.ini").c_str());
}

TEST_F(IniLoaderTest, LongValuesAndLinesAreKeptWithinTheirBounds) {
    for (std::size_t length : {255u, 256u, 1020u}) {
        std::string value(length, 'v');
        EXPECT_EQ(tableGet(load("[s]\nk=" + value + "\n"), "s:k", ""), value)
            << length << " characters are stored whole";
    }
    // 1500 characters: 1024 columns, then the remaining 476 as a line of their own.
    std::string line = "a=" + std::string(1022, 'x') + "b=" + std::string(474, 'y');
    ValueTable *table = load("[s]\n" + line + "\n");
    EXPECT_EQ(std::string(tableGet(table, "s:a", "")), std::string(1022, 'x')) << line;
    EXPECT_EQ(std::string(tableGet(table, "s:b", "")), std::string(474, 'y')) << line;
}

TEST_F(IniLoaderTest, FileStampIsTheLocalModificationTimeAndAMissingFileChangesNothing) {
    std::string path = write("stamp.ini", "[s]\n");
    struct tm local {};
    ASSERT_NE(strptime("2021-03-04 05:06:07", "%Y-%m-%d %H:%M:%S", &local), nullptr);
    local.tm_isdst = -1;
    struct timeval times[2] = {{mktime(&local), 0}, {mktime(&local), 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
    iniLoad(t_.table, path.c_str());
    EXPECT_STREQ(tableGet(t_.table, "filedate", nullptr), "20210304");
    EXPECT_STREQ(tableGet(t_.table, "filetime", nullptr), "5060700");

    std::string missing = dir_ + "/missing.ini";
    TableOwner given;
    EXPECT_EQ(iniLoad(given.table, missing.c_str()), given.table);
    EXPECT_EQ(given.table->count, 0);
    ValueTable *created = iniLoad(nullptr, missing.c_str());
    ASSERT_NE(created, nullptr);
    EXPECT_STREQ(tableGet(created, "filename", nullptr), missing.c_str());
    EXPECT_STREQ(tableGet(created, "filedate", nullptr), "0");
    EXPECT_STREQ(tableGet(created, "filetime", nullptr), "0");
    tableDelete(created);
}

TEST_F(IniLoaderTest, OnlyRelativeNamesAreSearchedInPath) {
    write("bin2/found.ini", "[s]\nk=from-path\n");
    write("etc/only-here.ini", "[s]\nk=wrong\n");
    std::string absolute = write("abs.ini", "[s]\nk=direct\n");
    struct Row {
        std::string name, path;  // path: PATH, "" for none
        const char *found;       // nullptr: nothing is read
    } rows[] = {
        {"found.ini", "::" + dir_ + "/bin1:" + dir_ + "/bin2", "from-path"},
        {absolute, "", "direct"},
        // An absolute name must not resolve under a PATH directory.
        {"/etc/only-here.ini", dir_, nullptr},
    };
    for (const Row &row : rows) {
        auto path = withEnv("PATH", row.path.empty() ? nullptr : row.path.c_str());
        TableOwner t;
        iniLoad(t.table, row.name.c_str());
        EXPECT_STREQ(tableGet(t.table, "s:k", nullptr), row.found) << row.name;
        if (row.found == nullptr) {
            EXPECT_EQ(t.table->count, 0) << row.name;
        } else {
            EXPECT_STREQ(tableGet(t.table, "filename", nullptr), row.name.c_str()) << row.name;
        }
    }
}

TEST_F(IniLoaderTest, LoadsInTwoThreadsDoNotDisturbEachOther) {
    auto fileFor = [this](char fill) {
        std::string value(900, fill);
        return write(std::string(1, fill) + ".ini",
                     "[" + std::string(1, fill) + "]\n" + "k = \"" + value.substr(0, 400) + "-\n" +
                         value.substr(400) + "\"\n" + "n = " + std::to_string(fill) + "\n");
    };
    const std::string files[2] = {fileFor('a'), fileFor('b')};
    int failures[2] = {0, 0};
    auto run = [&](int which) {
        char fill = static_cast<char>('a' + which);
        std::string name(1, fill);
        for (int i = 0; i < 200; ++i) {
            ValueTable *table = iniLoad(nullptr, files[which].c_str());
            bool ok = table != nullptr &&
                      tableGet(table, (name + ":k").c_str(), "") == std::string(900, fill) &&
                      tableGetNumber(table, (name + ":n").c_str(), -1) == fill;
            failures[which] += ok ? 0 : 1;
            tableDelete(table);
        }
    };
    std::thread other(run, 0);
    run(1);
    other.join();
    EXPECT_EQ(failures[0] + failures[1], 0);
}

// The daemon's reader of interface.conf over the store.
using ql::daemon::InterfaceSettings;
using ql::daemon::readInterfaceConf;

class InterfaceConfTest : public ::testing::Test {
  protected:
    // Settings after reading text as the settings file.
    InterfaceSettings Read(const std::string &text) {
        root_.writeFixed(ql::daemon::kInterfaceConfFile, text);
        InterfaceSettings settings = ql::daemon::defaultSettings();
        EXPECT_EQ(0, readInterfaceConf(ConfPath().c_str(), &settings)) << text;
        return settings;
    }
    std::string ConfPath() const { return root_.path(ql::daemon::kInterfaceConfFile); }
    std::string DefaultSock() const { return root_.path(ql::daemon::kDefaultSockPath); }
    std::string DefaultPid() const { return root_.path(ql::daemon::kDefaultPidFilePath); }

    ql::test::TempRoot root_;
};

// What of the settings the daemon's reader decides: the defaults, each number's range, a yes or
// no word, a path cut to its field. The file's syntax is the settings store's, tested there;
// that the daemon runs as many instances as it took is shown by the daemon's settings suite.
TEST_F(InterfaceConfTest, EachSettingIsTakenOnlyWithinItsRangeElseItsDefaultStays) {
    const std::string longPath = "/" + std::string(400, 'p');
    struct Row {
        std::string lines;  // below the [postwicker] header
        std::string settings;
    };
    const Row rows[] = {
        {"", "20 30"},
        {"MaxInstances = 30 ; comment", "30 30"},
        {"MaxInstances=9", "20 30"},
        {"MaxInstances=51", "20 30"},
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
        InterfaceSettings s = Read("[postwicker]\n" + row.lines + "\n");
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

TEST_F(InterfaceConfTest, MissingFileOrArgumentFailsAndAnUnreadableFileKeepsTheDefaults) {
    InterfaceSettings settings = ql::daemon::defaultSettings();
    EXPECT_EQ(-1, readInterfaceConf(ConfPath().c_str(), &settings));
    EXPECT_EQ(-1, readInterfaceConf(nullptr, &settings));
    Read("[postwicker]\nMaxInstances=10\n");
    EXPECT_EQ(-1, readInterfaceConf(ConfPath().c_str(), nullptr));
    if (geteuid() != 0) {  // root reads every file
        chmod(ConfPath().c_str(), 0);
        EXPECT_EQ(0, readInterfaceConf(ConfPath().c_str(), &settings));
        EXPECT_EQ(20, settings.maxInstances);
    }
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
