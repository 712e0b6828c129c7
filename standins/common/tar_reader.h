// Lists the members of a plain tar archive (POSIX ustar, or old-style with a valid checksum) held
// in a byte source, so that a stand-in can scan each regular member's bytes in place. Nested
// archives are not opened: a member that is a tar is just bytes to its reader.
//
// The reader never reads outside the source and always ends: every header moves it on by at
// least one block, and it stops at the end-of-archive block, the end of the source, the first
// damaged or truncated header, or after maxMembers members.
#ifndef QL_STANDINS_COMMON_TAR_READER_H
#define QL_STANDINS_COMMON_TAR_READER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "standins/common/byte_source.h"

namespace ql::standin {

inline constexpr std::size_t kTarBlockSize = 512;
inline constexpr std::size_t kTarMaxMembers = 10000;
// prefix (155) + '/' + name (100)
inline constexpr std::size_t kTarMaxNameLength = 256;

enum class TarMemberType {
    Regular,    // typeflag '0', NUL or '7': its data is scanned
    Directory,  // typeflag '5'
    Other,      // links, devices, FIFOs, extended headers and the rest: skipped
};

struct TarMember {
    // prefix "/" name for ustar, else name; at most kTarMaxNameLength characters. Control
    // characters are replaced by '?', so the name can go into a reply line as it stands.
    std::string name;
    TarMemberType type = TarMemberType::Other;
    char typeflag = '0';
    std::uint64_t dataOffset = 0;  // offset of the first data byte in the source
    // Data bytes present in the source: dataOffset + size <= source size. Less than the
    // header says only when the member is truncated.
    std::uint64_t size = 0;
    bool truncated = false;
};

// Why the listing stopped.
enum class TarEnd {
    NotTar,          // the first block is not a tar header; members is empty
    EndMarker,       // an all-zero block
    EndOfSource,     // the source ended right after a member (no end marker)
    Truncated,       // a header or a member's data runs past the end of the source
    BadHeader,       // a later header with a wrong checksum or an unreadable field
    TooManyMembers,  // maxMembers were listed; the rest were not looked at
    ReadError,       // the source failed; see error
};

struct TarListing {
    bool isTar = false;  // the first block is a valid tar header
    TarEnd end = TarEnd::NotTar;
    int error = 0;  // errno of a failed read (ReadError only)
    // In archive order, every kind of member; dataOffset strictly increases.
    std::vector<TarMember> members;

    // Whether the archive ended in order; false means it is damaged or cut short.
    [[nodiscard]] bool complete() const {
        return end == TarEnd::EndMarker || end == TarEnd::EndOfSource;
    }
};

// Whether the 512-byte block is a tar header: not all zero, checksum field in octal and equal
// to the sum of the block's bytes with the checksum field counted as blanks (unsigned or, as
// some old writers made it, signed).
[[nodiscard]] bool isTarHeader(const unsigned char *block);

// List the members of the archive at the start of source. A source whose first block is not a
// tar header (or that is shorter than one block) yields NotTar.
[[nodiscard]] TarListing listTar(ByteSource &source, std::size_t maxMembers = kTarMaxMembers);

}  // namespace ql::standin

#endif  // QL_STANDINS_COMMON_TAR_READER_H
