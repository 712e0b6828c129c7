// Finds signatures in a byte range of a source in one pass over a reused chunk buffer, so that
// no file is ever held in memory whole; matches spanning chunk boundaries are found too.
#ifndef QL_STANDINS_COMMON_MATCHER_H
#define QL_STANDINS_COMMON_MATCHER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "standins/common/byte_source.h"
#include "standins/common/signatures.h"

namespace ql::standin {

// One signature found, at the source offset where its first occurrence starts.
struct Match {
    const Signature *signature = nullptr;  // points into the Matcher's SignatureSet
    std::uint64_t offset = 0;
};

struct MatchResult {
    // 0, or the errno of a failed read; the matches found before the failure are kept.
    int error = 0;
    // Each signature at most once, ordered by the offset of its first occurrence (signatures
    // starting at the same offset in set order).
    std::vector<Match> matches;
};

// Scans with a fixed signature set. The set must outlive the matcher and stay unchanged. One
// matcher may be used by several threads at once: scan() keeps its state on the call and in a
// chunk buffer of the calling thread, kept for the thread's next scans.
class Matcher {
  public:
    // Bytes read from the source per step (besides the carried tail of the previous step).
    static constexpr std::size_t kChunkSize = 64 * 1024;

    explicit Matcher(const SignatureSet &set);

    // Find every signature that lies wholly inside [offset, offset + length) of source; the
    // range is cut at the end of the source. A source that ends early (a file that shrank)
    // ends the scan without error.
    [[nodiscard]] MatchResult scan(ByteSource &source, std::uint64_t offset,
                                   std::uint64_t length) const;
    // The whole source.
    [[nodiscard]] MatchResult scan(ByteSource &source) const {
        return scan(source, 0, source.size());
    }

    [[nodiscard]] const SignatureSet &signatures() const { return set_; }

  private:
    struct Pass;
    void matchAt(const unsigned char *window, std::size_t avail, std::uint64_t base,
                 std::size_t from, std::size_t to, Pass &pass) const;

    const SignatureSet &set_;
    // Indices into the set of the signatures whose pattern starts with each byte value.
    std::array<std::vector<std::uint16_t>, 256> byFirstByte_;
    // Whether any pattern starts with each byte value.
    std::array<bool, 256> startsPattern_{};
};

// The match that decides an object's verdict, or null when none does (the object is clean).
// Delay matches never decide; they only hold the answer back (see longestDelayMs). The others
// rank, highest first: hang, drop, error5xx, error, infected, suspicious, disinfected,
// disinfect-failed, encrypted, corrupted. Between equal outcomes the earliest match wins.
[[nodiscard]] const Match *decidingMatch(const std::vector<Match> &matches);

// The longest delay among the matches in milliseconds, 0 when there is none.
[[nodiscard]] int longestDelayMs(const std::vector<Match> &matches);

}  // namespace ql::standin

#endif  // QL_STANDINS_COMMON_MATCHER_H
