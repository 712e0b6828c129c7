#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "standins/common/byte_source.h"
#include "standins/common/matcher.h"
#include "standins/common/mime_reader.h"
#include "standins/common/signatures.h"
#include "standins/common/tar_reader.h"
#include "tests/support/temp_root.h"

namespace {

using namespace ql::standin;

SignatureSet setFrom(const std::string &text, std::vector<SignatureProblem> *problems = nullptr) {
    SignatureSet set;
    set.addFromText(text, problems);
    return set;
}

// Hands out at most `step` bytes per read and fails once `failAt` is reached, to exercise
// short reads and read errors.
class ChoppySource : public ByteSource {
  public:
    ChoppySource(const std::string &bytes, std::size_t step, std::uint64_t failAt = UINT64_MAX)
        : inner_(bytes), step_(step), failAt_(failAt) {}
    std::uint64_t size() const override { return inner_.size(); }
    std::int64_t read(std::uint64_t offset, void *buf, std::size_t len) override {
        if (offset + len > failAt_) {
            errno = EIO;
            return -1;
        }
        return inner_.read(offset, buf, std::min(len, step_));
    }

  private:
    MemorySource inner_;
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
        EXPECT_EQ(
            std::tie(sig.outcome, sig.name, sig.pattern, sig.delayMs, sig.errorCode, sig.errorText),
            std::tie(row.outcome, row.name, row.pattern, row.delayMs, row.errorCode, row.errorText))
            << row.line;
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

// Skipped lines are reported with their number; line 0 stands for the file as a whole.
TEST(SignaturesTest, FilesLoadWhatTheyCanAndReportWhatTheySkip) {
    std::string many;
    for (int i = 0; i < 1000; ++i) {
        many += "infected\tS" + std::to_string(i) + "\ttext:x\n";
    }
    std::string overlong = "infected\tFirst\ttext:a\n";
    overlong += std::string(kMaxSignatureFileBytes - overlong.size() - 10, '#') + "\n";
    overlong += "infected\tCut\ttext:b\n";  // straddles the limit
    const std::string commented =
        "# signatures\n\n   \t\n  # indented comment\r\nbroken line\ninfected\tA\ttext:a\r\n"
        "suspicious\tB\t42\nbad\tC\t43";
    struct Row {
        const char *label;
        std::string text;  // "" names a missing file, "/" the folder itself
        std::size_t count;
        std::vector<int> problemLines;
        std::string lastName;
    };
    const Row rows[] = {
        {"comments and blanks", commented, 3, {5, 8}, "B"},
        {"past the limit", many, kMaxSignatures, {1000}, "S998"},
        {"cut at the last whole line", overlong, 2, {0}, "First"},
        {"missing", "", 1, {}, "EICAR-Test-File"},
        {"a folder", "/", 1, {0}, "EICAR-Test-File"},
    };
    ql::test::TempRoot root;
    const std::string &dir = root.root();
    for (const Row &row : rows) {
        std::string path = row.text == "/" ? dir : dir + "/none.txt";
        if (row.text.size() > 1) {
            path = dir + "/signatures.txt";
            ql::test::writeFile(path, row.text);
        }
        std::vector<SignatureProblem> problems;
        SignatureSet set = loadSignatureFile(path.c_str(), &problems);
        ASSERT_EQ(set.count(), row.count) << row.label;
        EXPECT_EQ(set.all().back().name, row.lastName) << row.label;
        std::vector<int> lines(problems.size());
        std::ranges::transform(problems, lines.begin(), &SignatureProblem::line);
        EXPECT_EQ(lines, row.problemLines) << row.label;
        if (row.text == "/") {
            EXPECT_NE(problems[0].reason.find(std::strerror(EISDIR)), std::string::npos);
        }
    }
}

TEST(ByteSourceTest, FileByPathReadsAndRefusesWhatIsNotARegularFile) {
    ql::test::TempRoot root;
    const std::string &dir = root.root();
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
}

class MatcherTest : public ::testing::Test {
  protected:
    static constexpr std::size_t kChunk = Matcher::kChunkSize;

    std::vector<std::string> namesFound(ByteSource &source, std::uint64_t offset = 0,
                                        std::uint64_t length = UINT64_MAX) {
        Matcher matcher(set_);
        auto result = matcher.scan(source, offset, length);
        std::vector<std::string> names;
        for (const Match &m : result.matches) {
            names.push_back(m.signature->name + "@" + std::to_string(m.offset));
        }
        if (result.error != 0) {
            names.push_back("error " + std::to_string(result.error));
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
            bytes.replace(at, longPattern.size(), longPattern).replace(at - 3, 3, "QZQ");
            ChoppySource source(bytes, step);
            EXPECT_EQ(namesFound(source),
                      (std::vector<std::string>{"Short@" + std::to_string(at - 3),
                                                "Long@" + std::to_string(at)}))
                << "at " << at << " step " << step;
        }
    }
}

// Each signature once, in order of first occurrence, wholly inside the range scanned; a read
// failure keeps the matches found before it.
TEST_F(MatcherTest, ReportsEachSignatureOnceInOrderOfFirstOccurrenceInsideTheRange) {
    const std::string qzq = "QZQ..QZQ..QZQ";
    std::string twice(3 * kChunk, '.');
    twice.replace(10, 3, "QZQ").replace(2 * kChunk + 10, 3, "QZQ");
    struct Row {
        std::string bytes;
        std::uint64_t offset, length;
        std::vector<std::string> found;
        std::uint64_t failAt = UINT64_MAX;
    };
    const Row rows[] = {
        {"mail body " + ql::test::eicar() + " end", 0, UINT64_MAX, {"EICAR-Test-File@10"}},
        {"QZQ" + std::string(50, '.') + std::string(200, 'L') + "M",
         0,
         UINT64_MAX,
         {"Short@0", "Long@53"}},
        {std::string("..QZQ..\0..QZQ..", 15), 0, UINT64_MAX, {"Short@2", "Byte@7"}},
        {qzq, 5, 3, {"Short@5"}},
        {qzq, 6, 100, {"Short@10"}},
        {qzq, 5, 2, {}},
        {qzq, 1, 6, {}},
        {qzq, 13, 10, {}},
        {qzq, 100, 10, {}},
        {twice, 0, UINT64_MAX, {"Short@10", "error " + std::to_string(EIO)}, 2 * kChunk},
    };
    for (const Row &row : rows) {
        ChoppySource source(row.bytes, kChunk, row.failAt);
        EXPECT_EQ(namesFound(source, row.offset, row.length), row.found)
            << row.bytes << " " << row.offset;
    }
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
        const Match *winner = decidingMatch(result.matches);
        EXPECT_EQ(winner == nullptr ? "" : winner->signature->name, row.winner) << row.content;
        EXPECT_EQ(longestDelayMs(result.matches), row.delayMs) << row.content;
    }
}

// The members of a listing as "<R|D|O><name>@<data offset>+<size>", blank-separated; each must
// lie inside the source.
std::string membersOf(const TarListing &listing, std::uint64_t sourceSize) {
    std::string out;
    for (const auto &m : listing.members) {
        EXPECT_LE(m.dataOffset + m.size, sourceSize) << m.name;
        const char type = "RDO"[static_cast<int>(m.type)];  // Regular, Directory, Other
        out += (out.empty() ? "" : " ") + std::string(1, type) + m.name + "@" +
               std::to_string(m.dataOffset) + "+" + std::to_string(m.size);
    }
    return out;
}

// Every listing stays inside its source (a read past the end fails); only an archive that ended
// in order is complete.
TEST(TarReaderTest, ListingGivesEachMembersDataInPlaceAndStopsSafelyOnDamage) {
    using ql::test::tarEntry;
    using ql::test::tarHeader;
    const auto octal = ql::test::tarOctal;
    const std::string kEnd(1024, '\0');
    const std::string first = tarEntry("a", "aaa");
    const std::string abc = tarEntry("a", "a") + tarEntry("b", "b") + tarEntry("c", "c") + kEnd;
    struct Row {
        const char *label;
        std::string bytes;
        TarEnd end;
        std::string members;
        std::size_t limit = kTarMaxMembers;
        std::uint64_t failAt = 0;  // 0: just past the end
    };
    const Row rows[] = {
        {"every kind of member",
         tarEntry("docs/", "", '5') + tarEntry("docs/a.txt", "hello") +
             tarEntry("docs/link", "", '2') + tarHeader("docs/hard", octal(100), '1') +
             tarEntry("docs/big.bin", std::string(600, 'b')) + kEnd,
         TarEnd::EndMarker,
         "Ddocs/@512+0 Rdocs/a.txt@1024+5 Odocs/link@2048+0 Odocs/hard@2560+0 "
         "Rdocs/big.bin@3072+600"},
        {"prefix and control characters",
         tarHeader("file.txt", octal(0), '0', true, "some/deep/dir") +
             tarHeader("evil\r\n220 x", octal(0)) + kEnd,
         TarEnd::EndMarker, "Rsome/deep/dir/file.txt@512+0 Revil??220 x@1024+0"},
        {"old style without magic",
         tarHeader("old.txt", octal(3) + " ", '\0', false) + std::string("abc").append(509, '\0') +
             tarHeader("olddir/", octal(0), '\0', false),
         TarEnd::EndOfSource, "Rold.txt@512+3 Dolddir/@1536+0"},
        {"empty", "", TarEnd::NotTar, ""},
        {"zero block first", std::string(512, '\0') + tarEntry("a", "x"), TarEnd::NotTar, ""},
        {"first checksum wrong", tarHeader("b", octal(0)).replace(0, 1, "c"), TarEnd::NotTar, ""},
        {"checksum without digits", tarHeader("a", octal(0)).replace(148, 8, 8, ' '),
         TarEnd::NotTar, ""},
        {"short first header", tarEntry("a", "x").substr(0, 511), TarEnd::NotTar, ""},
        {"truncated header", first + tarEntry("b", "b").substr(0, 300), TarEnd::Truncated,
         "Ra@512+3"},
        {"size past the end", first + tarHeader("b", octal(5000)) + "bb", TarEnd::Truncated,
         "Ra@512+3 Rb@1536+2"},
        {"largest size field", first + tarHeader("b", "77777777777") + "b", TarEnd::Truncated,
         "Ra@512+3 Rb@1536+1"},
        {"data without padding", first + tarEntry("b", "bbb").substr(0, 515), TarEnd::EndOfSource,
         "Ra@512+3 Rb@1536+3"},
        {"bad checksum", first + tarEntry("b", "bbb").replace(0, 1, "c") + kEnd, TarEnd::BadHeader,
         "Ra@512+3"},
        {"bad octal size", first + tarHeader("b", "12x4") + kEnd, TarEnd::BadHeader, "Ra@512+3"},
        {"binary size", first + tarHeader("b", "\x80\x01") + kEnd, TarEnd::BadHeader, "Ra@512+3"},
        {"no end marker", first, TarEnd::EndOfSource, "Ra@512+3"},
        {"single end block", first + std::string(512, '\0') + "junk", TarEnd::EndMarker,
         "Ra@512+3"},
        {"member limit", abc, TarEnd::TooManyMembers, "Ra@512+1 Rb@1536+1", 2},
        {"read failure", abc, TarEnd::ReadError, "Ra@512+1", kTarMaxMembers, 1100},
    };
    for (const Row &row : rows) {
        ChoppySource source(row.bytes, 100, row.failAt != 0 ? row.failAt : row.bytes.size() + 1);
        auto listing = listTar(source, row.limit);
        EXPECT_EQ(membersOf(listing, row.bytes.size()), row.members) << row.label;
        const bool complete = row.end == TarEnd::EndOfSource || row.end == TarEnd::EndMarker;
        EXPECT_EQ(std::tuple(listing.isTar, listing.end, listing.error, listing.complete()),
                  std::tuple(row.end != TarEnd::NotTar, row.end,
                             row.end == TarEnd::ReadError ? EIO : 0, complete))
            << row.label;
    }
}

// The MIME reader of both stand-ins.

// Everything a part's source gives, in short reads.
std::string decoded(ByteSource &message, const MimePart &part) {
    constexpr std::size_t step = 7;
    MimePartSource source(message, part);
    EXPECT_TRUE(source.ok());
    std::string out(source.size(), '\0');
    for (std::size_t at = 0; at < out.size(); at += step) {
        std::size_t len = std::min(step, out.size() - at);
        EXPECT_EQ(static_cast<std::int64_t>(len), readFully(source, at, out.data() + at, len));
    }
    EXPECT_LE(source.size(), part.length);
    // A read back from the middle decodes again from the start and passes over the head.
    std::string tail(out.size() - out.size() / 2, '\0');
    EXPECT_EQ(readFully(source, out.size() / 2, tail.data(), tail.size()),
              static_cast<std::int64_t>(tail.size()));
    EXPECT_EQ(tail, out.substr(out.size() / 2));
    return out;
}

// A listing as "[not a ]message[, complete]:" and each part as " name[decoded content]".
std::string listingOf(const std::string &text) {
    MemorySource message(text);
    MimeListing listing = listMime(message);
    std::string out = listing.isMessage ? "message" : "not a message";
    out += listing.complete ? ", complete:" : ":";
    for (const auto &part : listing.parts) {
        out += " " + part.name + "[" + decoded(message, part) + "]";
    }
    return out;
}

const std::string kMixed =
    "From: a@example.org\nSubject: parts\nMIME-Version: 1.0\nContent-Type: multipart/mixed;\n"
    "\tboundary=\"outer b\"\n\na preamble nobody reads\n"
    "--outer b\nContent-Type: multipart/alternative; boundary=inner\n\n"
    "--inner\nContent-Type: text/plain\n\nplain text\n"
    "--inner\nContent-Type: text/html\nContent-Transfer-Encoding: quoted-printable\n\n"
    "<p>soft=\nbreak a=3Db =3d c=\n</p>\n--inner--\n"
    "--outer b   \nContent-Type: application/octet-stream; name=\"by-type.bin\"\n"
    "Content-Disposition: attachment; filename=\"report.pdf\"\n"
    "Content-Transfer-Encoding: BASE64\n\naGVs\nbG8g\nd29y bGQ=\n"
    "--outer b\nContent-Type: application/octet-stream; name=by-type.bin\n"
    "Content-Transfer-Encoding: base64\n\n!!aGk=\n"
    "--outer b\nContent-Disposition: attachment; filename*=utf-8''a%20b%0A.txt\n\n"
    "--outer b--\nan epilogue\n";

TEST(MimeReaderTest, ListsEveryLeafPartDecodedInOrder) {
    struct Row {
        const char *label;
        std::string text, listing;
    };
    const Row rows[] = {
        {"nested multiparts", kMixed,
         "message, complete: part-1[plain text] part-2[<p>softbreak a=b = c</p>] "
         "report.pdf[hello world] by-type.bin[hi] a b?.txt[]"},
        {"CR LF line ends",
         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\nx=\r\ny\r\n\r\n--b--\r\n",
         "message, complete: part-1[xy\r\n]"},
        {"single part, mbox From line",
         "From someone Mon Jan  1 00:00:00 2024\nContent-Transfer-Encoding: base64\n\naGk=\n",
         "message, complete: part-1[hi]"},
        {"enclosed message",
         "Content-Type: message/rfc822\n\nContent-Type: text/plain; name=inner.txt\n\ninside\n",
         "message, complete: inner.txt[inside\n]"},
        {"unclosed multipart runs to the end",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nfirst\n--b\n\nsecond\n--bb\nmore\n",
         "message: part-1[first] part-2[second\n--bb\nmore\n]"},
        {"body without the blank line",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nnot a header\n--b--\n",
         "message, complete: part-1[not a header]"},
        {"QP odd escapes", "Content-Transfer-Encoding: quoted-printable\n\n=zz =4\n==41=",
         "message, complete: part-1[=zz =4\n=A=]"},
        {"multipart without boundary is one part", "Content-Type: multipart/mixed\n\n--b\nx\n",
         "message, complete: part-1[--b\nx\n]"},
        {"no MIME field", "Subject: hello\n\nbody\n", "not a message:"},
        {"not a header first", "hello: world\nplain text\n", "not a message:"},
        {"blank first line", "\nContent-Type: text/plain\n", "not a message:"},
        {"empty", "", "not a message:"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(row.listing, listingOf(row.text)) << row.label;
    }
}

TEST(MimeReaderTest, BoundsHoldOnHostileMessages) {
    // Nesting past the depth bound: the innermost multipart is one part, as it stands.
    std::string deep;
    for (int level = 0; level <= kMimeMaxDepth; ++level) {
        deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(level) + "\n\n--b" +
                std::to_string(level) + "\n";
    }
    deep += "\nx\n";
    EXPECT_EQ(listingOf(deep), "message: part-1[--b16\n\nx\n]");

    // A line longer than any buffer, then a boundary: the part ends right before it.
    std::string longLine(300 * 1024, 'y');
    std::string wide =
        "Content-Type: multipart/mixed; boundary=b\n\n--b\n\n" + longLine + "\n--b\n\nz\n--b--\n";
    EXPECT_EQ(listingOf(wide), "message, complete: part-1[" + longLine + "] part-2[z]");

    // The part limit, and a read failure midway: what was listed stays, inside the source.
    MemorySource mixed(kMixed);
    MimeListing listing = listMime(mixed, 2);
    EXPECT_EQ(2u, listing.parts.size());
    EXPECT_FALSE(listing.complete);
    ChoppySource failing(wide, SIZE_MAX, wide.size() - 10);
    listing = listMime(failing);
    EXPECT_EQ(EIO, listing.error);
    EXPECT_FALSE(listing.complete);
    for (const auto &part : listing.parts) {
        EXPECT_LE(part.offset + part.length, wide.size());
    }
}

}  // namespace
