#!/usr/bin/env bash
# Build the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and run each
# for a bounded time from its committed seed corpus. Fails on any crash, leak, sanitizer report
# or broken check; the input that caused it is left in build-fuzz/artifacts/<target>/.
#   scripts/fuzz.sh            30 seconds per target
#   scripts/fuzz.sh 60         60 seconds per target
#   QL_FUZZ_TARGETS="conf bd_mem" scripts/fuzz.sh 10   only these targets
set -euo pipefail
QL_SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
cd "$QL_SOURCE_DIR"
. scripts/setup.sh

seconds=${1:-30}
build_dir=${QL_FUZZ_BUILD_DIR:-build-fuzz}
targets=${QL_FUZZ_TARGETS:-"settings conf abspath kav_reply daemon_info extra_data daemon_request bd_mem mime"}

# Inputs longer than a parser can ever take in one piece only slow the search.
max_len() {
    case $1 in
        abspath | daemon_request) echo 1200 ;;
        daemon_info | extra_data) echo 2100 ;;
        bd_mem) echo 512 ;;
        *) echo 4096 ;;
    esac
}

ensure_build_tools
ensure_packages clang libclang-rt-dev
if [ ! -f "$build_dir/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$QL_SOURCE_DIR" -B "$build_dir" -G Ninja -DQL_FUZZ=ON \
        -DQL_SANITIZE=address,undefined -DQL_TESTS=OFF >/dev/null
fi
cmake --build "$build_dir" -j "$(nproc)" --target fuzz_all

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for name in $targets; do
    work="$build_dir/corpus/$name"
    artifacts="$build_dir/artifacts/$name"
    log="$build_dir/fuzz_$name.log"
    mkdir -p "$work" "$artifacts"
    echo "fuzz_$name: ${seconds}s"
    # New inputs go to the build's own corpus; the committed seeds are only read.
    if "$build_dir/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len="$(max_len "$name")" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" "fuzz/corpus/$name" >"$log" 2>&1 &&
        ! grep -qE 'ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|runtime error:' "$log"; then
        grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$log" | tail -1 || true
    else
        failed+=("$name")
        tail -n 40 "$log"
    fi
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: failed: ${failed[*]} (logs in $build_dir/fuzz_<name>.log)" >&2
    exit 1
fi
echo "fuzz: all targets passed"
