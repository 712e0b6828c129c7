// The decoded bytes of one message part (standins/common/mime_reader.h).
#include <algorithm>
#include <array>
#include <cerrno>

#include "standins/common/hex.h"
#include "standins/common/mime_reader.h"

namespace ql::standin {
namespace {

constexpr int kNotBase64 = -1;
constexpr int kPad = -2;

constexpr std::array<int, 256> base64Table() {
    std::array<int, 256> table{};
    for (int &value : table) {
        value = kNotBase64;
    }
    const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(alphabet[i])] = i;
    }
    table['='] = kPad;
    return table;
}
constexpr std::array<int, 256> kBase64 = base64Table();

}  // namespace

// Base64: characters outside the alphabet are skipped; '=' ends a group, dropping its odd bits.
// Quoted-printable: "=XX" is a byte, '=' before a line end a soft break; any other '=' stays.
int MimePartSource::Decoder::push(unsigned char c, unsigned char *out) {
    switch (encoding_) {
        case MimeEncoding::Identity:
            out[0] = c;
            return 1;
        case MimeEncoding::Base64: {
            int value = kBase64[c];
            if (value == kPad) {
                bits_ = 0;
                bitCount_ = 0;
                return 0;
            }
            if (value == kNotBase64) {
                return 0;
            }
            bits_ = (bits_ << 6 | static_cast<std::uint32_t>(value)) & 0xfff;
            bitCount_ += 6;
            if (bitCount_ < 8) {
                return 0;
            }
            bitCount_ -= 8;
            out[0] = static_cast<unsigned char>(bits_ >> bitCount_);
            return 1;
        }
        case MimeEncoding::QuotedPrintable:
            return pushQuoted(c, out);
    }
    return 0;
}

int MimePartSource::Decoder::pushQuoted(unsigned char c, unsigned char *out) {
    switch (state_) {
        case 1:  // after '='
            if (hexDigitValue(static_cast<char>(c)) >= 0) {
                held_ = c;
                state_ = 2;
                return 0;
            }
            if (c == '\r') {
                state_ = 3;
                return 0;
            }
            state_ = 0;
            if (c == '\n') {
                return 0;
            }
            out[0] = '=';
            return 1 + pushQuoted(c, out + 1);
        case 2:  // after "=X"
            state_ = 0;
            if (hexDigitValue(static_cast<char>(c)) >= 0) {
                out[0] = static_cast<unsigned char>(hexDigitValue(static_cast<char>(held_)) * 16 +
                                                    hexDigitValue(static_cast<char>(c)));
                return 1;
            }
            out[0] = '=';
            out[1] = held_;
            return 2 + pushQuoted(c, out + 2);
        case 3:  // after "=\r": a soft break, whatever follows
            state_ = 0;
            return c == '\n' ? 0 : pushQuoted(c, out);
        default:
            if (c == '=') {
                state_ = 1;
                return 0;
            }
            out[0] = c;
            return 1;
    }
}

int MimePartSource::Decoder::finish(unsigned char *out) {
    int held = 0;
    if (encoding_ == MimeEncoding::QuotedPrintable && (state_ == 1 || state_ == 2)) {
        out[held++] = '=';
        if (state_ == 2) {
            out[held++] = held_;
        }
    }
    *this = Decoder(encoding_);
    return held;
}

MimePartSource::MimePartSource(ByteSource &message, const MimePart &part)
    : message_(message), part_(part), decoder_(part.encoding), input_(kInputSize) {
    restart();
    unsigned char scratch[4096];
    for (;;) {
        std::int64_t got = produce(decodedNext_, scratch, sizeof scratch);
        if (got < 0) {
            error_ = errno != 0 ? errno : EIO;
            break;
        }
        if (got == 0) {
            break;
        }
    }
    size_ = decodedNext_;
    restart();
}

void MimePartSource::restart() {
    decoder_ = Decoder(part_.encoding);
    rawNext_ = part_.offset;
    decodedNext_ = 0;
    pendingLength_ = 0;
    pendingAt_ = 0;
    finished_ = false;
    inputLength_ = 0;
    inputAt_ = 0;
}

std::int64_t MimePartSource::produce(std::uint64_t offset, unsigned char *buf, std::size_t len) {
    if (offset < decodedNext_) {
        restart();
    }
    const std::uint64_t end = part_.offset + part_.length;
    std::size_t done = 0;
    while (done < len) {
        if (pendingAt_ < pendingLength_) {
            unsigned char byte = pending_[pendingAt_++];
            if (decodedNext_++ >= offset) {
                buf[done++] = byte;
            }
            continue;
        }
        if (inputAt_ == inputLength_) {
            if (rawNext_ >= end) {
                if (finished_) {
                    break;
                }
                finished_ = true;
                pendingLength_ = decoder_.finish(pending_);
                pendingAt_ = 0;
                continue;
            }
            std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(input_.size(), end - rawNext_));
            std::int64_t got = message_.read(rawNext_, input_.data(), want);
            if (got < 0) {
                return -1;
            }
            // A source that ends early (a file that shrank) ends the part there.
            std::size_t taken = std::min(static_cast<std::size_t>(got), want);
            rawNext_ = taken == 0 ? end : rawNext_ + taken;
            inputLength_ = taken;
            inputAt_ = 0;
            continue;
        }
        pendingLength_ = decoder_.push(input_[inputAt_++], pending_);
        pendingAt_ = 0;
    }
    return static_cast<std::int64_t>(done);
}

std::int64_t MimePartSource::read(std::uint64_t offset, void *buf, std::size_t len) {
    if (offset >= size_ || buf == nullptr) {
        return 0;
    }
    len = static_cast<std::size_t>(std::min<std::uint64_t>(len, size_ - offset));
    return produce(offset, static_cast<unsigned char *>(buf), len);
}

}  // namespace ql::standin
