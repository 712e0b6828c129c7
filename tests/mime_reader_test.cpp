#include "standins/common/mime_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

namespace {

using ql::standin::ByteSource;
using ql::standin::listMime;
using ql::standin::MemorySource;
using ql::standin::MimeListing;
using ql::standin::MimePartSource;

using Parts = std::vector<std::pair<std::string, std::string>>;  // name, decoded content

// Everything a part's source gives, in reads of step bytes.
std::string decoded(ByteSource &message, const ql::standin::MimePart &part, std::size_t step) {
    MimePartSource source(message, part);
    EXPECT_TRUE(source.ok());
    std::string out(source.size(), '\0');
    for (std::size_t at = 0; at < out.size(); at += step) {
        std::size_t len = std::min(step, out.size() - at);
        EXPECT_EQ(static_cast<std::int64_t>(len), readFully(source, at, out.data() + at, len));
    }
    EXPECT_LE(source.size(), part.length);
    return out;
}

Parts partsOf(const std::string &text, bool *isMessage, bool *complete) {
    MemorySource message(text);
    MimeListing listing = listMime(message);
    *isMessage = listing.isMessage;
    *complete = listing.complete;
    Parts parts;
    for (const auto &part : listing.parts) {
        parts.emplace_back(part.name, decoded(message, part, 7));
    }
    return parts;
}

// Fails every read past failAt.
class FailingSource final : public ByteSource {
  public:
    FailingSource(const std::string &bytes, std::uint64_t failAt)
        : inner_(bytes), failAt_(failAt) {}
    std::uint64_t size() const override { return inner_.size(); }
    std::int64_t read(std::uint64_t offset, void *buf, std::size_t len) override {
        if (offset + len > failAt_) {
            errno = EIO;
            return -1;
        }
        return inner_.read(offset, buf, len);
    }

  private:
    MemorySource inner_;
    std::uint64_t failAt_;
};

const std::string kMixed =
    "From: a@example.org\n"
    "Subject: parts\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed;\n"
    "\tboundary=\"outer b\"\n"
    "\n"
    "a preamble nobody reads\n"
    "--outer b\n"
    "Content-Type: multipart/alternative; boundary=inner\n"
    "\n"
    "--inner\n"
    "Content-Type: text/plain\n"
    "\n"
    "plain text\n"
    "--inner\n"
    "Content-Type: text/html\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "<p>soft=\n"
    "break a=3Db =3d c=\n"
    "</p>\n"
    "--inner--\n"
    "--outer b   \n"
    "Content-Type: application/octet-stream; name=\"by-type.bin\"\n"
    "Content-Disposition: attachment; filename=\"report.pdf\"\n"
    "Content-Transfer-Encoding: BASE64\n"
    "\n"
    "aGVs\n"
    "bG8g\n"
    "d29y bGQ=\n"
    "--outer b\n"
    "Content-Type: application/octet-stream; name=by-type.bin\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "!!aGk=\n"
    "--outer b\n"
    "Content-Disposition: attachment; filename*=utf-8''a%20b%0A.txt\n"
    "\n"
    "--outer b--\n"
    "an epilogue\n";

TEST(MimeReaderTest, ListsEveryLeafPartDecodedInOrder) {
    struct Row {
        const char *label;
        std::string text;
        bool isMessage;
        bool complete;
        Parts parts;
    };
    const Row rows[] = {
        {"nested multiparts",
         kMixed,
         true,
         true,
         {{"part-1", "plain text"},
          {"part-2", "<p>softbreak a=b = c</p>"},
          {"report.pdf", "hello world"},
          {"by-type.bin", "hi"},
          {"a b?.txt", ""}}},
        {"CR LF line ends",
         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\nx=\r\ny\r\n\r\n--b--\r\n",
         true,
         true,
         {{"part-1", "xy\r\n"}}},
        {"single part, mbox From line",
         "From someone Mon Jan  1 00:00:00 2024\nContent-Transfer-Encoding: base64\n\naGk=\n",
         true,
         true,
         {{"part-1", "hi"}}},
        {"enclosed message",
         "Content-Type: message/rfc822\n\nContent-Type: text/plain; name=inner.txt\n\ninside\n",
         true,
         true,
         {{"inner.txt", "inside\n"}}},
        {"unclosed multipart runs to the end",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nfirst\n--b\n\nsecond\n--bb\nmore\n",
         true,
         false,
         {{"part-1", "first"}, {"part-2", "second\n--bb\nmore\n"}}},
        {"body without the blank line",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nnot a header\n--b--\n",
         true,
         true,
         {{"part-1", "not a header"}}},
        {"QP odd escapes",
         "Content-Transfer-Encoding: quoted-printable\n\n=zz =4\n==41=",
         true,
         true,
         {{"part-1", "=zz =4\n=A="}}},
        {"multipart without boundary is one part",
         "Content-Type: multipart/mixed\n\n--b\nx\n",
         true,
         true,
         {{"part-1", "--b\nx\n"}}},
        {"no MIME field", "Subject: hello\n\nbody\n", false, false, {}},
        {"not a header first", "hello: world\nplain text\n", false, false, {}},
        {"blank first line", "\nContent-Type: text/plain\n", false, false, {}},
        {"empty", "", false, false, {}},
    };
    for (const Row &row : rows) {
        bool isMessage = false;
        bool complete = false;
        EXPECT_EQ(row.parts, partsOf(row.text, &isMessage, &complete)) << row.label;
        EXPECT_EQ(row.isMessage, isMessage) << row.label;
        EXPECT_EQ(row.complete, complete) << row.label;
    }
}

TEST(MimeReaderTest, BoundsHoldOnHostileMessages) {
    // Nesting past the depth bound: the innermost multipart is one part, as it stands.
    std::string deep;
    for (int level = 0; level <= ql::standin::kMimeMaxDepth; ++level) {
        deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(level) + "\n\n--b" +
                std::to_string(level) + "\n";
    }
    deep += "\nx\n";
    MemorySource deepSource(deep);
    MimeListing listing = listMime(deepSource);
    ASSERT_EQ(1u, listing.parts.size());
    EXPECT_NE(std::string::npos, decoded(deepSource, listing.parts[0], 4096).find("--b"));

    // A line longer than any buffer, then a boundary: the part ends right before it.
    std::string longLine(300 * 1024, 'y');
    std::string wide =
        "Content-Type: multipart/mixed; boundary=b\n\n--b\n\n" + longLine + "\n--b\n\nz\n--b--\n";
    MemorySource wideSource(wide);
    listing = listMime(wideSource);
    ASSERT_EQ(2u, listing.parts.size());
    EXPECT_EQ(longLine, decoded(wideSource, listing.parts[0], 65536));
    EXPECT_TRUE(listing.complete);

    // The part limit, and a read failure midway: what was listed stays, inside the source.
    MemorySource mixed(kMixed);
    listing = listMime(mixed, 2);
    EXPECT_EQ(2u, listing.parts.size());
    EXPECT_FALSE(listing.complete);
    FailingSource failing(wide, wide.size() - 10);
    listing = listMime(failing);
    EXPECT_EQ(EIO, listing.error);
    EXPECT_FALSE(listing.complete);
    for (const auto &part : listing.parts) {
        EXPECT_LE(part.offset + part.length, wide.size());
    }
}

TEST(MimeReaderTest, PartReadsInAnyOrderGiveTheSameBytes) {
    MemorySource message(kMixed);
    MimeListing listing = listMime(message);
    ASSERT_GE(listing.parts.size(), 3u);
    MimePartSource part(message, listing.parts[2]);
    char tail[6] = {};
    char head[6] = {};
    EXPECT_EQ(5, part.read(6, tail, 5));
    EXPECT_EQ(5, part.read(0, head, 5));
    EXPECT_STREQ("world", tail);
    EXPECT_STREQ("hello", head);
    EXPECT_EQ(0, part.read(part.size(), head, 5));
}

}  // namespace
