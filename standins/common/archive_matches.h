// What a stand-in finds in a container, a plain tar archive or a mail message: the matches of
// each inner object (a tar's regular member, a message's decoded part), for its own report, and
// those of the container's raw bytes that no inner object accounts for.
//
// A reader's idea of a container's framing need not be the extractor's: bytes after a zero block,
// in a member of a type the listing passes over, behind a size a header misstates, around a
// message's parts or under an encoding a part only claims are written out or shown by some tool
// although no inner scan looks at them as they stand. So the raw bytes are judged as a whole too,
// and a raw match is the container's own finding unless it lies inside an inner object whose own
// scan found that signature.
#ifndef QL_STANDINS_COMMON_ARCHIVE_MATCHES_H
#define QL_STANDINS_COMMON_ARCHIVE_MATCHES_H

#include <cstdint>
#include <string>
#include <vector>

#include "standins/common/byte_source.h"
#include "standins/common/matcher.h"

namespace ql::standin {

enum class ContainerKind { None, Tar, Mail };

struct InnerMatches {
    std::string name;          // the member's path or the part's name
    std::uint64_t offset = 0;  // the inner object's bytes in the container (a part's encoded)
    std::uint64_t length = 0;
    std::vector<Match> matches;  // of its content (a part's decoded)
};

struct ArchiveMatches {
    ContainerKind kind = ContainerKind::None;
    // The container ended where its format says it ends, and every inner object was listed.
    bool complete = false;
    // 0, or the errno of a failed read (what was found before it is kept).
    int error = 0;
    // Matches of the raw bytes that no inner object accounts for.
    std::vector<Match> own;
    // Every inner object, in container order.
    std::vector<InnerMatches> inners;
};

// Take source as a tar archive, else as a mail message, and scan it as a whole and object by
// object. kind None, with nothing scanned, when it is neither.
[[nodiscard]] ArchiveMatches matchContainer(const Matcher &matcher, ByteSource &source);

}  // namespace ql::standin

#endif  // QL_STANDINS_COMMON_ARCHIVE_MATCHES_H
