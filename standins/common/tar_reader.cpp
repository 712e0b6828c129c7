#include "standins/common/tar_reader.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace ql::standin {
namespace {

constexpr std::size_t kNameAt = 0, kNameLen = 100;
constexpr std::size_t kSizeAt = 124, kSizeLen = 12;
constexpr std::size_t kChecksumAt = 148, kChecksumLen = 8;
constexpr std::size_t kTypeflagAt = 156;
constexpr std::size_t kMagicAt = 257;
constexpr std::size_t kPrefixAt = 345, kPrefixLen = 155;

// Octal digits, optionally led by blanks and ended by a NUL or blank, with nothing but NULs and
// blanks after them. An empty field reads as 0. The high-bit binary form is refused.
bool parseOctal(const unsigned char *field, std::size_t len, std::uint64_t &value) {
    std::size_t i = 0;
    while (i < len && field[i] == ' ') {
        ++i;
    }
    value = 0;
    for (; i < len && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (value >> 60 != 0) {
            return false;
        }
        value = value * 8 + (field[i] - '0');
    }
    for (; i < len; ++i) {
        if (field[i] != '\0' && field[i] != ' ') {
            return false;
        }
    }
    return true;
}

bool hasDigit(const unsigned char *field, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        if (field[i] >= '0' && field[i] <= '7') {
            return true;
        }
    }
    return false;
}

bool isZeroBlock(const unsigned char *block) {
    for (std::size_t i = 0; i < kTarBlockSize; ++i) {
        if (block[i] != 0) {
            return false;
        }
    }
    return true;
}

// Only the POSIX magic "ustar\0" has a prefix field; the older "ustar  " layout keeps other
// data in those bytes.
bool hasPosixMagic(const unsigned char *block) {
    return std::memcmp(block + kMagicAt, "ustar", 6) == 0;
}

void appendField(std::string &out, const unsigned char *field, std::size_t len) {
    for (std::size_t i = 0; i < len && field[i] != '\0'; ++i) {
        unsigned char c = field[i];
        out.push_back(c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c));
    }
}

std::string memberName(const unsigned char *block) {
    std::string name;
    if (hasPosixMagic(block) && block[kPrefixAt] != '\0') {
        appendField(name, block + kPrefixAt, kPrefixLen);
        name.push_back('/');
    }
    appendField(name, block + kNameAt, kNameLen);
    return name;
}

TarMemberType memberType(char typeflag, const std::string &name) {
    switch (typeflag) {
        case '0':
        case '\0':
        case '7':
            // Old writers marked directories only by a trailing slash.
            return name.ends_with('/') ? TarMemberType::Directory : TarMemberType::Regular;
        case '5':
            return TarMemberType::Directory;
        default:
            return TarMemberType::Other;
    }
}

// Links, devices, directories and FIFOs have no data blocks whatever their size field says.
bool carriesData(char typeflag) {
    return typeflag < '1' || typeflag > '6';
}

std::uint64_t roundUpToBlock(std::uint64_t n) {
    return (n + kTarBlockSize - 1) / kTarBlockSize * kTarBlockSize;
}

}  // namespace

bool isTarHeader(const unsigned char *block) {
    if (block == nullptr || isZeroBlock(block)) {
        return false;
    }
    const unsigned char *field = block + kChecksumAt;
    std::uint64_t stored = 0;
    if (!hasDigit(field, kChecksumLen) || !parseOctal(field, kChecksumLen, stored)) {
        return false;
    }
    std::uint64_t unsignedSum = 0;
    std::int64_t signedSum = 0;
    for (std::size_t i = 0; i < kTarBlockSize; ++i) {
        bool inChecksum = i >= kChecksumAt && i < kChecksumAt + kChecksumLen;
        unsigned char c = inChecksum ? ' ' : block[i];
        unsignedSum += c;
        signedSum += static_cast<signed char>(c);
    }
    return stored == unsignedSum ||
           (signedSum >= 0 && stored == static_cast<std::uint64_t>(signedSum));
}

TarListing listTar(ByteSource &source, std::size_t maxMembers) {
    TarListing listing;
    const std::uint64_t total = source.size();
    std::uint64_t pos = 0;
    unsigned char block[kTarBlockSize];
    auto stop = [&listing](TarEnd why) {
        listing.end = listing.isTar || why == TarEnd::ReadError ? why : TarEnd::NotTar;
    };
    for (;;) {
        if (pos >= total) {
            stop(TarEnd::EndOfSource);
            break;
        }
        if (total - pos < kTarBlockSize) {
            stop(TarEnd::Truncated);
            break;
        }
        std::int64_t got = readFully(source, pos, block, sizeof block);
        if (got < 0) {
            listing.error = errno != 0 ? errno : EIO;
            stop(TarEnd::ReadError);
            break;
        }
        if (static_cast<std::size_t>(got) < sizeof block) {
            stop(TarEnd::Truncated);
            break;
        }
        if (isZeroBlock(block)) {
            stop(TarEnd::EndMarker);
            break;
        }
        std::uint64_t declared = 0;
        if (!isTarHeader(block) || !parseOctal(block + kSizeAt, kSizeLen, declared)) {
            stop(TarEnd::BadHeader);
            break;
        }
        listing.isTar = true;
        if (listing.members.size() >= maxMembers) {
            stop(TarEnd::TooManyMembers);
            break;
        }

        TarMember member;
        member.name = memberName(block);
        member.typeflag = static_cast<char>(block[kTypeflagAt]);
        member.type = memberType(member.typeflag, member.name);
        member.dataOffset = pos + kTarBlockSize;
        std::uint64_t dataSize = carriesData(member.typeflag) ? declared : 0;
        std::uint64_t available = total - member.dataOffset;
        member.truncated = dataSize > available;
        member.size = member.truncated ? available : dataSize;
        listing.members.push_back(std::move(member));
        if (listing.members.back().truncated) {
            stop(TarEnd::Truncated);
            break;
        }
        // dataSize fits inside the source, so adding the padding cannot wrap.
        pos = listing.members.back().dataOffset + roundUpToBlock(dataSize);
    }
    return listing;
}

}  // namespace ql::standin
