#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "standins/common/byte_source.h"
#include "standins/common/matcher.h"
#include "standins/common/signatures.h"
#include "standins/common/tar_reader.h"
#include "tests/support/temp_root.h"

namespace {

using ql::standin::ByteSource;
using ql::standin::FdSource;
using ql::standin::Match;
using ql::standin::Matcher;
using ql::standin::MemorySource;
using ql::standin::Outcome;
using ql::standin::SignatureProblem;
using ql::standin::SignatureSet;
using ql::standin::TarEnd;
using ql::standin::TarMemberType;

SignatureSet setFrom(const std::string &text, std::vector<SignatureProblem> *problems = nullptr) {
    SignatureSet set;
    set.addFromText(text, problems);
    return set;
}

// Hands out at most `step` bytes per read and fails once `failAt` is reached, to exercise
// short reads and read errors.
class ChoppySource : public ByteSource {
  public:
    ChoppySource(std::string bytes, std::size_t step, std::uint64_t failAt = UINT64_MAX)
        : bytes_(std::move(bytes)), step_(step), failAt_(failAt) {}
    std::uint64_t size() const override { return bytes_.size(); }
    std::int64_t read(std::uint64_t offset, void *buf, std::size_t len) override {
        if (offset + len > failAt_) {
            errno = EIO;
            return -1;
        }
        MemorySource inner(bytes_);
        return inner.read(offset, buf, len < step_ ? len : step_);
    }

  private:
    std::string bytes_;
    std::size_t step_;
    std::uint64_t failAt_;
};

TEST(SignaturesTest, GoodLinesLoadWithTheirArguments) {
    struct Row {
        std::string line;
        Outcome outcome;
        std::string name, pattern;
        int delayMs = 0, errorCode = 0;
        std::string errorText = "";
    };
    const std::string name63(63, 'n');
    const Row rows[] = {
        {"infected\tWorm.A\t4d5a90", Outcome::Infected, "Worm.A", "\x4d\x5a\x90"},
        {"suspicious\tS\t4D 5a  90 ", Outcome::Suspicious, "S", "\x4d\x5a\x90"},
        {"encrypted\tE\ttext:hello world ", Outcome::Encrypted, "E", "hello world "},
        {"corrupted\tC\ttext:a\tb", Outcome::Corrupted, "C", "a\tb"},
        {"disinfect-failed\tDF\t00", Outcome::DisinfectFailed, "DF", std::string(1, '\0')},
        {"error5xx:503:Engine busy\tB\ttext:b", Outcome::Error5xx, "B", "b", 0, 503, "Engine busy"},
        {"delay:600000\tSlow\ttext:s", Outcome::Delay, "Slow", "s", 600000},
        {"infected\tCr\ttext:x\r", Outcome::Infected, "Cr", "x"},
        {"infected\t" + name63 + "\t41", Outcome::Infected, name63, "A"},
        {"infected\tL\t" + std::string(512, '7'), Outcome::Infected, "L", std::string(256, 'w')},
        {"infected\tL\ttext:" + std::string(256, 'q'), Outcome::Infected, "L",
         std::string(256, 'q')},
    };
    for (const Row &row : rows) {
        std::vector<SignatureProblem> problems;
        SignatureSet set = setFrom(row.line + "\n", &problems);
        EXPECT_TRUE(problems.empty()) << row.line << ": " << problems[0].reason;
        ASSERT_EQ(set.count(), 2u) << row.line;
        const auto &sig = set.all()[1];
        EXPECT_EQ(sig.outcome, row.outcome) << row.line;
        EXPECT_EQ(sig.name, row.name) << row.line;
        EXPECT_EQ(sig.pattern, row.pattern) << row.line;
        EXPECT_EQ(sig.delayMs, row.delayMs) << row.line;
        EXPECT_EQ(sig.errorCode, row.errorCode) << row.line;
        EXPECT_EQ(sig.errorText, row.errorText) << row.line;
    }
}

TEST(SignaturesTest, BadLinesAreSkippedAndReportedWithTheirReason) {
    struct Row {
        std::string line, reason;
    };
    const Row rows[] = {
        {"infected Worm 4d5a", "separated by tabs"},
        {"virus\tW\t41", "unknown outcome \"virus\""},
        {"delay:-1\tW\t41", "delay needs"},
        {"delay:600001\tW\t41", "delay needs"},
        {"error5xx:299:x\tW\t41", "error5xx needs"},
        {"error5xx:0503:x\tW\t41", "error5xx needs"},
        {"error5xx:503:a\x01z\tW\t41", "control character"},
        {"error5xx:503:" + std::string(201, 't') + "\tW\t41", "longer than 200"},
        {"infected\t\t41", "name must be"},
        {"infected\tTwo words\t41", "name must be"},
        {"infected\t" + std::string(64, 'n') + "\t41", "name must be"},
        {"infected\tW\t", "1 to 256 bytes"},
        {"infected\tW\t414", "column 3"},
        {"infected\tW\t4 1", "column 1"},
        {"infected\tW\tzz", "not hex"},
        {"infected\tW\t" + std::string(514, '7'), "1 to 256 bytes"},
        {"infected\tW\ttext:" + std::string(257, 'q'), "1 to 256 bytes"},
    };
    for (const Row &row : rows) {
        std::vector<SignatureProblem> problems;
        SignatureSet set = setFrom(row.line, &problems);
        EXPECT_EQ(set.count(), 1u) << row.line;
        ASSERT_EQ(problems.size(), 1u) << row.line;
        EXPECT_EQ(problems[0].line, 1) << row.line;
        EXPECT_NE(problems[0].reason.find(row.reason), std::string::npos)
            << row.line << ": " << problems[0].reason;
    }
}

TEST(SignaturesTest, CommentsAndBlankLinesAreSkippedButCounted) {
    std::vector<SignatureProblem> problems;
    SignatureSet set = setFrom(
        "# signatures\n\n   \t\n  # indented comment\r\nbroken line\ninfected\tA\ttext:a\r\n"
        "suspicious\tB\t42\nbad\tC\t43",
        &problems);
    ASSERT_EQ(set.count(), 3u);
    EXPECT_EQ(set.all()[1].name, "A");
    EXPECT_EQ(set.all()[2].name, "B");
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].line, 5);
    EXPECT_EQ(problems[1].line, 8);
}

TEST(SignaturesTest, SignaturesPastTheLimitAreReported) {
    std::string text;
    for (int i = 0; i < 1000; ++i) {
        text += "infected\tS" + std::to_string(i) + "\ttext:x\n";
    }
    std::vector<SignatureProblem> problems;
    SignatureSet set = setFrom(text, &problems);
    EXPECT_EQ(set.count(), ql::standin::kMaxSignatures);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 1000);
}

TEST(SignaturesTest, FileLoadsAndMissingFileLeavesOnlyTheBuiltInEicar) {
    std::string dir = ql::test::makeTempDir("sigs");
    ql::test::writeFile(dir + "/signatures.txt", "infected\tA\ttext:a\nnonsense\n");
    std::vector<SignatureProblem> problems;
    SignatureSet loaded =
        ql::standin::loadSignatureFile((dir + "/signatures.txt").c_str(), &problems);
    EXPECT_EQ(loaded.count(), 2u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 2);

    problems.clear();
    SignatureSet missing = ql::standin::loadSignatureFile((dir + "/none.txt").c_str(), &problems);
    ASSERT_EQ(missing.count(), 1u);
    EXPECT_EQ(missing.all()[0].pattern, ql::test::eicar()) << "EICAR is built in";
    EXPECT_TRUE(problems.empty());

    SignatureSet unreadable = ql::standin::loadSignatureFile(dir.c_str(), &problems);
    EXPECT_EQ(unreadable.count(), 1u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 0);
    EXPECT_NE(problems[0].reason.find(std::strerror(EISDIR)), std::string::npos);
    ql::test::removeTree(dir);
}

TEST(SignaturesTest, OverlongFileIsCutAtItsLastWholeLine) {
    std::string dir = ql::test::makeTempDir("sigs");
    std::string text = "infected\tFirst\ttext:a\n";
    text += std::string(ql::standin::kMaxSignatureFileBytes - text.size() - 10, '#') + "\n";
    text += "infected\tCut\ttext:b\n";  // straddles the limit
    ql::test::writeFile(dir + "/signatures.txt", text);
    std::vector<SignatureProblem> problems;
    SignatureSet set = ql::standin::loadSignatureFile((dir + "/signatures.txt").c_str(), &problems);
    ASSERT_EQ(set.count(), 2u);
    EXPECT_EQ(set.all()[1].name, "First");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 0);
    ql::test::removeTree(dir);
}

TEST(ByteSourceTest, FileByPathReadsAndRefusesWhatIsNotARegularFile) {
    std::string dir = ql::test::makeTempDir("src");
    ql::test::writeFile(dir + "/f", "0123456789");
    FdSource file((dir + "/f").c_str());
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(file.size(), 10u);
    char buf[8] = {};
    EXPECT_EQ(file.read(6, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "6789");
    EXPECT_EQ(file.read(10, buf, sizeof buf), 0);

    EXPECT_EQ(FdSource((dir + "/none").c_str()).error(), ENOENT);
    EXPECT_EQ(FdSource(dir.c_str()).error(), EISDIR);
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(FdSource((dir + "/fifo").c_str()).error(), EINVAL);  // and open did not block
    EXPECT_EQ(FdSource(-1).error(), EBADF);
    ql::test::removeTree(dir);
}

class MatcherTest : public ::testing::Test {
  protected:
    static constexpr std::size_t kChunk = Matcher::kChunkSize;

    std::vector<std::string> namesFound(ByteSource &source, std::uint64_t offset = 0,
                                        std::uint64_t length = UINT64_MAX) {
        Matcher matcher(set_);
        auto result = matcher.scan(source, offset, length);
        EXPECT_EQ(result.error, 0);
        std::vector<std::string> names;
        for (const Match &m : result.matches) {
            names.push_back(m.signature->name + "@" + std::to_string(m.offset));
        }
        return names;
    }

    SignatureSet set_ =
        setFrom("infected\tShort\ttext:QZQ\ninfected\tLong\ttext:" + std::string(200, 'L') +
                "M\nsuspicious\tByte\t00\n");
};

TEST_F(MatcherTest, FindsPatternsAcrossChunkBoundaries) {
    const std::string longPattern = std::string(200, 'L') + "M";
    // The long pattern starts at `at`, the short one ends right before it.
    for (std::size_t at : {kChunk - 201, kChunk - 200, kChunk - 100, kChunk - 1, kChunk, kChunk + 1,
                           kChunk + 2, 2 * kChunk - 150, 3 * kChunk - 201}) {
        for (std::size_t step : {kChunk, std::size_t{4093}}) {
            std::string bytes(3 * kChunk, '.');
            bytes.replace(at, longPattern.size(), longPattern);
            bytes.replace(at - 3, 3, "QZQ");
            ChoppySource source(bytes, step);
            EXPECT_EQ(namesFound(source),
                      (std::vector<std::string>{"Short@" + std::to_string(at - 3),
                                                "Long@" + std::to_string(at)}))
                << "at " << at << " step " << step;
        }
    }
}

TEST_F(MatcherTest, ReportsEachSignatureOnceInOrderOfFirstOccurrenceUpToTheSourceEnds) {
    struct Row {
        std::string bytes;
        std::vector<std::string> found;
    };
    const Row rows[] = {
        {"mail body " + ql::test::eicar() + " end", {"EICAR-Test-File@10"}},
        {"QZQ" + std::string(50, '.') + std::string(200, 'L') + "M", {"Short@0", "Long@53"}},
        {std::string("..QZQ..\0..QZQ..", 15), {"Short@2", "Byte@7"}},
    };
    for (const Row &row : rows) {
        MemorySource source(row.bytes);
        EXPECT_EQ(namesFound(source), row.found) << row.bytes;
    }
}

TEST_F(MatcherTest, MatchesOnlyWhatLiesWhollyInsideTheRange) {
    const std::string bytes = "QZQ..QZQ..QZQ";
    MemorySource source(bytes);
    EXPECT_EQ(namesFound(source, 5, 3), std::vector<std::string>{"Short@5"});
    EXPECT_EQ(namesFound(source, 6, 100), std::vector<std::string>{"Short@10"});
    EXPECT_TRUE(namesFound(source, 5, 2).empty());
    EXPECT_TRUE(namesFound(source, 1, 6).empty());
    EXPECT_TRUE(namesFound(source, 13, 10).empty());
    EXPECT_TRUE(namesFound(source, 100, 10).empty());
}

TEST_F(MatcherTest, ReadFailureKeepsTheMatchesFoundBefore) {
    std::string bytes(3 * kChunk, '.');
    bytes.replace(10, 3, "QZQ");
    bytes.replace(2 * kChunk + 10, 3, "QZQ");
    ChoppySource source(bytes, kChunk, 2 * kChunk);
    auto result = Matcher(set_).scan(source);
    EXPECT_EQ(result.error, EIO);
    ASSERT_EQ(result.matches.size(), 1u);
    EXPECT_EQ(result.matches[0].offset, 10u);
}

TEST(MatcherVerdictTest, SwitchesDecideFirstAndDelaysNeverDecide) {
    SignatureSet set = setFrom(
        "corrupted\tCor\ttext:c\nencrypted\tEnc\ttext:e\ndisinfect-failed\tDf\ttext:f\n"
        "disinfected\tDis\ttext:d\nsuspicious\tSus\ttext:s\ninfected\tInf\ttext:i\n"
        "error\tErr\ttext:r\nerror5xx:503:busy\tE5\ttext:5\ndrop\tDrop\ttext:p\n"
        "hang\tHang\ttext:h\ndelay:70\tD70\ttext:7\ndelay:20\tD20\ttext:2\n"
        "infected\tInf2\ttext:j\n");
    struct Row {
        std::string content, winner;
        int delayMs;
    };
    const Row rows[] = {
        {"", "", 0},       {"72", "", 70},    {"ce", "Enc", 0},    {"fec", "Df", 0},
        {"cdf", "Dis", 0}, {"sd", "Sus", 0},  {"si7", "Inf", 70},  {"ir", "Err", 0},
        {"r5", "E5", 0},   {"5p", "Drop", 0}, {"hp2", "Hang", 20}, {"ji", "Inf2", 0},
    };
    Matcher matcher(set);
    for (const Row &row : rows) {
        MemorySource source(row.content);
        auto result = matcher.scan(source);
        const Match *winner = ql::standin::decidingMatch(result.matches);
        EXPECT_EQ(winner == nullptr ? "" : winner->signature->name, row.winner) << row.content;
        EXPECT_EQ(ql::standin::longestDelayMs(result.matches), row.delayMs) << row.content;
    }
}

// Overwrite block bytes at `at` with text, keeping the block's size.
void put(std::string &block, std::size_t at, const std::string &text) {
    block.replace(at, text.size(), text);
}

// A tar header block with a correct checksum.
std::string tarHeader(const std::string &name, const std::string &sizeField, char typeflag = '0',
                      bool ustar = true, const std::string &prefix = "") {
    std::string block(512, '\0');
    put(block, 0, name.substr(0, 100));
    put(block, 100, "0000644");
    put(block, 124, sizeField);
    block[156] = typeflag;
    if (ustar) {
        put(block, 257,
            std::string("ustar\0"
                        "00",
                        8));
        put(block, 345, prefix);
    }
    put(block, 148, std::string(8, ' '));
    unsigned sum = 0;
    for (unsigned char c : block) {
        sum += c;
    }
    char field[8];
    std::snprintf(field, sizeof field, "%06o", sum);
    put(block, 148, std::string(field, 6) + '\0');
    return block;
}

std::string octal(std::size_t n) {
    char field[12];
    std::snprintf(field, sizeof field, "%011zo", n);
    return field;
}

std::string tarMember(const std::string &name, const std::string &data, char typeflag = '0') {
    std::string padding((512 - data.size() % 512) % 512, '\0');
    return tarHeader(name, octal(data.size()), typeflag) + data + padding;
}

const std::string kEnd(1024, '\0');

TEST(TarReaderTest, ListsMembersWithTheirDataInPlace) {
    std::string archive = tarMember("docs/", "", '5') + tarMember("docs/a.txt", "hello") +
                          tarMember("docs/link", "", '2') +
                          tarMember("docs/big.bin", std::string(600, 'b')) + kEnd;
    MemorySource source(archive);
    auto listing = ql::standin::listTar(source);
    EXPECT_TRUE(listing.isTar);
    EXPECT_EQ(listing.end, TarEnd::EndMarker);
    ASSERT_EQ(listing.members.size(), 4u);
    EXPECT_EQ(listing.members[0].type, TarMemberType::Directory);
    EXPECT_EQ(listing.members[1].type, TarMemberType::Regular);
    EXPECT_EQ(listing.members[1].name, "docs/a.txt");
    EXPECT_EQ(archive.substr(listing.members[1].dataOffset, listing.members[1].size), "hello");
    EXPECT_EQ(listing.members[2].type, TarMemberType::Other);
    EXPECT_EQ(listing.members[3].dataOffset, 5u * 512);
    EXPECT_EQ(listing.members[3].size, 600u);
}

TEST(TarReaderTest, NamesJoinThePrefixAndLoseControlCharacters) {
    std::string archive = tarHeader("file.txt", octal(0), '0', true, "some/deep/dir") +
                          tarHeader("evil\r\n220 x", octal(0)) + kEnd;
    MemorySource source(archive);
    auto listing = ql::standin::listTar(source);
    ASSERT_EQ(listing.members.size(), 2u);
    EXPECT_EQ(listing.members[0].name, "some/deep/dir/file.txt");
    EXPECT_EQ(listing.members[1].name, "evil??220 x");
}

TEST(TarReaderTest, OldStyleArchiveWithoutMagicIsRead) {
    std::string archive = tarHeader("old.txt", octal(3) + " ", '\0', false) +
                          std::string("abc").append(509, '\0') +
                          tarHeader("olddir/", octal(0), '\0', false);
    MemorySource source(archive);
    auto listing = ql::standin::listTar(source);
    EXPECT_TRUE(listing.isTar);
    EXPECT_EQ(listing.end, TarEnd::EndOfSource);
    ASSERT_EQ(listing.members.size(), 2u);
    EXPECT_EQ(listing.members[0].type, TarMemberType::Regular);
    EXPECT_EQ(listing.members[0].size, 3u);
    EXPECT_EQ(listing.members[1].type, TarMemberType::Directory);
}

TEST(TarReaderTest, WhatIsNotATarIsSaidSo) {
    std::string badSum = tarHeader("a", octal(0));
    badSum[0] = 'b';
    std::string noDigits = tarHeader("a", octal(0));
    noDigits.replace(148, 8, 8, ' ');
    const std::string rows[] = {
        "",     "short text", std::string(512, '\0') + tarMember("a", "x"), std::string(2048, 'x'),
        badSum, noDigits,     tarMember("a", "x").substr(0, 511),
    };
    for (const std::string &bytes : rows) {
        MemorySource source(bytes);
        auto listing = ql::standin::listTar(source);
        EXPECT_FALSE(listing.isTar) << bytes.substr(0, 20);
        EXPECT_EQ(listing.end, TarEnd::NotTar) << bytes.substr(0, 20);
        EXPECT_TRUE(listing.members.empty()) << bytes.substr(0, 20);
    }
}

TEST(TarReaderTest, DamagedArchivesStopSafelyInsideTheSource) {
    std::string first = tarMember("a", "aaa");
    std::string badSum = tarMember("b", "bbb");
    badSum[0] = 'c';
    struct Row {
        std::string label, bytes;
        TarEnd end;
        std::size_t members;
        std::uint64_t lastSize;
    };
    const Row rows[] = {
        {"truncated header", first + tarMember("b", "b").substr(0, 300), TarEnd::Truncated, 1, 3},
        {"size past the end", first + tarHeader("b", octal(5000)) + "bb", TarEnd::Truncated, 2, 2},
        {"largest size field", first + tarHeader("b", "77777777777") + "b", TarEnd::Truncated, 2,
         1},
        {"data without padding", first + tarMember("b", "bbb").substr(0, 515), TarEnd::EndOfSource,
         2, 3},
        {"bad checksum", first + badSum + kEnd, TarEnd::BadHeader, 1, 3},
        {"bad octal size", first + tarHeader("b", "12x4") + kEnd, TarEnd::BadHeader, 1, 3},
        {"binary size", first + tarHeader("b", "\x80\x01") + kEnd, TarEnd::BadHeader, 1, 3},
        {"no end marker", first, TarEnd::EndOfSource, 1, 3},
        {"single end block", first + std::string(512, '\0') + "junk", TarEnd::EndMarker, 1, 3},
    };
    for (const Row &row : rows) {
        ChoppySource source(row.bytes, 100, row.bytes.size() + 1);
        auto listing = ql::standin::listTar(source);
        EXPECT_TRUE(listing.isTar) << row.label;
        EXPECT_EQ(listing.end, row.end) << row.label;
        ASSERT_EQ(listing.members.size(), row.members) << row.label;
        const auto &last = listing.members.back();
        EXPECT_EQ(last.size, row.lastSize) << row.label;
        EXPECT_LE(last.dataOffset + last.size, row.bytes.size()) << row.label;
        EXPECT_EQ(listing.complete(),
                  row.end == TarEnd::EndOfSource || row.end == TarEnd::EndMarker)
            << row.label;
    }
}

TEST(TarReaderTest, ListingStopsAtTheMemberLimitAndOnReadFailure) {
    std::string archive = tarMember("a", "a") + tarMember("b", "b") + tarMember("c", "c") + kEnd;
    MemorySource whole(archive);
    auto listing = ql::standin::listTar(whole, 2);
    EXPECT_EQ(listing.end, TarEnd::TooManyMembers);
    EXPECT_EQ(listing.members.size(), 2u);

    ChoppySource failing(archive, 512, 1100);
    listing = ql::standin::listTar(failing);
    EXPECT_EQ(listing.end, TarEnd::ReadError);
    EXPECT_EQ(listing.error, EIO);
    EXPECT_EQ(listing.members.size(), 1u);
}

}  // namespace
