// One instance of the stand-in core library: its options, its CoreSet recorder, its counters,
// and the scans it runs (option 55) with the signatures of the loaded engine.
//
// An instance is used by one thread at a time; instances share only the immutable engine.
#ifndef QL_STANDINS_AVCORE_CORE_INSTANCE_H
#define QL_STANDINS_AVCORE_CORE_INSTANCE_H

#include <array>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "bd/core_contract.h"
#include "standins/common/matcher.h"
#include "standins/common/signatures.h"

namespace ql::avcore {

// The environment variable naming the file that instances append their CoreSet calls to (and
// CoreInit5 its arguments), one line per call: the option and its values, blank-separated, an
// empty text as "". Pointers are not written.
inline constexpr const char *kRecordVariable = "QL_AVCORE_RECORD";
// The environment variable that makes calls fail for tests: a comma-separated list of "init"
// (CoreInit5 answers 1), "instance" (CoreNewInstance answers NULL), "set:N" (CoreSet with
// option N answers 1 after reading and recording its values).
inline constexpr const char *kFailVariable = "QL_AVCORE_FAIL";

// Whether the fail switch holds token.
[[nodiscard]] bool failSwitchHas(std::string_view token);

// Append one line to the record file named by kRecordVariable (nothing when it is unset).
void recordLine(const std::string &line);

// The signatures loaded by CoreInit5; shared read-only by every instance.
struct Engine {
    explicit Engine(standin::SignatureSet set) : signatures(std::move(set)), matcher(signatures) {}
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    const standin::SignatureSet signatures;
    const standin::Matcher matcher;
};

class Instance {
  public:
    explicit Instance(std::shared_ptr<const Engine> engine) : engine_(std::move(engine)) {}

    // CoreSet: read the option's values from args, record them, apply the option. Option 55
    // runs a scan and answers 0 when it ran (also when the callback stopped it), nonzero when
    // it could not run, the callback answered -1, or an "error" signature matched.
    int set(int option, va_list args);
    // CoreGet: items 5, 7 and 10 (uint32_t *) and 19 (uint32_t **); nonzero for others.
    int get(int item, void *out) const;

    // The scan callback's answer: go on, act on the finding (10), stop (8), fail (-1).
    enum class Flow { Go, Act, Stop, Abort };
    // Report one object to the scan callback (Go when none is set).
    Flow report(const char *name, int32_t type, uint32_t flags, uint32_t status, uint32_t event,
                const char *infection);
    // Used by the scan of option 55.
    void count(int counter) { ++counters_[static_cast<std::size_t>(counter)]; }
    [[nodiscard]] const Engine &engine() const { return *engine_; }
    [[nodiscard]] bool descends(int level) const;
    // Whether the walk leaves out the file at path of size bytes: its extension is not in the
    // scan list (option 43) or is in the skip list (44), or it is larger than option 89's KB.
    [[nodiscard]] bool skipsFile(const std::string &path, std::uint64_t size) const;
    // Whether the walk leaves out the directory at path: one of option 86's ':'-separated
    // directories (the same device and inode).
    [[nodiscard]] bool skipsDirectory(const std::string &path) const;
    // Act on the infected file at path as option 31 says (4 delete, 6 quarantine into option
    // 35's directory, or 34's, 7 rename with option 45's extension), counting what was done.
    // False when there is no such action or it failed.
    bool act(const std::string &path);
    // Whether option 31 names a file action (delete, quarantine, rename).
    [[nodiscard]] bool takesFileAction() const {
        return action_ == 4 || action_ == 6 || action_ == 7;
    }

  private:
    int scan(int type, const void *object);
    std::string &textSlot(int option);

    std::shared_ptr<const Engine> engine_;
    CoreScanCallback callback_ = nullptr;
    void *context_ = nullptr;
    const CoreIOTable *table_ = nullptr;
    bool noRecurse_ = false;
    int depthLimit_ = 0;
    int action_ = 0;
    int sizeLimitKb_ = 0;
    std::string scanExtensions_;
    std::string skipExtensions_;
    std::string skipDirectories_;
    std::string switchDirectory_;
    std::string quarantineDirectory_;
    std::string renameExtension_;
    std::array<uint32_t, CORE_COUNTER_COUNT> counters_{};
};

}  // namespace ql::avcore

#endif  // QL_STANDINS_AVCORE_CORE_INSTANCE_H
