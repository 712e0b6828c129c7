#include "standins/common/mime_reader.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "standins/common/hex.h"

namespace ql::standin {
namespace {

constexpr std::size_t kBufferSize = std::size_t{64} * 1024;  // more than kMimeMaxLineKept
constexpr std::size_t kMaxBoundaryLength = 200;  // 70 by the rules; some writers go past

// One line of the source: where it starts, where the next begins, and its first bytes without
// the line end.
struct Line {
    std::uint64_t start = 0;
    std::uint64_t next = 0;
    unsigned breakLength = 0;  // 2 for CR LF, 1 for LF, 0 at the end of the source
    std::string_view text;     // valid until the next call; at most kMimeMaxLineKept bytes
};

// Reads the source line by line through one buffer.
class LineCursor {
  public:
    explicit LineCursor(ByteSource &source)
        : source_(source), size_(source.size()), buffer_(kBufferSize) {}

    // The next line; false at the end of the source or when a read failed (see error()).
    bool next(Line &line);
    void seek(std::uint64_t pos) { pos_ = pos; }
    [[nodiscard]] int error() const { return error_; }

  private:
    // Fill the buffer from pos on. False when a read failed.
    bool load(std::uint64_t pos);
    [[nodiscard]] std::uint64_t bufferEnd() const { return bufferStart_ + bufferLength_; }

    ByteSource &source_;
    std::uint64_t size_;
    std::uint64_t pos_ = 0;
    std::vector<unsigned char> buffer_;
    std::uint64_t bufferStart_ = 0;
    std::size_t bufferLength_ = 0;
    std::string kept_;  // the start of a line longer than the buffer holds
    int error_ = 0;
};

bool LineCursor::load(std::uint64_t pos) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, size_ - pos));
    std::int64_t got = readFully(source_, pos, buffer_.data(), want);
    if (got < 0) {
        error_ = errno != 0 ? errno : EIO;
        return false;
    }
    bufferStart_ = pos;
    bufferLength_ = static_cast<std::size_t>(got);
    if (bufferLength_ < want) {
        size_ = pos + bufferLength_;  // the file shrank: it ends here
    }
    return true;
}

bool LineCursor::next(Line &line) {
    if (pos_ >= size_ || error_ != 0) {
        return false;
    }
    // Past here at least kMimeMaxLineKept bytes from pos_ are in the buffer, or all the rest.
    bool inBuffer = pos_ >= bufferStart_ && pos_ < bufferEnd();
    if (!inBuffer || (pos_ + kMimeMaxLineKept > bufferEnd() && bufferEnd() < size_)) {
        if (!load(pos_) || bufferLength_ == 0) {
            return false;
        }
    }
    const unsigned char *begin = buffer_.data() + (pos_ - bufferStart_);
    std::size_t avail = static_cast<std::size_t>(bufferEnd() - pos_);
    const void *lf = std::memchr(begin, '\n', avail);
    line.start = pos_;
    std::size_t length;
    if (lf != nullptr) {
        length = static_cast<std::size_t>(static_cast<const unsigned char *>(lf) - begin);
        line.next = pos_ + length + 1;
        line.breakLength = 1;
    } else if (bufferEnd() >= size_) {
        length = avail;
        line.next = size_;
        line.breakLength = 0;
    } else {
        // Longer than the buffer: keep its start, then look for its end chunk by chunk.
        kept_.assign(reinterpret_cast<const char *>(begin), kMimeMaxLineKept);
        std::uint64_t at = bufferEnd();
        line.next = size_;
        line.breakLength = 0;
        while (at < size_ && load(at)) {
            if (const void *end = std::memchr(buffer_.data(), '\n', bufferLength_)) {
                line.next = at + (static_cast<const unsigned char *>(end) - buffer_.data()) + 1;
                line.breakLength = 1;
                break;
            }
            at = bufferEnd();
        }
        if (error_ != 0) {
            return false;
        }
        line.text = kept_;
        pos_ = line.next;
        return true;
    }
    if (line.breakLength == 1 && length > 0 && begin[length - 1] == '\r') {
        --length;
        line.breakLength = 2;
    }
    line.text =
        std::string_view(reinterpret_cast<const char *>(begin), std::min(length, kMimeMaxLineKept));
    pos_ = line.next;
    return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trimmed(std::string_view text) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// "Name: value": a name of printable characters other than ':' before the colon.
bool splitField(std::string_view line, std::string_view &name, std::string_view &value) {
    std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) {
        return false;
    }
    for (std::size_t i = 0; i < colon; ++i) {
        if (line[i] <= ' ' || line[i] > '~') {
            return false;
        }
    }
    name = line.substr(0, colon);
    value = line.substr(colon + 1);
    return true;
}

// An extended parameter value: charset'language'text with %XX escapes.
std::string decodeExtended(std::string_view value) {
    std::size_t first = value.find('\'');
    std::size_t second = first == std::string_view::npos ? first : value.find('\'', first + 1);
    if (second != std::string_view::npos) {
        value.remove_prefix(second + 1);
    }
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size() && hexDigitValue(value[i + 1]) >= 0 &&
            hexDigitValue(value[i + 2]) >= 0) {
            out.push_back(
                static_cast<char>(hexDigitValue(value[i + 1]) * 16 + hexDigitValue(value[i + 2])));
            i += 2;
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

// The value of parameter key (case ignored) in a field value "type; key=value; ...": a token or
// a quoted string; key* in the extended form. Empty when absent.
std::string parameter(std::string_view field, std::string_view key) {
    std::size_t at = field.find(';');
    while (at != std::string_view::npos && at < field.size()) {
        ++at;
        std::size_t eq = field.find_first_of("=;", at);
        if (eq == std::string_view::npos || field[eq] == ';') {
            at = eq;
            continue;
        }
        std::string_view name = trimmed(field.substr(at, eq - at));
        std::size_t v = field.find_first_not_of(" \t", eq + 1);
        std::string value;
        at = v;
        if (v != std::string_view::npos && field[v] == '"') {
            for (at = v + 1; at < field.size() && field[at] != '"'; ++at) {
                if (field[at] == '\\' && at + 1 < field.size()) {
                    ++at;
                }
                value.push_back(field[at]);
            }
            at = field.find(';', at);
        } else if (v != std::string_view::npos) {
            at = field.find(';', v);
            value = trimmed(field.substr(v, at == std::string_view::npos ? at : at - v));
        }
        if (equalsIgnoringCase(name, key)) {
            return value;
        }
        if (name.size() == key.size() + 1 && name.back() == '*' &&
            equalsIgnoringCase(name.substr(0, key.size()), key)) {
            return decodeExtended(value);
        }
    }
    return {};
}

std::string displayName(const std::string &raw) {
    std::string name;
    for (char c : raw.substr(0, kMimeMaxNameLength)) {
        auto u = static_cast<unsigned char>(c);
        name.push_back(u < 0x20 || u == 0x7f ? '?' : c);
    }
    return name;
}

// What an entity's header block says.
struct Headers {
    bool mime = false;      // a MIME field was seen
    std::string mediaType;  // lower case, e.g. "multipart/mixed"; empty: text/plain
    std::string boundary;
    std::string name;
    MimeEncoding encoding = MimeEncoding::Identity;
    std::uint64_t bodyStart = 0;

    void take(std::string_view field, std::string_view value) {
        if (equalsIgnoringCase(field, "Content-Type")) {
            mime = true;
            mediaType = lowered(trimmed(value.substr(0, value.find(';'))));
            boundary = parameter(value, "boundary");
            if (name.empty()) {
                name = parameter(value, "name");
            }
        } else if (equalsIgnoringCase(field, "Content-Transfer-Encoding")) {
            mime = true;
            std::string_view how = trimmed(value);
            encoding = equalsIgnoringCase(how, "base64")             ? MimeEncoding::Base64
                       : equalsIgnoringCase(how, "quoted-printable") ? MimeEncoding::QuotedPrintable
                                                                     : MimeEncoding::Identity;
        } else if (equalsIgnoringCase(field, "Content-Disposition")) {
            mime = true;
            std::string file = parameter(value, "filename");
            if (!file.empty()) {
                name = file;
            }
        } else if (equalsIgnoringCase(field, "MIME-Version")) {
            mime = true;
        }
    }
};

// Where a run of body lines ended: at a boundary line of an open multipart, or at the end.
struct Hit {
    int level = -1;  // index into the open boundaries; -1: the end of the source
    bool close = false;
    std::uint64_t lineStart = 0;
    unsigned lastBreak = 0;  // the line end before the boundary line, part of the boundary
};

class Parser {
  public:
    Parser(ByteSource &source, std::size_t maxParts, MimeListing &out)
        : cursor_(source), size_(source.size()), maxParts_(maxParts), out_(out) {}

    void run();

  private:
    // Read a header block at the cursor into headers. With topLevel, false when the source does
    // not begin with one.
    bool readHeaders(Headers &headers, bool topLevel);
    Hit entity(int depth, bool topLevel);
    Hit multipart(const Headers &headers, int depth);
    Hit toBoundary();
    bool addPart(const Headers &headers, std::uint64_t end);
    [[nodiscard]] bool stopped() const {
        return cursor_.error() != 0 || out_.parts.size() >= maxParts_;
    }

    LineCursor cursor_;
    std::uint64_t size_;
    std::size_t maxParts_;
    MimeListing &out_;
    std::vector<std::string> boundaries_;  // the open multiparts, outermost first
    bool closedAll_ = true;
};

bool Parser::readHeaders(Headers &headers, bool topLevel) {
    std::string field;
    std::string value;
    std::size_t total = 0;
    bool first = true;
    auto flush = [&] {
        if (!field.empty()) {
            headers.take(field, value);
        }
        field.clear();
        value.clear();
    };
    Line line;
    for (;;) {
        if (!cursor_.next(line)) {
            headers.bodyStart = size_;
            break;
        }
        std::string_view name;
        std::string_view rest;
        bool mbox = first && topLevel && line.text.starts_with("From ");
        bool folded = !first && !line.text.empty() && (line.text[0] == ' ' || line.text[0] == '\t');
        if (line.text.empty() || total > kMimeMaxHeaderBytes) {
            headers.bodyStart = line.text.empty() ? line.next : line.start;
            break;
        }
        if (folded) {
            value.append(line.text.substr(
                0, kMimeMaxFieldLength - std::min(value.size(), kMimeMaxFieldLength)));
        } else if (splitField(line.text, name, rest)) {
            flush();
            field = name;
            value = rest.substr(0, kMimeMaxFieldLength);
        } else if (!mbox) {
            if (topLevel && first) {
                return false;
            }
            headers.bodyStart = line.start;  // a body without the blank line before it
            break;
        }
        total += line.next - line.start;
        first = false;
    }
    flush();
    cursor_.seek(headers.bodyStart);
    return !topLevel || headers.mime;
}

bool isBoundaryLine(std::string_view text, const std::string &boundary, bool &close) {
    if (text.size() < boundary.size() + 2 || !text.starts_with("--") ||
        text.compare(2, boundary.size(), boundary) != 0) {
        return false;
    }
    std::string_view rest = text.substr(boundary.size() + 2);
    close = rest.starts_with("--");
    if (close) {
        rest.remove_prefix(2);
    }
    return rest.find_first_not_of(" \t") == std::string_view::npos;
}

Hit Parser::toBoundary() {
    Hit hit;
    Line line;
    while (cursor_.next(line)) {
        // Innermost first: an outer boundary also ends every multipart inside it.
        for (int level = static_cast<int>(boundaries_.size()) - 1; level >= 0; --level) {
            if (isBoundaryLine(line.text, boundaries_[static_cast<std::size_t>(level)],
                               hit.close)) {
                hit.level = level;
                hit.lineStart = line.start;
                return hit;
            }
        }
        hit.lastBreak = line.breakLength;
    }
    hit.lineStart = size_;
    hit.lastBreak = 0;
    hit.close = false;
    return hit;
}

bool Parser::addPart(const Headers &headers, std::uint64_t end) {
    if (out_.parts.size() >= maxParts_) {
        return false;
    }
    MimePart part;
    part.name = headers.name.empty() ? "part-" + std::to_string(out_.parts.size() + 1)
                                     : displayName(headers.name);
    part.encoding = headers.encoding;
    part.offset = std::min(headers.bodyStart, end);
    part.length = end - part.offset;
    out_.parts.push_back(std::move(part));
    return true;
}

Hit Parser::multipart(const Headers &headers, int depth) {
    boundaries_.push_back(headers.boundary);
    const int level = static_cast<int>(boundaries_.size()) - 1;
    Hit hit = toBoundary();  // past the preamble
    while (hit.level == level && !hit.close && !stopped()) {
        hit = entity(depth + 1, false);
    }
    boundaries_.pop_back();
    if (hit.level == level && hit.close) {
        return toBoundary();  // past the epilogue, to the boundary of an enclosing multipart
    }
    closedAll_ = false;  // ended by the source's end or by an enclosing boundary
    return hit;
}

Hit Parser::entity(int depth, bool topLevel) {
    Headers headers;
    if (!readHeaders(headers, topLevel)) {
        return Hit{};
    }
    if (topLevel) {
        out_.isMessage = true;
    }
    bool nests = depth < kMimeMaxDepth && headers.encoding == MimeEncoding::Identity;
    if (nests && headers.mediaType.starts_with("multipart/") && !headers.boundary.empty() &&
        headers.boundary.size() <= kMaxBoundaryLength) {
        return multipart(headers, depth);
    }
    if (nests && headers.mediaType == "message/rfc822") {
        return entity(depth + 1, false);
    }
    Hit hit = toBoundary();
    if (!addPart(headers, hit.lineStart - std::min<std::uint64_t>(hit.lastBreak, hit.lineStart))) {
        closedAll_ = false;
    }
    return hit;
}

void Parser::run() {
    (void)entity(0, true);
    out_.error = cursor_.error();
    out_.complete = out_.isMessage && closedAll_ && out_.error == 0;
}

}  // namespace

MimeListing listMime(ByteSource &source, std::size_t maxParts) {
    MimeListing listing;
    Parser(source, maxParts, listing).run();
    return listing;
}

}  // namespace ql::standin
