#include "standins/common/matcher.h"

#include <cerrno>
#include <cstring>

namespace ql::standin {

struct Matcher::Pass {
    std::vector<bool> found;
    std::size_t left = 0;
    MatchResult result;
};

Matcher::Matcher(const SignatureSet &set) : set_(set) {
    const auto &all = set_.all();
    for (std::size_t i = 0; i < all.size(); ++i) {
        auto first = static_cast<unsigned char>(all[i].pattern[0]);
        byFirstByte_[first].push_back(static_cast<std::uint16_t>(i));
        startsPattern_[first] = true;
    }
}

// Tests the start positions [from, to) of window; a pattern must end within avail bytes.
void Matcher::matchAt(const unsigned char *window, std::size_t avail, std::uint64_t base,
                      std::size_t from, std::size_t to, Pass &pass) const {
    const auto &all = set_.all();
    for (std::size_t p = from; p < to && pass.left > 0; ++p) {
        // Most bytes start no pattern: pass over them with one table look-up each.
        while (!startsPattern_[window[p]]) {
            if (++p == to) {
                return;
            }
        }
        for (std::uint16_t index : byFirstByte_[window[p]]) {
            const std::string &pattern = all[index].pattern;
            if (pass.found[index] || pattern.size() > avail - p ||
                std::memcmp(window + p, pattern.data(), pattern.size()) != 0) {
                continue;
            }
            pass.found[index] = true;
            --pass.left;
            pass.result.matches.push_back(Match{&all[index], base + p});
        }
    }
}

MatchResult Matcher::scan(ByteSource &source, std::uint64_t offset, std::uint64_t length) const {
    Pass pass;
    pass.found.assign(set_.count(), false);
    pass.left = set_.count();
    std::uint64_t size = source.size();
    if (offset >= size || length == 0) {
        return std::move(pass.result);
    }
    std::uint64_t end = offset + (length < size - offset ? length : size - offset);

    // The last keep bytes of each step are carried into the next one: a pattern starting there
    // may end in the next chunk, so those start positions are tested one step later.
    const std::size_t keep = set_.maxPatternLength() - 1;
    // One buffer per thread, reused by every scan: a scan allocates and clears no chunk.
    thread_local std::vector<unsigned char> buf;
    if (buf.size() < keep + kChunkSize) {
        buf.resize(keep + kChunkSize);
    }
    std::size_t carried = 0;
    std::uint64_t base = offset;
    std::uint64_t next = offset;
    while (pass.left > 0) {
        std::uint64_t rest = end - next;
        std::size_t want = rest < kChunkSize ? static_cast<std::size_t>(rest) : kChunkSize;
        std::int64_t got = want == 0 ? 0 : readFully(source, next, buf.data() + carried, want);
        if (got < 0) {
            pass.result.error = errno != 0 ? errno : EIO;
            break;
        }
        next += static_cast<std::uint64_t>(got);
        std::size_t avail = carried + static_cast<std::size_t>(got);
        if (next >= end || static_cast<std::size_t>(got) < want) {
            matchAt(buf.data(), avail, base, 0, avail, pass);
            break;
        }
        // Here got == kChunkSize, which is more than keep.
        std::size_t settled = avail - keep;
        matchAt(buf.data(), avail, base, 0, settled, pass);
        std::memmove(buf.data(), buf.data() + settled, keep);
        base += settled;
        carried = keep;
    }
    return std::move(pass.result);
}

namespace {

// Lower ranks decide first; Delay never decides.
int outcomeRank(Outcome outcome) {
    switch (outcome) {
        case Outcome::Hang:
            return 0;
        case Outcome::Drop:
            return 1;
        case Outcome::Error5xx:
            return 2;
        case Outcome::Error:
            return 3;
        case Outcome::Infected:
            return 4;
        case Outcome::Suspicious:
            return 5;
        case Outcome::Disinfected:
            return 6;
        case Outcome::DisinfectFailed:
            return 7;
        case Outcome::Encrypted:
            return 8;
        case Outcome::Corrupted:
            return 9;
        case Outcome::Delay:
            break;
    }
    return -1;
}

}  // namespace

const Match *decidingMatch(const std::vector<Match> &matches) {
    const Match *best = nullptr;
    int bestRank = 0;
    for (const Match &match : matches) {
        if (match.signature == nullptr) {
            continue;
        }
        int rank = outcomeRank(match.signature->outcome);
        if (rank >= 0 && (best == nullptr || rank < bestRank)) {
            best = &match;
            bestRank = rank;
        }
    }
    return best;
}

int longestDelayMs(const std::vector<Match> &matches) {
    int longest = 0;
    for (const Match &match : matches) {
        if (match.signature != nullptr && match.signature->outcome == Outcome::Delay &&
            match.signature->delayMs > longest) {
            longest = match.signature->delayMs;
        }
    }
    return longest;
}

}  // namespace ql::standin
