// Micro-benchmarks of the pieces every request passes through: the settings loader, path
// resolution, the engine reply reader with its line callbacks (byte by byte on a bare descriptor
// and through a pooled connection's buffer), the option setting of a core instance, and the
// stand-ins' one-pass signature search.
//
// The core benchmark needs the built stand-in core: QL_BENCH_AVCORE names libavcore.so
// (bench.sh sets it); without it that benchmark is skipped.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bd/bd_core.h"
#include "bd/bd_iface.h"
#include "common/iface_utils.h"
#include "common/unique_fd.h"
#include "kav/kav_daemon_iface.h"
#include "kav/kav_daemon_pool.h"
#include "kav/kav_scanner.h"
#include "ql/qlscan.h"
#include "settings/ini_loader.h"
#include "settings/value_table.h"
#include "standins/common/byte_source.h"
#include "standins/common/matcher.h"
#include "standins/common/signatures.h"

namespace {

// A scratch directory for the benchmarks' files, removed at exit.
class Scratch {
  public:
    Scratch() {
        char templ[] = "/tmp/ql_micro_XXXXXX";
        if (mkdtemp(templ) != nullptr) {
            dir_ = templ;
        }
    }
    ~Scratch() {
        if (dir_.empty()) {
            return;
        }
        for (const char *name : {"/interface.conf", "/plain.txt", "/root" QL_BD_CORE_LIBRARY}) {
            (void)unlink((dir_ + name).c_str());
        }
        for (const char *name :
             {"/root/opt/Quellar/lib", "/root/opt/Quellar", "/root/opt", "/root", ""}) {
            (void)rmdir((dir_ + name).c_str());
        }
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    std::string write(const char *name, const std::string &content) const {
        std::string path = dir_ + "/" + name;
        ql::UniqueFile file(std::fopen(path.c_str(), "we"));
        if (file) {
            std::fwrite(content.data(), 1, content.size(), file.get());
        }
        return path;
    }
    const std::string &dir() const { return dir_; }

  private:
    std::string dir_;
};

Scratch &scratch() {
    static Scratch instance;
    return instance;
}

void BM_SettingsLoad(benchmark::State &state) {
    std::string path = scratch().write("interface.conf",
                                       "; the interface daemon\n[postwicker]\n"
                                       "PostwickerSocket=/opt/Quellar/var/run/interface\n"
                                       "PostwickerPID=/opt/Quellar/var/run/interface.pid\n"
                                       "MaxInstances=20\nRequestTimeout=30\n");
    for (auto _ : state) {
        ValueTable *table = iniLoad(nullptr, path.c_str());
        benchmark::DoNotOptimize(tableGet(table, "postwicker:MaxInstances", nullptr));
        tableDelete(table);
    }
}
BENCHMARK(BM_SettingsLoad);

void BM_GetAbsolutePath(benchmark::State &state) {
    std::string file = scratch().write("plain.txt", "x");
    char out[QL_PATH_MAX];
    for (auto _ : state) {
        benchmark::DoNotOptimize(QL_GetAbsolutePath(file.c_str(), nullptr, out));
    }
}
BENCHMARK(BM_GetAbsolutePath);

void BM_GetAbsolutePathRelative(benchmark::State &state) {
    char out[QL_PATH_MAX];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            QL_GetAbsolutePath("mail/part/../part-0001.eml", "/var/spool", out));
    }
}
BENCHMARK(BM_GetAbsolutePathRelative);

// The lines the engine daemon sends for an infected file: a finding, then the final line.
const std::string &infectedReply() {
    static const std::string text = "322-EICAR-Test-File /\r\n230 Object is infected\r\n";
    return text;
}

// Lines served from memory, to time the reply loop and the callbacks alone.
class MemoryLines final : public ql::kav::LineReader {
  public:
    explicit MemoryLines(const std::string &text) : text_(text) {}
    int readLine(char *buf, unsigned limit, ql::kav::Clock::time_point) override {
        if (at_ >= text_.size()) {
            return 0;
        }
        std::size_t end = text_.find('\n', at_);
        std::size_t len = (end == std::string::npos ? text_.size() : end + 1) - at_;
        len = len < limit - 1 ? len : limit - 1;
        std::memcpy(buf, text_.data() + at_, len);
        buf[len] = '\0';
        at_ += len;
        return static_cast<int>(len);
    }

  private:
    const std::string &text_;
    std::size_t at_ = 0;
};

int countEvent(const char *, int32_t, int32_t, const char *, const char *, void *userData) {
    ++*static_cast<int *>(userData);
    return 0;
}

void BM_ReplyCallbacks(benchmark::State &state) {
    int events = 0;
    EventCallback callback{countEvent, &events};
    for (auto _ : state) {
        QuickReplyContext context{};
        context.events = &callback;
        MemoryLines lines(infectedReply());
        ql::kav::ReplyOutcome out = ql::kav::readReply(
            lines, QL_KAVQuickReturnMessage, const_cast<char *>("/tmp/mail/part"), &context);
        benchmark::DoNotOptimize(out.code);
    }
    state.counters["events"] = events;
}
BENCHMARK(BM_ReplyCallbacks);

// A reply written into one end of a socket pair and read back from the other, byte by byte
// (QL_readline) or through a connection's buffer.
template <bool kBuffered>
void replyOverSocket(benchmark::State &state) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    ql::UniqueFd writer(ends[0]);
    ql::kav::Connection connection{ql::UniqueFd(ends[1])};
    ql::kav::FdLineReader bare(connection.fd());
    ql::kav::LineReader &reader = kBuffered ? static_cast<ql::kav::LineReader &>(connection)
                                            : static_cast<ql::kav::LineReader &>(bare);
    int events = 0;
    EventCallback callback{countEvent, &events};
    const std::string &reply = infectedReply();
    for (auto _ : state) {
        if (write(writer.get(), reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
            state.SkipWithError("write");
            return;
        }
        QuickReplyContext context{};
        context.events = &callback;
        ql::kav::ReplyOutcome out = ql::kav::readReply(
            reader, QL_KAVQuickReturnMessage, const_cast<char *>("/tmp/mail/part"), &context);
        benchmark::DoNotOptimize(out.code);
    }
}

void BM_ReplyReadByteByByte(benchmark::State &state) {
    replyOverSocket<false>(state);
}
BENCHMARK(BM_ReplyReadByteByByte);

void BM_ReplyReadBuffered(benchmark::State &state) {
    replyOverSocket<true>(state);
}
BENCHMARK(BM_ReplyReadBuffered);

// A handle on the built stand-in core, set up once in a scratch installation root.
BDHandle *standInCore() {
    static BDHandle *handle = []() -> BDHandle * {
        const char *library = std::getenv("QL_BENCH_AVCORE");
        if (library == nullptr || *library == '\0' || scratch().dir().empty()) {
            return nullptr;
        }
        std::string root = scratch().dir() + "/root";
        for (const char *dir : {"", "/opt", "/opt/Quellar", "/opt/Quellar/lib"}) {
            (void)mkdir((root + dir).c_str(), 0700);
        }
        if (symlink(library, (root + QL_BD_CORE_LIBRARY).c_str()) != 0 && errno != EEXIST) {
            return nullptr;
        }
        setenv("QL_ROOT", root.c_str(), 1);
        char conf[QL_CONF_BLOCK_SIZE] = {};
        ql::copyBounded(conf, QL_VALUE_MAX, scratch().dir().c_str());
        ql::copyBounded(conf + QL_VALUE_MAX, QL_VALUE_MAX, scratch().dir().c_str());
        return QL_BDCreateHandle(conf);
    }();
    return handle;
}

void BM_BDSetOptions(benchmark::State &state) {
    BDHandle *handle = standInCore();
    if (handle == nullptr) {
        state.SkipWithError("set QL_BENCH_AVCORE to the built libavcore.so");
        return;
    }
    BDInstance instance{handle, nullptr};
    if (QL_BDNewInstance(&instance) != 0) {
        state.SkipWithError("no core instance");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            QL_BDSetOptions(&instance, 0x0001 | QL_OPT_LINK, QL_ACT_NONE, nullptr));
    }
    QL_BDDeleteInstance(&instance);
}
BENCHMARK(BM_BDSetOptions);

void BM_BDInstanceLifetime(benchmark::State &state) {
    BDHandle *handle = standInCore();
    if (handle == nullptr) {
        state.SkipWithError("set QL_BENCH_AVCORE to the built libavcore.so");
        return;
    }
    for (auto _ : state) {
        BDInstance instance{handle, nullptr};
        benchmark::DoNotOptimize(QL_BDCreateInstance(&instance, 0x0001, QL_ACT_NONE, nullptr));
        QL_BDDeleteInstance(&instance);
    }
}
BENCHMARK(BM_BDInstanceLifetime);

void BM_MatcherScan(benchmark::State &state) {
    ql::standin::SignatureSet signatures;
    ql::standin::Matcher matcher(signatures);
    std::string bytes(static_cast<std::size_t>(state.range(0)), 'a');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>('A' + i % 23);
    }
    ql::standin::MemorySource source(bytes);
    for (auto _ : state) {
        ql::standin::MatchResult result = matcher.scan(source);
        benchmark::DoNotOptimize(result.matches.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_MatcherScan)->Arg(1024)->Arg(100 * 1024);

}  // namespace

BENCHMARK_MAIN();
