// Closed-loop load generator for the daemon's client protocol (and for a peer's "zSCAN"): N
// client threads, each connecting, sending one path, reading the reply until the peer closes,
// and checking the reply against what its file must give. Bounded by a request count and by
// time; prints one line of key=value pairs for bench.sh.
//
//   ql_load_generator --socket PATH [--protocol line|zscan] [--clients N] [--requests N]
//                     [--seconds S] [--timeout-ms MS] [--name INFECTION]
//                     --clean FILE ... --infected FILE ...
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "support/socket_io.h"

namespace {

using Clock = std::chrono::steady_clock;
using ql::support::sendAll;

enum class Protocol { Line, Zscan };

struct Sample {
    std::string path;
    bool infected = false;
};

struct Options {
    std::string socketPath;
    Protocol protocol = Protocol::Line;
    int clients = 1;
    long requests = 100000;
    double seconds = 2.0;
    int timeoutMs = 10000;
    std::string name = "EICAR-Test-File";
    std::vector<Sample> samples;
};

struct ClientTally {
    std::vector<std::uint32_t> latenciesUs;
    long errors = 0;
    long mismatches = 0;
};

[[noreturn]] void usage(const char *why) {
    std::fprintf(stderr,
                 "ql_load_generator: %s\nusage: ql_load_generator --socket PATH "
                 "[--protocol line|zscan] [--clients N] [--requests N] [--seconds S] "
                 "[--timeout-ms MS] [--name INFECTION] --clean FILE... --infected FILE...\n",
                 why);
    std::exit(2);
}

Options parseOptions(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (i + 1 >= argc) {
            usage("an option lacks its value");
        }
        const char *value = argv[++i];
        if (arg == "--socket") {
            options.socketPath = value;
        } else if (arg == "--protocol") {
            options.protocol =
                std::string_view(value) == "zscan" ? Protocol::Zscan : Protocol::Line;
        } else if (arg == "--clients") {
            options.clients = std::max(1, std::atoi(value));
        } else if (arg == "--requests") {
            options.requests = std::max(1L, std::atol(value));
        } else if (arg == "--seconds") {
            options.seconds = std::max(0.1, std::atof(value));
        } else if (arg == "--timeout-ms") {
            options.timeoutMs = std::max(1, std::atoi(value));
        } else if (arg == "--name") {
            options.name = value;
        } else if (arg == "--clean" || arg == "--infected") {
            options.samples.push_back({value, arg == "--infected"});
        } else {
            usage("unknown option");
        }
    }
    if (options.socketPath.empty() || options.samples.empty()) {
        usage("--socket and at least one file are needed");
    }
    if (options.socketPath.size() >= sizeof(sockaddr_un{}.sun_path)) {
        usage("the socket path is too long");
    }
    return options;
}

ql::UniqueFd connectTo(const std::string &socketPath) {
    ql::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return fd;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        fd.reset();
    }
    return fd;
}

// Read until the peer closes, each wait bounded by the deadline. False on error or timeout.
bool readToClose(int fd, Clock::time_point deadline, std::string &reply) {
    reply.clear();
    char chunk[512];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd waiting{fd, POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        reply.append(chunk, static_cast<std::size_t>(n));
        if (reply.size() > 4096) {
            return false;
        }
    }
}

// The request and the one reply each sample must get, built once.
struct Exchange {
    std::string request;
    std::string expected;  // exact reply; for zscan findings the text before the name
    bool infected = false;
};

std::vector<Exchange> exchangesFor(const Options &options) {
    std::vector<Exchange> all;
    for (const Sample &sample : options.samples) {
        Exchange e;
        e.infected = sample.infected;
        if (options.protocol == Protocol::Line) {
            e.request = sample.path + "\n";
            e.expected = sample.infected ? "1 " + options.name + "\n" : "0\n";
        } else {
            e.request = "zSCAN " + sample.path + std::string(1, '\0');
            e.expected = sample.infected ? sample.path + ": " : sample.path + ": OK" + '\0';
        }
        all.push_back(std::move(e));
    }
    return all;
}

// A zscan finding: "<path>: <name>[.<suffix>] FOUND\0"; the peer may decorate the name.
bool matchesZscanFinding(const Exchange &e, const std::string &reply, const std::string &name) {
    const std::string tail = std::string(" FOUND") + '\0';
    return reply.size() > e.expected.size() + tail.size() &&
           reply.compare(0, e.expected.size(), e.expected) == 0 &&
           reply.compare(reply.size() - tail.size(), tail.size(), tail) == 0 &&
           reply.compare(e.expected.size(), name.size(), name) == 0;
}

bool replyMatches(const Options &options, const Exchange &e, const std::string &reply) {
    if (options.protocol == Protocol::Zscan && e.infected) {
        return matchesZscanFinding(e, reply, options.name);
    }
    return reply == e.expected;
}

void runClient(const Options &options, const std::vector<Exchange> &exchanges, int client,
               std::atomic<long> &issued, Clock::time_point stopAt, ClientTally &tally) {
    std::string reply;
    reply.reserve(4096);
    for (std::size_t turn = static_cast<std::size_t>(client);; ++turn) {
        if (Clock::now() >= stopAt || issued.fetch_add(1) >= options.requests) {
            return;
        }
        const Exchange &e = exchanges[turn % exchanges.size()];
        Clock::time_point start = Clock::now();
        ql::UniqueFd fd = connectTo(options.socketPath);
        bool ok =
            fd && sendAll(fd.get(), e.request) &&
            readToClose(fd.get(), start + std::chrono::milliseconds(options.timeoutMs), reply);
        auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        if (!ok) {
            ++tally.errors;
            continue;
        }
        tally.latenciesUs.push_back(static_cast<std::uint32_t>(took.count()));
        if (!replyMatches(options, e, reply)) {
            if (++tally.mismatches == 1) {
                std::fprintf(stderr, "ql_load_generator: unexpected reply to %s: '%.*s'\n",
                             e.request.c_str(),
                             static_cast<int>(std::min<std::size_t>(reply.size(), 200)),
                             reply.c_str());
            }
        }
    }
}

double percentileMs(const std::vector<std::uint32_t> &sorted, double fraction) {
    if (sorted.empty()) {
        return 0.0;
    }
    auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)] / 1000.0;
}

}  // namespace

int main(int argc, char **argv) {
    Options options = parseOptions(argc, argv);
    std::vector<Exchange> exchanges = exchangesFor(options);
    std::vector<ClientTally> tallies(static_cast<std::size_t>(options.clients));
    for (ClientTally &tally : tallies) {
        tally.latenciesUs.reserve(static_cast<std::size_t>(
            std::min<long>(options.requests, 1 << 20) / options.clients + 1));
    }
    std::atomic<long> issued{0};
    Clock::time_point start = Clock::now();
    Clock::time_point stopAt = start + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(options.seconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < options.clients; ++c) {
        threads.emplace_back(runClient, std::cref(options), std::cref(exchanges), c,
                             std::ref(issued), stopAt,
                             std::ref(tallies[static_cast<std::size_t>(c)]));
    }
    for (std::thread &t : threads) {
        t.join();
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<std::uint32_t> all;
    long errors = 0;
    long mismatches = 0;
    for (const ClientTally &tally : tallies) {
        all.insert(all.end(), tally.latenciesUs.begin(), tally.latenciesUs.end());
        errors += tally.errors;
        mismatches += tally.mismatches;
    }
    std::sort(all.begin(), all.end());
    std::printf(
        "requests=%zu rps=%.1f p50_ms=%.3f p99_ms=%.3f max_ms=%.3f errors=%ld "
        "mismatches=%ld seconds=%.2f\n",
        all.size(), static_cast<double>(all.size()) / elapsed, percentileMs(all, 0.50),
        percentileMs(all, 0.99), all.empty() ? 0.0 : all.back() / 1000.0, errors, mismatches,
        elapsed);
    return errors == 0 && mismatches == 0 ? 0 : 1;
}
