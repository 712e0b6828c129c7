#include "standins/common/archive_matches.h"

#include <algorithm>

#include "standins/common/mime_reader.h"
#include "standins/common/tar_reader.h"

namespace ql::standin {

namespace {

// Whether an inner object's own scan already reports match: it lies wholly inside that object's
// bytes, and the object's scan found the same signature. A part whose encoding only pretends to
// be base64 decodes to something else, so its raw bytes stay the container's to judge.
bool accountedFor(const Match &match, const std::vector<InnerMatches> &inners) {
    std::uint64_t end = match.offset + match.signature->pattern.size();
    return std::any_of(inners.begin(), inners.end(), [&](const InnerMatches &inner) {
        return match.offset >= inner.offset && end <= inner.offset + inner.length &&
               std::any_of(inner.matches.begin(), inner.matches.end(),
                           [&](const Match &found) { return found.signature == match.signature; });
    });
}

void listTarMembers(const Matcher &matcher, ByteSource &source, const TarListing &tar,
                    ArchiveMatches &found) {
    found.kind = ContainerKind::Tar;
    found.complete = tar.complete();
    for (const TarMember &member : tar.members) {
        if (member.type != TarMemberType::Regular) {
            continue;
        }
        MatchResult result = matcher.scan(source, member.dataOffset, member.size);
        found.inners.push_back(
            {member.name, member.dataOffset, member.size, std::move(result.matches)});
        if (result.error != 0) {
            found.error = result.error;
            return;
        }
    }
    found.error = tar.error;
}

void listMailParts(const Matcher &matcher, ByteSource &source, const MimeListing &mail,
                   ArchiveMatches &found) {
    found.kind = ContainerKind::Mail;
    found.complete = mail.complete;
    for (const MimePart &part : mail.parts) {
        MimePartSource decoded(source, part);
        MatchResult result =
            decoded.ok() ? matcher.scan(decoded) : MatchResult{decoded.error(), {}};
        found.inners.push_back({part.name, part.offset, part.length, std::move(result.matches)});
        if (result.error != 0) {
            found.error = result.error;
            return;
        }
    }
    found.error = mail.error;
}

}  // namespace

ArchiveMatches matchContainer(const Matcher &matcher, ByteSource &source) {
    ArchiveMatches found;
    if (TarListing tar = listTar(source); tar.isTar) {
        listTarMembers(matcher, source, tar, found);
    } else if (MimeListing mail = listMime(source); mail.isMessage) {
        listMailParts(matcher, source, mail, found);
    } else {
        return found;
    }
    if (found.error != 0) {
        return found;
    }
    MatchResult whole = matcher.scan(source);
    for (const Match &match : whole.matches) {
        if (!accountedFor(match, found.inners)) {
            found.own.push_back(match);
        }
    }
    found.error = whole.error;
    return found;
}

}  // namespace ql::standin
