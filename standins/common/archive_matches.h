// What a stand-in finds in a plain tar archive: the matches of each regular member, for its own
// report, and those of the archive's raw bytes that no member accounts for.
//
// A reader's idea of an archive's framing need not be the extractor's: bytes after a zero block,
// in a member of a type the listing passes over, or behind a size a header misstates are written
// out by tar although no member scan looks at them. So the raw bytes are judged as a whole too,
// and whatever they hold outside the regular members' data is the archive's own finding.
#ifndef QL_STANDINS_COMMON_ARCHIVE_MATCHES_H
#define QL_STANDINS_COMMON_ARCHIVE_MATCHES_H

#include <vector>

#include "standins/common/byte_source.h"
#include "standins/common/matcher.h"
#include "standins/common/tar_reader.h"

namespace ql::standin {

struct MemberMatches {
    const TarMember *member = nullptr;  // points into the listing
    std::vector<Match> matches;
};

struct ArchiveMatches {
    // 0, or the errno of a failed read (what was found before it is kept).
    int error = 0;
    // Matches of the raw bytes that lie wholly inside no regular member's data.
    std::vector<Match> own;
    // Every regular member of the listing, in archive order.
    std::vector<MemberMatches> members;
};

// Scan source, listed as listing (a tar: listing.isTar), as a whole and member by member.
[[nodiscard]] ArchiveMatches matchArchive(const Matcher &matcher, ByteSource &source,
                                          const TarListing &listing);

}  // namespace ql::standin

#endif  // QL_STANDINS_COMMON_ARCHIVE_MATCHES_H
