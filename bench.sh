#!/usr/bin/env bash
# The benchmark: builds the project, lays out temporary installation roots (QL_ROOT), starts the
# reference server, the interface daemon with the stand-in engine daemon (KAV) and the interface
# daemon with the stand-in core library (BD), measures each at 1, 8 and 20 concurrent clients
# (interleaved, several repetitions, medians), measures the idle daemons, runs the
# micro-benchmarks, prints the table and stops everything it started.
#
#   ./bench.sh [--with-clamd] [--reps N] [--seconds S] [--no-micro] [--syscalls [N]]
#
# --with-clamd also measures the Debian clamav-daemon (installed with apt-get when missing; its
#   updater is kept from running), on a socket of its own with a one-signature database.
# --reps N      repetitions of every measurement (default 3); the table shows medians.
# --seconds S   length of one measurement (default 2); each is also bounded by a request count.
# --syscalls [N] instead of the timings: the system calls per request of each server (and of the
#   engine daemon behind the KAV daemon), counted by strace -c -f over N requests (default 2000)
#   at 8 clients.
# QL_BUILD_DIR  the build folder (default build).
set -euo pipefail
QL_SOURCE_DIR=$(cd "$(dirname "$0")" && pwd)
cd "$QL_SOURCE_DIR"
. scripts/setup.sh

with_clamd=0
reps=3
seconds=2
micro=1
syscalls=0
while [ $# -gt 0 ]; do
    case $1 in
    --with-clamd) with_clamd=1; shift ;;
    --reps) reps=${2:?--reps needs a number}; shift 2 ;;
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    --no-micro) micro=0; shift ;;
    --syscalls)
        syscalls=2000
        shift
        case ${1:-} in [0-9]*) syscalls=$1; shift ;; esac
        ;;
    -h | --help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
case $reps$seconds$syscalls in *[!0-9.]*) echo "bench.sh: --reps, --seconds and --syscalls take numbers" >&2; exit 2 ;; esac
max_requests=200000
concurrencies=(1 8 20)

fail() { echo "bench.sh: $*" >&2; exit 1; }

# ---- what the benchmark needs ----

install_clamd() {
    dpkg-query -W -f='${Status}' clamav-daemon 2>/dev/null | grep -q 'install ok installed' &&
        return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    # Tell the updater's package not to run as a daemon; no service starts during the install.
    echo "clamav-freshclam clamav-freshclam/autoupdate_freshclam select manual" |
        $sudo debconf-set-selections 2>/dev/null || true
    ensure_packages_no_start clamav-daemon
}

ensure_build_tools
ensure_packages libbenchmark-dev
[ "$syscalls" = 0 ] || ensure_packages strace
if [ "$with_clamd" = 1 ]; then
    install_clamd || fail "clamav-daemon could not be installed"
    command -v clamd >/dev/null || [ -x /usr/sbin/clamd ] || fail "clamd is not installed"
fi

build_dir=${QL_BUILD_DIR:-build}
mkdir -p "$build_dir"
echo "Building into $build_dir (log: $build_dir/bench-build.log) ..."
# Only what the benchmark runs: the tests are ./test.sh's to build.
build_bench() {
    [ -f "$build_dir/build.ninja" ] || cmake -S "$QL_SOURCE_DIR" -B "$build_dir" -G Ninja -DQL_WERROR=ON
    local wanted=(interfaced qornd avcore ql_load_generator ql_reference_server)
    grep -q 'ql_micro_bench' "$build_dir/build.ninja" || cmake "$build_dir"
    grep -q 'ql_micro_bench' "$build_dir/build.ninja" && wanted+=(ql_micro_bench)
    cmake --build "$build_dir" -j "$(nproc)" --target "${wanted[@]}"
}
build_bench >"$build_dir/bench-build.log" 2>&1 ||
    { tail -n 30 "$build_dir/bench-build.log" >&2; fail "the build failed"; }
bin=$QL_SOURCE_DIR/$build_dir/bin
lib=$QL_SOURCE_DIR/$build_dir/lib
for built in "$bin/interfaced" "$bin/qornd" "$lib/libavcore.so" "$bin/ql_load_generator" \
    "$bin/ql_reference_server"; do
    [ -e "$built" ] || fail "$built was not built"
done

# ---- the installation roots, samples and signatures ----

tmp=$(mktemp -d /tmp/ql_bench.XXXXXX)
started_pids=()
cleanup() {
    local pid
    for pid in "${started_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${started_pids[@]}"; do
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

pid_from() { tr -dc '0-9' <"$1" 2>/dev/null; }

wait_for_socket() {
    local path=$1 what=$2
    for _ in $(seq 100); do
        [ -S "$path" ] && return 0
        sleep 0.05
    done
    fail "$what did not create its socket $path"
}

samples=$tmp/samples
mkdir -p "$samples"
eicar() { printf '%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$' 'EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'; }
head -c 1024 /dev/zero | tr '\0' 'a' >"$samples/clean-1k.txt"
head -c 102400 /dev/zero | tr '\0' 'b' >"$samples/clean-100k.txt"
eicar >"$samples/eicar.com"
{ head -c 500 /dev/zero | tr '\0' 'c'; eicar; head -c 456 /dev/zero | tr '\0' 'd'; } \
    >"$samples/mixed-1k.txt"
files=(--clean "$samples/clean-1k.txt" --clean "$samples/clean-100k.txt"
    --infected "$samples/eicar.com" --infected "$samples/mixed-1k.txt")

signatures=$tmp/signatures.txt
cat >"$signatures" <<'EOF'
# outcome	name	pattern (the EICAR test string is built in)
infected	Bench.Marker.A	text:QUELLAR-BENCH-INFECTED-MARKER-A
infected	Bench.Marker.B	text:QUELLAR-BENCH-INFECTED-MARKER-B
suspicious	Bench.Suspect	text:QUELLAR-BENCH-SUSPICIOUS-MARKER
EOF

# ---- start everything ----

declare -A sockets protocols pids
targets=(ref kav bd)

"$bin/ql_reference_server" --socket "$tmp/ref.sock" --threads 20 --signatures "$signatures" &
started_pids+=($!)
pids[ref]=$!
wait_for_socket "$tmp/ref.sock" "the reference server"
sockets[ref]=$tmp/ref.sock

make_install_root "$tmp/kav" 2 "$QL_SOURCE_DIR/$build_dir" <"$signatures"
QL_ROOT=$tmp/kav "$bin/qornd" -c "$tmp/kav/opt/Quellar/etc/qorn.conf" ||
    fail "the stand-in engine daemon did not start"
pids[qornd]=$(pid_from "$tmp/kav/opt/Quellar/var/run/qornd.pid")
started_pids+=("${pids[qornd]}")

for engine in kav bd; do
    [ "$engine" = bd ] && make_install_root "$tmp/bd" 3 "$QL_SOURCE_DIR/$build_dir" <"$signatures"
    QL_ROOT=$tmp/$engine "$bin/interfaced" ||
        fail "the interface daemon ($engine) did not start: $(tail -n 3 \
            "$tmp/$engine/var/Quellar/var/log/interface.log" 2>/dev/null)"
    pids[$engine]=$(pid_from "$tmp/$engine/opt/Quellar/var/run/interface.pid")
    started_pids+=("${pids[$engine]}")
    sockets[$engine]=$tmp/$engine/opt/Quellar/var/run/interface
    wait_for_socket "${sockets[$engine]}" "the interface daemon ($engine)"
done

if [ "$with_clamd" = 1 ]; then
    clamd_bin=$(command -v clamd || echo /usr/sbin/clamd)
    mkdir -p "$tmp/clamd/db"
    # One signature: the EICAR test string, as hex in an extended signature file.
    echo "EICAR-Test-File:0:*:$(eicar | od -An -v -tx1 | tr -d ' \n')" >"$tmp/clamd/db/bench.ndb"
    cat >"$tmp/clamd/clamd.conf" <<EOF
LocalSocket $tmp/clamd/clamd.sock
DatabaseDirectory $tmp/clamd/db
TemporaryDirectory $tmp/bd/var/Quellar/var/tmp
PidFile $tmp/clamd/clamd.pid
LogFile $tmp/clamd/clamd.log
Foreground yes
MaxThreads 20
MaxConnectionQueueLength 40
EOF
    "$clamd_bin" -c "$tmp/clamd/clamd.conf" >"$tmp/clamd/stdout.log" 2>&1 &
    started_pids+=($!)
    for _ in $(seq 300); do
        [ -S "$tmp/clamd/clamd.sock" ] && break
        sleep 0.1
    done
    [ -S "$tmp/clamd/clamd.sock" ] ||
        fail "clamd did not start: $(tail -n 5 "$tmp/clamd/clamd.log" "$tmp/clamd/stdout.log")"
    sockets[clamd]=$tmp/clamd/clamd.sock
    protocols[clamd]=zscan
    targets+=(clamd)
fi

# ---- system calls per request ----

# syscall_counts TARGET PID...: strace -c -f attached to each PID while N requests go to TARGET;
# prints "PID CALL COUNT" lines.
syscall_counts() {
    local target=$1 pid tracers=()
    shift
    # Warm: the KAV daemon's connections to the engine daemon are open before counting.
    "$bin/ql_load_generator" --socket "${sockets[$target]}" --clients 8 --requests 200 \
        --seconds 10 "${files[@]}" >/dev/null 2>>"$tmp/loadgen.err" || true
    for pid in "$@"; do
        strace -c -f -p "$pid" -o "$tmp/strace.$pid" 2>/dev/null &
        tracers+=($!)
    done
    sleep 1 # attached to every thread
    "$bin/ql_load_generator" --socket "${sockets[$target]}" --clients 8 --requests "$syscalls" \
        --seconds 600 "${files[@]}" >"$tmp/syscalls.$target" 2>>"$tmp/loadgen.err" ||
        fail "the load generator failed against $target"
    sleep 0.5
    kill -INT "${tracers[@]}" 2>/dev/null || true
    wait "${tracers[@]}" 2>/dev/null || true
    for pid in "$@"; do
        awk -v p="$pid" '$1 ~ /^[0-9.]+$/ && $NF != "total" { print p, $NF, $4 }' "$tmp/strace.$pid"
    done
}

if [ "$syscalls" != 0 ]; then
    echo "Counting system calls over $syscalls requests at 8 clients (strace -c -f) ..."
    counts=$tmp/counts.txt
    : >"$counts"
    for target in ref bd kav; do
        case $target in
        kav) syscall_counts kav "${pids[kav]}" "${pids[qornd]}" >>"$counts" ;;
        *) syscall_counts "$target" "${pids[$target]}" >>"$counts" ;;
        esac
        grep -q 'errors=0 mismatches=0' "$tmp/syscalls.$target" ||
            fail "$target answered wrongly: $(cat "$tmp/syscalls.$target")"
    done
    echo
    echo "System calls per request (${syscalls} requests, 8 clients, the four sample files in turn):"
    awk -v n="$syscalls" -v ref="${pids[ref]}" -v bd="${pids[bd]}" -v kav="${pids[kav]}" '
        { col = $1 == ref ? 1 : $1 == bd ? 2 : $1 == kav ? 3 : 4; v[$2, col] = $3 / n
          total[col] += $3 / n; names[$2] = 1 }
        END { for (c in names) { line = sprintf("%-18s", c); sum = 0
                  for (i = 1; i <= 4; i++) { line = line sprintf(" %9.2f", v[c, i]); sum += v[c, i] }
                  if (sum >= 0.005) print sum, line }
              line = sprintf("%-18s", "total")
              for (i = 1; i <= 4; i++) line = line sprintf(" %9.2f", total[i])
              print -1, line }' "$counts" | sort -k1,1gr | cut -d' ' -f2- |
        { printf '%-18s %9s %9s %9s %9s\n' call reference bd kav qornd; cat; }
    exit 0
fi

# ---- load: interleaved, repeated ----

results=$tmp/results.txt
: >"$results"
measure() {
    local target=$1 clients=$2 secs=$3 line
    line=$("$bin/ql_load_generator" --socket "${sockets[$target]}" \
        --protocol "${protocols[$target]:-line}" --clients "$clients" \
        --requests "$max_requests" --seconds "$secs" "${files[@]}" 2>>"$tmp/loadgen.err" || true)
    echo "$line"
}

echo "Warming up ..."
for target in "${targets[@]}"; do
    measure "$target" 8 0.3 >/dev/null
done
echo "Measuring ${targets[*]} at ${concurrencies[*]} clients, $reps x ${seconds}s each ..."
for rep in $(seq "$reps"); do
    for clients in "${concurrencies[@]}"; do
        for target in "${targets[@]}"; do
            echo "$target $clients $rep $(measure "$target" "$clients" "$seconds")" >>"$results"
        done
    done
done

# ---- idle cost ----

echo "Measuring the idle daemons for 10 s ..."
declare -A idle_cpu idle_rss
ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
declare -A before
for engine in kav bd; do
    pid=$(pid_from "$tmp/$engine/opt/Quellar/var/run/interface.pid")
    before[$engine]=$(cpu_ticks "$pid")
done
sleep 10
for engine in kav bd; do
    pid=$(pid_from "$tmp/$engine/opt/Quellar/var/run/interface.pid")
    idle_cpu[$engine]=$(awk -v a="${before[$engine]}" -v b="$(cpu_ticks "$pid")" -v t="$ticks" \
        'BEGIN { printf "%.2f", (b - a) / t / 10 * 100 }')
    idle_rss[$engine]=$(awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$pid/status")
done

# ---- the table ----

# field NAME LINE: the value of NAME=... in a load generator line.
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
values() { # values TARGET CLIENTS FIELD
    awk -v t="$1" -v c="$2" -v f="$3" '$1 == t && $2 == c {
        for (i = 4; i <= NF; i++) { split($i, kv, "="); if (kv[1] == f) print kv[2] } }' "$results"
}
ratios() { # ratios TARGET CLIENTS FIELD: per repetition, TARGET's value over the reference's
    awk -v t="$1" -v c="$2" -v f="$3" '$2 == c && ($1 == t || $1 == "ref") {
        for (i = 4; i <= NF; i++) { split($i, kv, "="); if (kv[1] == f) v[$1, $3] = kv[2] } }
        END { for (k in v) { split(k, p, SUBSEP); if (p[1] == t && v["ref", p[2]] > 0)
              print v[k] / v["ref", p[2]] } }' "$results"
}
sum() { awk '{ s += $1 } END { print s + 0 }'; }

echo
echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)," \
    "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo);" \
    "load average before the idle phase: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Medians of $reps repetitions of ${seconds}s; ratios are to the reference server in the same repetition."
printf '%-6s %7s %10s %9s %9s %9s %7s %8s %9s %9s\n' target clients req/s p50_ms p99_ms max_ms \
    errors mismatch x_ref_rps x_ref_p50
declare -A ratio_rps ratio_p50
for clients in "${concurrencies[@]}"; do
    for target in "${targets[@]}"; do
        rps=$(values "$target" "$clients" rps | median)
        p50=$(values "$target" "$clients" p50_ms | median)
        p99=$(values "$target" "$clients" p99_ms | median)
        max=$(values "$target" "$clients" max_ms | median)
        errors=$(values "$target" "$clients" errors | sum)
        mismatches=$(values "$target" "$clients" mismatches | sum)
        ratio_rps[$target,$clients]=$(ratios "$target" "$clients" rps | median)
        ratio_p50[$target,$clients]=$(ratios "$target" "$clients" p50_ms | median)
        printf '%-6s %7s %10.0f %9.3f %9.3f %9.3f %7s %8s %9.2f %9.2f\n' "$target" "$clients" \
            "$rps" "$p50" "$p99" "$max" "$errors" "$mismatches" "${ratio_rps[$target,$clients]}" \
            "${ratio_p50[$target,$clients]}"
    done
done
echo
for engine in kav bd; do
    echo "idle $engine daemon (20 instances): ${idle_cpu[$engine]}% of one core over 10 s," \
        "${idle_rss[$engine]} MiB resident"
done

echo
echo "Targets:"
verdict() { awk -v v="$1" -v op="$2" -v l="$3" 'BEGIN { ok = op == ">=" ? v >= l : v <= l;
    print ok ? "holds" : "MISSED" }'; }
declare -A floor=([bd,8]=0.55 [bd,20]=0.50 [kav,8]=0.40 [kav,20]=0.35) p50_limit=([bd]=2 [kav]=3)
for clients in 8 20; do
    for engine in bd kav; do
        echo "  $engine at $clients clients >= ${floor[$engine,$clients]} x reference req/s:" \
            "${ratio_rps[$engine,$clients]} $(verdict "${ratio_rps[$engine,$clients]}" ">=" \
            "${floor[$engine,$clients]}")"
    done
done
for engine in bd kav; do
    echo "  $engine at 1 client p50 <= ${p50_limit[$engine]} x reference: ${ratio_p50[$engine,1]}" \
        "$(verdict "${ratio_p50[$engine,1]}" "<=" "${p50_limit[$engine]}")"
done
for engine in kav bd; do
    echo "  idle $engine: < 1% of a core: ${idle_cpu[$engine]}% $(verdict "${idle_cpu[$engine]}" "<=" 0.99)," \
        "< 16 MiB: ${idle_rss[$engine]} MiB $(verdict "${idle_rss[$engine]}" "<=" 15.99)"
done
if [ -s "$tmp/loadgen.err" ]; then
    echo
    echo "Load generator messages (first 5):"
    head -n 5 "$tmp/loadgen.err"
fi

if [ "$micro" = 1 ] && [ -x "$bin/ql_micro_bench" ]; then
    echo
    echo "Micro-benchmarks:"
    QL_BENCH_AVCORE=$lib/libavcore.so "$bin/ql_micro_bench" --benchmark_min_time=0.1 2>&1 |
        grep -v '^\*\*\*'
fi
