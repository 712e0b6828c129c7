// Lists the leaf parts of a mail message held in a byte source (header block, MIME multipart
// bodies nested to any depth within kMimeMaxDepth, enclosed messages) and reads each part's
// body decoded (base64, quoted-printable, or as it stands), so that a stand-in scans what a mail
// client would show or save. A file that does not begin with a header block naming MIME
// (MIME-Version, Content-Type or Content-Transfer-Encoding) is not a message to this reader.
//
// Only the parts are listed: header blocks, the text before the first and after the last
// boundary of a multipart body, and the boundary lines themselves carry no content of a part.
//
// Bounds: the reader never reads outside the source and always ends. Each line is read once
// through a fixed buffer (at most kMimeMaxLineKept bytes of a line are looked at); each header
// field keeps at most kMimeMaxFieldLength bytes and each header block kMimeMaxHeaderBytes (the
// rest of an overlong block is taken as the body); the listing stops after maxParts parts; a
// multipart nested deeper than kMimeMaxDepth is one part of its own (its body as it stands).
// Decoding streams through a fixed buffer: nothing is allocated per byte of a part.
#ifndef QL_STANDINS_COMMON_MIME_READER_H
#define QL_STANDINS_COMMON_MIME_READER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "standins/common/byte_source.h"

namespace ql::standin {

inline constexpr std::size_t kMimeMaxParts = 1000;
inline constexpr int kMimeMaxDepth = 16;
inline constexpr std::size_t kMimeMaxNameLength = 256;
inline constexpr std::size_t kMimeMaxLineKept = 8192;
inline constexpr std::size_t kMimeMaxFieldLength = 8192;
inline constexpr std::size_t kMimeMaxHeaderBytes = 256 * 1024;

enum class MimeEncoding { Identity, Base64, QuotedPrintable };

struct MimePart {
    // The part's file name (Content-Disposition filename, else Content-Type name), or "part-N"
    // for the N-th part (from 1) when it has none; at most kMimeMaxNameLength characters, control
    // characters replaced by '?', so the name can go into a reply line as it stands.
    std::string name;
    MimeEncoding encoding = MimeEncoding::Identity;
    std::uint64_t offset = 0;  // the first byte of the encoded body in the source
    std::uint64_t length = 0;  // the encoded body's bytes; offset + length <= source size
};

struct MimeListing {
    bool isMessage = false;
    // Every multipart body ended with its closing boundary, and every part was listed.
    bool complete = false;
    int error = 0;                // errno of a failed read; the parts listed before it are kept
    std::vector<MimePart> parts;  // in message order
};

// List the parts of the message at the start of source.
[[nodiscard]] MimeListing listMime(ByteSource &source, std::size_t maxParts = kMimeMaxParts);

// The decoded bytes of one part, read in place from the message's source, which must outlive it.
// Reads in increasing order stream through the body once; a read before the last one starts the
// decoding again. Decoded bytes never outnumber the encoded ones. Check ok() before use.
class MimePartSource final : public ByteSource {
  public:
    MimePartSource(ByteSource &message, const MimePart &part);

    [[nodiscard]] bool ok() const { return error_ == 0; }
    [[nodiscard]] int error() const { return error_; }  // errno of a failed read while sizing

    [[nodiscard]] std::uint64_t size() const override { return size_; }
    [[nodiscard]] std::int64_t read(std::uint64_t offset, void *buf, std::size_t len) override;

  private:
    // One byte of the body at a time; what each byte gives (0 to 3 bytes) waits in pending_.
    class Decoder {
      public:
        explicit Decoder(MimeEncoding encoding) : encoding_(encoding) {}
        int push(unsigned char c, unsigned char *out);
        int finish(unsigned char *out);

      private:
        int pushQuoted(unsigned char c, unsigned char *out);

        MimeEncoding encoding_;
        std::uint32_t bits_ = 0;  // base64: bits not yet given out
        int bitCount_ = 0;
        int state_ = 0;  // quoted-printable: 0 text, 1 after '=', 2 after "=X", 3 after "=\r"
        unsigned char held_ = 0;  // the X of "=X"
    };

    void restart();
    // Decode on from where the last call ended, giving the bytes at [offset, offset + len).
    std::int64_t produce(std::uint64_t offset, unsigned char *buf, std::size_t len);

    static constexpr std::size_t kInputSize = 16 * 1024;

    ByteSource &message_;
    MimePart part_;
    Decoder decoder_;
    std::uint64_t rawNext_ = 0;      // next body byte to read from the source
    std::uint64_t decodedNext_ = 0;  // decoded offset of the next byte given out
    unsigned char pending_[3] = {};
    int pendingLength_ = 0;
    int pendingAt_ = 0;
    bool finished_ = false;
    std::vector<unsigned char> input_;
    std::size_t inputLength_ = 0;
    std::size_t inputAt_ = 0;
    std::uint64_t size_ = 0;
    int error_ = 0;
};

}  // namespace ql::standin

#endif  // QL_STANDINS_COMMON_MIME_READER_H
