// The scan command of the stand-in core: a file, a directory walk or an object read through the
// caller's I/O table. The walk reports every entry it cannot scan (status 0x1000 with
// 0x80000000, the reason as infection name) instead of passing over it. Plain tar archives are
// reported as a top-level object followed by their regular members as inner objects, mail
// messages the same way with their parts, decoded.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/object_reach.h"
#include "common/unique_fd.h"
#include "standins/avcore/core_instance.h"
#include "standins/common/archive_matches.h"
#include "standins/common/byte_source.h"

namespace ql::avcore {

namespace {

using Flow = Instance::Flow;
using standin::Outcome;

// The walk reaches 1024 levels below its top (level 1) and reports what lies deeper.
constexpr int kMaxLevel = 1025;
constexpr const char *kTooDeep = "Directory nesting too deep";

// An object read through the caller's I/O table, with the signed 32-bit offsets of its calls.
class IoSource final : public standin::ByteSource {
  public:
    IoSource(const CoreIOTable &table, CoreIOObject *object, uint32_t size)
        : table_(table), object_(object), size_(std::min<uint32_t>(size, INT32_MAX)) {}

    [[nodiscard]] std::uint64_t size() const override { return size_; }
    [[nodiscard]] std::int64_t read(std::uint64_t offset, void *buf, std::size_t len) override {
        if (offset >= size_) {
            return 0;
        }
        auto want = static_cast<int32_t>(std::min<std::uint64_t>(len, size_ - offset));
        int32_t done = 0;
        if (table_.read(buf, static_cast<int32_t>(offset), want, &done, object_) != 0 || done < 0 ||
            done > want) {
            errno = EIO;
            return -1;
        }
        return done;
    }

  private:
    const CoreIOTable &table_;
    CoreIOObject *object_;
    uint32_t size_;
};

// One run of option 55.
class Scan {
  public:
    explicit Scan(Instance &instance) : instance_(instance) {}

    Flow object(standin::ByteSource &source, const std::string &name, int32_t type);
    // Walk the directory open as dirfd, named dir, at level (1 for the top).
    Flow walk(int dirfd, const std::string &dir, int level);

  private:
    // Report an object the walk cannot scan, with the reason as its infection name.
    Flow notScanned(const std::string &path, int32_t type, const char *reason);
    Flow enter(int dirfd, const char *name, const std::string &path, int level);
    Flow file(int dirfd, const char *name, const std::string &path);
    Flow verdict(const std::string &name, int32_t type, uint32_t flags,
                 const std::vector<standin::Match> &matches);
    Flow finding(const char *name, int32_t type, uint32_t flags, const standin::Signature &sig);
    Flow container(const std::string &name, int32_t type, const standin::ArchiveMatches &found);

    Instance &instance_;
    // A tar archive is being scanned: its file action waits until all its members are done.
    bool inArchive_ = false;
    // A finding of the archive being scanned was left to the core with a file action to take.
    bool actOnArchive_ = false;
};

// The matches that can decide a verdict here: the engine daemon's connection switches mean
// nothing to a library.
std::vector<standin::Match> decisiveOf(const std::vector<standin::Match> &matches) {
    std::vector<standin::Match> decisive;
    for (const standin::Match &match : matches) {
        Outcome outcome = match.signature->outcome;
        if (outcome != Outcome::Hang && outcome != Outcome::Drop) {
            decisive.push_back(match);
        }
    }
    return decisive;
}

// The core's findings: a finding (event bit 0x40) first; only when the callback answers 10 does
// the core act: it disinfects, or takes option 31's file action on a file of its own (an
// archive's once its members are done) and reports only when that fails.
Flow Scan::finding(const char *name, int32_t type, uint32_t flags, const standin::Signature &sig) {
    const char *infection = sig.name.c_str();
    uint32_t status =
        sig.outcome == Outcome::Suspicious ? CORE_STATUS_SUSPICIOUS : CORE_STATUS_INFECTED;
    instance_.count(sig.outcome == Outcome::Suspicious ? CORE_COUNTER_SUSPICIOUS
                                                       : CORE_COUNTER_INFECTED);
    instance_.count(CORE_COUNTER_INFECTIONS);
    Flow answer = instance_.report(name, type, flags, status, CORE_EVENT_FINDING, infection);
    if (answer != Flow::Act) {
        return answer;
    }
    bool fileAction = type == CORE_OBJECT_FILE && sig.outcome != Outcome::Disinfected &&
                      instance_.takesFileAction();
    if (fileAction && inArchive_) {
        actOnArchive_ = true;
        return Flow::Go;
    }
    if (fileAction && instance_.act(name)) {
        return Flow::Go;
    }
    if (sig.outcome == Outcome::Disinfected) {
        instance_.count(CORE_COUNTER_DISINFECTED);
        answer = instance_.report(name, type, flags, CORE_STATUS_DISINFECTED, CORE_EVENT_OBJECT,
                                  infection);
    } else {
        answer = instance_.report(name, type, flags,
                                  status | CORE_STATUS_DISINFECT_FAILED | CORE_STATUS_FAILED,
                                  CORE_EVENT_OBJECT, infection);
    }
    return answer == Flow::Act ? Flow::Go : answer;
}

Flow Scan::verdict(const std::string &name, int32_t type, uint32_t flags,
                   const std::vector<standin::Match> &matches) {
    // A delay holds this object's report back, so that tests can act while a scan runs.
    if (int delayMs = standin::longestDelayMs(matches); delayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    }
    std::vector<standin::Match> decisive = decisiveOf(matches);
    instance_.count(CORE_COUNTER_OBJECTS);
    const standin::Match *decider = standin::decidingMatch(decisive);
    Flow answer = Flow::Go;
    if (decider == nullptr) {
        answer = instance_.report(name.c_str(), type, flags, CORE_STATUS_CLEAN, CORE_EVENT_OBJECT,
                                  nullptr);
    } else {
        switch (decider->signature->outcome) {
            case Outcome::Error:
            case Outcome::Error5xx:
                return Flow::Abort;
            case Outcome::Encrypted:
                answer = instance_.report(name.c_str(), type, flags | CORE_FLAG_ENCRYPTED, 0,
                                          CORE_EVENT_OBJECT, nullptr);
                break;
            case Outcome::Corrupted:
                answer = instance_.report(name.c_str(), type, flags | CORE_FLAG_CORRUPTED, 0,
                                          CORE_EVENT_OBJECT, nullptr);
                break;
            default:
                answer = finding(name.c_str(), type, flags, *decider->signature);
                break;
        }
    }
    return answer == Flow::Act ? Flow::Go : answer;
}

// A container reports itself first: with its own finding when its raw bytes hold one no inner
// object accounts for, else as an object whose inner objects carry the verdict.
Flow Scan::container(const std::string &name, int32_t type, const standin::ArchiveMatches &found) {
    if (standin::decidingMatch(decisiveOf(found.own)) != nullptr) {
        return verdict(name, type, 0, found.own);
    }
    instance_.count(CORE_COUNTER_OBJECTS);
    return instance_.report(name.c_str(), type, found.complete ? 0 : CORE_FLAG_CORRUPTED, 0,
                            CORE_EVENT_OBJECT, nullptr);
}

Flow Scan::object(standin::ByteSource &source, const std::string &name, int32_t type) {
    standin::ArchiveMatches found = standin::matchContainer(instance_.engine().matcher, source);
    if (found.kind == standin::ContainerKind::None) {
        standin::MatchResult whole = instance_.engine().matcher.scan(source);
        if (whole.error != 0) {
            return Flow::Abort;
        }
        return verdict(name, type, 0, whole.matches);
    }
    if (found.error != 0) {
        return Flow::Abort;
    }
    inArchive_ = true;
    Flow answer = container(name, type, found);
    for (const standin::InnerMatches &inner : found.inners) {
        if (answer == Flow::Stop || answer == Flow::Abort) {
            break;
        }
        answer = verdict(name + "/" + inner.name, type, CORE_FLAG_INNER, inner.matches);
    }
    inArchive_ = false;
    // After the inner objects: the file action left to the container, if any.
    if (answer == Flow::Stop || answer == Flow::Abort) {
        actOnArchive_ = false;
        return answer;
    }
    if (actOnArchive_) {
        actOnArchive_ = false;
        if (!instance_.act(name)) {
            answer = instance_.report(
                name.c_str(), type, 0,
                CORE_STATUS_INFECTED | CORE_STATUS_DISINFECT_FAILED | CORE_STATUS_FAILED,
                CORE_EVENT_OBJECT, nullptr);
        }
    }
    return answer == Flow::Act ? Flow::Go : answer;
}

Flow Scan::notScanned(const std::string &path, int32_t type, const char *reason) {
    Flow answer =
        instance_.report(path.c_str(), type, 0, CORE_STATUS_NOT_SCANNED | CORE_STATUS_FAILED,
                         CORE_EVENT_OBJECT, reason);
    return answer == Flow::Act ? Flow::Go : answer;
}

Flow Scan::enter(int dirfd, const char *name, const std::string &path, int level) {
    if (level > kMaxLevel) {
        return notScanned(path, CORE_OBJECT_DIRECTORY, kTooDeep);
    }
    UniqueFd dir(openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) {
        return notScanned(path, CORE_OBJECT_DIRECTORY, systemErrorText(errno));
    }
    return walk(dir.get(), path, level);
}

Flow Scan::file(int dirfd, const char *name, const std::string &path) {
    UniqueFd fd(openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    int error = errno;
    standin::FdSource source(fd.get());
    if (!source.ok()) {
        return notScanned(path, CORE_OBJECT_FILE, systemErrorText(fd ? source.error() : error));
    }
    return object(source, path, CORE_OBJECT_FILE);
}

// Through directory descriptors, so that no path is too long to reach.
Flow Scan::walk(int dirfd, const std::string &dir, int level) {
    instance_.count(CORE_COUNTER_DIRS);
    Flow answer =
        instance_.report(dir.c_str(), CORE_OBJECT_DIRECTORY, 0, 0, CORE_EVENT_OBJECT, nullptr);
    if (answer == Flow::Stop || answer == Flow::Abort) {
        return answer;
    }
    std::vector<std::string> names;
    if (entryNamesAt(dirfd, names) < 0) {
        return notScanned(dir, CORE_OBJECT_DIRECTORY, systemErrorText(errno));
    }
    std::sort(names.begin(), names.end());  // the same order on every run
    for (const std::string &entryName : names) {
        std::string path = entryPath(dir, entryName.c_str());
        struct stat info {};
        answer = Flow::Go;
        if (fstatat(dirfd, entryName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            // Removed since the directory was read: no object any more.
            answer = errno == ENOENT ? Flow::Go
                                     : notScanned(path, CORE_OBJECT_FILE, systemErrorText(errno));
        } else if (S_ISDIR(info.st_mode) && instance_.descends(level) &&
                   !instance_.skipsDirectory(path)) {
            answer = enter(dirfd, entryName.c_str(), path, level + 1);
        } else if (S_ISREG(info.st_mode) && !instance_.skipsFile(path, info.st_size)) {
            answer = file(dirfd, entryName.c_str(), path);
        }
        if (answer == Flow::Stop || answer == Flow::Abort) {
            return answer;
        }
    }
    return Flow::Go;
}

}  // namespace

int Instance::scan(int type, const void *object) {
    counters_.fill(0);
    Scan run(*this);
    Flow outcome = Flow::Abort;
    if (object == nullptr) {
        return 1;
    }
    if (type == CORE_OBJECT_FILE) {
        auto *path = static_cast<const char *>(object);
        standin::FdSource source(path);
        if (!source.ok()) {
            return 1;
        }
        if (skipsFile(path, source.size())) {
            return 0;
        }
        outcome = run.object(source, path, CORE_OBJECT_FILE);
    } else if (type == CORE_OBJECT_DIRECTORY) {
        auto *path = static_cast<const char *>(object);
        UniqueFd top(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!top) {
            return 1;
        }
        outcome = run.walk(top.get(), path, 1);
    } else {
        auto *io = static_cast<CoreIOObject *>(const_cast<void *>(object));
        const CoreIOTable &table = table_ != nullptr ? *table_ : io->io;
        uint32_t size = 0;
        if (table.open == nullptr || table.close == nullptr || table.read == nullptr ||
            table.getSize == nullptr || table.open(io) != 0) {
            return 1;
        }
        if (table.getSize(&size, io) == 0) {
            IoSource source(table, io, size);
            outcome = run.object(source, io->name != nullptr ? io->name : "", CORE_OBJECT_IO);
        }
        table.close(io);
    }
    return outcome == Flow::Abort ? 1 : 0;
}

}  // namespace ql::avcore
