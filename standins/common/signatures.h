// The stand-in engines' signatures: the built-in EICAR test string plus those of a
// signatures.txt file.
//
// File format, one signature a line (a CR before the line end is dropped):
//   <outcome> TAB <name> TAB <pattern>
// Blank lines and lines whose first non-blank character is '#' are ignored. The pattern is
// everything after the second tab: either "text:" and a literal taken byte for byte (tabs and
// trailing blanks included), or hex byte pairs in either case ("4d5a90"), with blanks allowed
// between pairs but not inside one. Outcomes:
//   infected, suspicious, encrypted, corrupted, disinfected, disinfect-failed, error
//   error5xx:CODE:TEXT  a final error line for the engine daemon: CODE 400..599, TEXT printable
//                       ASCII (may be empty, at most kMaxErrorTextLength characters)
//   delay:MS            hold the answer back MS milliseconds (0..kMaxDelayMs)
//   hang                never answer
//   drop                close the connection in the middle of the reply
// A line that does not fit is skipped and reported with its number; the rest still load.
#ifndef QL_STANDINS_COMMON_SIGNATURES_H
#define QL_STANDINS_COMMON_SIGNATURES_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ql::standin {

inline constexpr std::size_t kMaxPatternLength = 256;
inline constexpr std::size_t kMaxNameLength = 63;
inline constexpr std::size_t kMaxErrorTextLength = 200;
inline constexpr int kMaxDelayMs = 600000;
inline constexpr std::size_t kMaxSignatures = 1000;  // the built-in one included
inline constexpr std::size_t kMaxSignatureFileBytes = 1 << 20;
inline constexpr const char *kEicarName = "EICAR-Test-File";

enum class Outcome {
    Infected,
    Suspicious,
    Encrypted,
    Corrupted,
    Disinfected,
    DisinfectFailed,
    Error,
    Error5xx,
    Delay,
    Hang,
    Drop,
};

// The outcome as written in the file without its arguments ("disinfect-failed", "error5xx").
[[nodiscard]] const char *outcomeName(Outcome outcome);

struct Signature {
    Outcome outcome = Outcome::Infected;
    std::string name;       // 1..kMaxNameLength printable characters, no blanks
    std::string pattern;    // 1..kMaxPatternLength raw bytes
    int delayMs = 0;        // Delay only
    int errorCode = 0;      // Error5xx only: 400..599
    std::string errorText;  // Error5xx only
};

// A skipped line (line 0: the file as a whole) and why, for the stand-in's log.
struct SignatureProblem {
    int line = 0;
    std::string reason;
};

// An immutable list of signatures; the built-in EICAR signature is always first. Safe to share
// between threads once built.
class SignatureSet {
  public:
    // Only the built-in signature.
    SignatureSet();

    [[nodiscard]] const std::vector<Signature> &all() const { return signatures_; }
    [[nodiscard]] std::size_t count() const { return signatures_.size(); }
    // The longest pattern, never 0.
    [[nodiscard]] std::size_t maxPatternLength() const { return maxPatternLength_; }

    // Add the signatures of a file's text; problems (may be null) receives each skipped line.
    void addFromText(std::string_view text, std::vector<SignatureProblem> *problems);

  private:
    void add(Signature signature);

    std::vector<Signature> signatures_;
    std::size_t maxPatternLength_ = 0;
};

// The built-in signature plus those of the file at path. A missing file is no problem (only the
// built-in signature is known then); one that cannot be read is reported as line 0. At most
// kMaxSignatureFileBytes are read; a longer file is cut at its last whole line and reported.
[[nodiscard]] SignatureSet loadSignatureFile(const char *path,
                                             std::vector<SignatureProblem> *problems);

// The EICAR test string, put together at run time so that host scanners leave this code alone.
[[nodiscard]] std::string eicarString();

}  // namespace ql::standin

#endif  // QL_STANDINS_COMMON_SIGNATURES_H
