#include "standins/common/archive_matches.h"

#include <algorithm>
#include <iterator>

namespace ql::standin {

namespace {

// A match another scan already reports: it lies wholly inside one regular member's data, whose
// own scan finds that signature there or earlier. Members are in increasing dataOffset order.
bool insideAMember(const Match &match, const std::vector<MemberMatches> &members) {
    auto after = std::upper_bound(
        members.begin(), members.end(), match.offset,
        [](std::uint64_t offset, const MemberMatches &m) { return offset < m.member->dataOffset; });
    if (after == members.begin()) {
        return false;
    }
    const TarMember &member = *std::prev(after)->member;
    std::uint64_t end = match.offset + match.signature->pattern.size();
    return end <= member.dataOffset + member.size;
}

}  // namespace

ArchiveMatches matchArchive(const Matcher &matcher, ByteSource &source, const TarListing &listing) {
    ArchiveMatches found;
    for (const TarMember &member : listing.members) {
        if (member.type != TarMemberType::Regular) {
            continue;
        }
        MatchResult result = matcher.scan(source, member.dataOffset, member.size);
        found.members.push_back({&member, std::move(result.matches)});
        if (result.error != 0) {
            found.error = result.error;
            return found;
        }
    }
    MatchResult whole = matcher.scan(source);
    for (const Match &match : whole.matches) {
        if (!insideAMember(match, found.members)) {
            found.own.push_back(match);
        }
    }
    found.error = whole.error;
    return found;
}

}  // namespace ql::standin
