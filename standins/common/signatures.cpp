#include "standins/common/signatures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

#include "common/unique_fd.h"
#include "standins/common/hex.h"

namespace ql::standin {
namespace {

struct OutcomeWord {
    std::string_view word;
    Outcome outcome;
};

constexpr OutcomeWord kPlainOutcomes[] = {
    {"infected", Outcome::Infected},
    {"suspicious", Outcome::Suspicious},
    {"encrypted", Outcome::Encrypted},
    {"corrupted", Outcome::Corrupted},
    {"disinfected", Outcome::Disinfected},
    {"disinfect-failed", Outcome::DisinfectFailed},
    {"error", Outcome::Error},
    {"hang", Outcome::Hang},
    {"drop", Outcome::Drop},
};

constexpr std::string_view kDelayPrefix = "delay:";
constexpr std::string_view kError5xxPrefix = "error5xx:";
constexpr std::string_view kTextPrefix = "text:";

// Plain digits only: no sign, no blanks, no trailing characters.
bool parseDecimal(std::string_view text, int &value) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool isPrintable(char c) {
    return c >= 0x20 && c <= 0x7e;
}

bool parseError5xx(std::string_view args, Signature &sig, std::string &why) {
    auto colon = args.find(':');
    if (colon == std::string_view::npos || !parseDecimal(args.substr(0, colon), sig.errorCode) ||
        colon != 3 || sig.errorCode < 400 || sig.errorCode > 599) {
        why = "error5xx needs a code from 400 to 599, then ':' and a text";
        return false;
    }
    std::string_view text = args.substr(colon + 1);
    if (text.size() > kMaxErrorTextLength) {
        why = "error5xx text is longer than " + std::to_string(kMaxErrorTextLength) + " characters";
        return false;
    }
    for (char c : text) {
        if (!isPrintable(c)) {
            why = "error5xx text holds a control character";
            return false;
        }
    }
    sig.errorText.assign(text);
    sig.outcome = Outcome::Error5xx;
    return true;
}

bool parseOutcome(std::string_view field, Signature &sig, std::string &why) {
    for (const auto &entry : kPlainOutcomes) {
        if (field == entry.word) {
            sig.outcome = entry.outcome;
            return true;
        }
    }
    if (field.starts_with(kDelayPrefix)) {
        if (!parseDecimal(field.substr(kDelayPrefix.size()), sig.delayMs) ||
            sig.delayMs > kMaxDelayMs) {
            why = "delay needs milliseconds from 0 to " + std::to_string(kMaxDelayMs);
            return false;
        }
        sig.outcome = Outcome::Delay;
        return true;
    }
    if (field.starts_with(kError5xxPrefix)) {
        return parseError5xx(field.substr(kError5xxPrefix.size()), sig, why);
    }
    why = "unknown outcome \"" + std::string(field.substr(0, 40)) + "\"";
    return false;
}

bool parseName(std::string_view field, Signature &sig, std::string &why) {
    // The engine daemon writes the name followed by a blank, so a blank inside it would move
    // where the reader thinks the object field starts.
    bool clean = !field.empty() && field.size() <= kMaxNameLength;
    for (char c : field) {
        clean = clean && c > 0x20 && c <= 0x7e;
    }
    if (!clean) {
        why = "name must be 1 to " + std::to_string(kMaxNameLength) +
              " printable characters without blanks";
        return false;
    }
    sig.name.assign(field);
    return true;
}

bool parseHex(std::string_view text, std::string &bytes, std::string &why) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        int high = hexDigitValue(text[i]);
        int low = i + 1 < text.size() ? hexDigitValue(text[i + 1]) : -1;
        if (high < 0 || low < 0) {
            why = "pattern is not hex byte pairs (column " + std::to_string(i + 1) + ")";
            return false;
        }
        if (bytes.size() == kMaxPatternLength) {
            bytes.push_back('\0');  // over the limit; the caller reports the length
            return true;
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

bool parsePattern(std::string_view field, Signature &sig, std::string &why) {
    std::string bytes;
    if (field.starts_with(kTextPrefix)) {
        bytes.assign(field.substr(kTextPrefix.size(), kMaxPatternLength + 1));
    } else if (!parseHex(field, bytes, why)) {
        return false;
    }
    if (bytes.empty() || bytes.size() > kMaxPatternLength) {
        why = "pattern must be 1 to " + std::to_string(kMaxPatternLength) + " bytes";
        return false;
    }
    sig.pattern = std::move(bytes);
    return true;
}

bool parseLine(std::string_view line, Signature &sig, std::string &why) {
    auto tab1 = line.find('\t');
    auto tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos) {
        why = "expected outcome, name and pattern separated by tabs";
        return false;
    }
    return parseOutcome(line.substr(0, tab1), sig, why) &&
           parseName(line.substr(tab1 + 1, tab2 - tab1 - 1), sig, why) &&
           parsePattern(line.substr(tab2 + 1), sig, why);
}

bool isIgnorable(std::string_view line) {
    auto first = line.find_first_not_of(" \t");
    return first == std::string_view::npos || line[first] == '#';
}

void report(std::vector<SignatureProblem> *problems, int line, std::string reason) {
    if (problems != nullptr) {
        problems->push_back(SignatureProblem{line, std::move(reason)});
    }
}

// Reads at most kMaxSignatureFileBytes + 1 so that a longer file is seen to be longer.
// Returns 0, or an errno value.
int readBounded(const char *path, std::string &text) {
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        return errno;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return errno;
    }
    if (!S_ISREG(st.st_mode)) {
        return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    text.resize(kMaxSignatureFileBytes + 1);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t got = ::read(fd.get(), text.data() + done, text.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    text.resize(done);
    return 0;
}

}  // namespace

const char *outcomeName(Outcome outcome) {
    for (const auto &entry : kPlainOutcomes) {
        if (entry.outcome == outcome) {
            return entry.word.data();
        }
    }
    return outcome == Outcome::Delay ? "delay" : "error5xx";
}

SignatureSet::SignatureSet() {
    Signature eicar;
    eicar.outcome = Outcome::Infected;
    eicar.name = kEicarName;
    eicar.pattern = eicarString();
    add(std::move(eicar));
}

void SignatureSet::add(Signature signature) {
    if (signature.pattern.size() > maxPatternLength_) {
        maxPatternLength_ = signature.pattern.size();
    }
    signatures_.push_back(std::move(signature));
}

void SignatureSet::addFromText(std::string_view text, std::vector<SignatureProblem> *problems) {
    int lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (isIgnorable(line)) {
            continue;
        }
        Signature sig;
        std::string why;
        if (!parseLine(line, sig, why)) {
            report(problems, lineNo, std::move(why));
        } else if (signatures_.size() >= kMaxSignatures) {
            report(problems, lineNo,
                   "more than " + std::to_string(kMaxSignatures) + " signatures; line skipped");
        } else {
            add(std::move(sig));
        }
    }
}

SignatureSet loadSignatureFile(const char *path, std::vector<SignatureProblem> *problems) {
    SignatureSet set;
    if (path == nullptr || *path == '\0') {
        return set;
    }
    std::string text;
    int err = readBounded(path, text);
    if (err == ENOENT) {
        return set;
    }
    if (err != 0) {
        report(problems, 0, std::string("cannot read ") + path + ": " + std::strerror(err));
        return set;
    }
    if (text.size() > kMaxSignatureFileBytes) {
        text.resize(kMaxSignatureFileBytes);
        auto lastEnd = text.rfind('\n');
        text.resize(lastEnd == std::string::npos ? 0 : lastEnd + 1);
        report(problems, 0,
               "file is longer than " + std::to_string(kMaxSignatureFileBytes) +
                   " bytes; the rest is ignored");
    }
    set.addFromText(text, problems);
    return set;
}

std::string eicarString() {
    // Two halves, so that no single literal here is the test string.
    std::string text(R"(X5O!P%@AP[4\PZX54(P^)7CC)7})");
    text += "$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
    return text;
}

}  // namespace ql::standin
