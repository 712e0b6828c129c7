#!/usr/bin/env bash
# The main job: build, lay out a self-contained installation under ./run/root (QL_ROOT), start a
# stand-in engine and the interface daemon, scan files through the daemon's socket, stop.
#
#   ./run.sh [--engine kav|bd] [--serve] [FILE...]
#   ./run.sh --stop
#
# Without FILEs it scans two samples it writes: a clean text and the EICAR test file.
# --serve leaves the engine and the daemon running and prints how to scan and how to stop;
# --stop stops them.
# Exits 0 when every step worked (whatever the verdicts), non-zero with a message otherwise.
set -euo pipefail
QL_SOURCE_DIR=$(cd "$(dirname "$0")" && pwd)
cd "$QL_SOURCE_DIR"
. scripts/setup.sh

engine=kav
serve=0
stop_only=0
files=()
while [ $# -gt 0 ]; do
    case $1 in
    --engine)
        engine=${2:-}
        shift 2 || { echo "run.sh: --engine needs kav or bd" >&2; exit 2; }
        ;;
    --engine=*) engine=${1#--engine=}; shift ;;
    --serve) serve=1; shift ;;
    --stop) stop_only=1; shift ;;
    -h | --help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --) shift; files+=("$@"); break ;;
    -*) echo "run.sh: unknown option $1" >&2; exit 2 ;;
    *) files+=("$1"); shift ;;
    esac
done
case $engine in
kav) version=2 ;;
bd) version=3 ;;
*) echo "run.sh: --engine takes kav or bd, not '$engine'" >&2; exit 2 ;;
esac

fail() { echo "run.sh: $*" >&2; exit 1; }

root=$QL_SOURCE_DIR/run/root
export QL_ROOT=$root
stop_pidfile() {
    local pidfile=$1 what=$2 pid
    [ -f "$pidfile" ] || return 0
    pid=$(tr -dc '0-9' <"$pidfile")
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid"
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    fail "$what (pid $pid) did not stop within 10 seconds"
}
stop_all() {
    stop_pidfile "$root/opt/Quellar/var/run/interface.pid" "the interface daemon"
    stop_pidfile "$root/opt/Quellar/var/run/qornd.pid" "the engine daemon"
}
if [ "$stop_only" = 1 ]; then
    stop_all
    echo "Stopped."
    exit 0
fi

# Ninja's status lines, shortened to the file each step makes: "[12/55] daemon/instance.cpp".
# On a terminal they overwrite each other on one line.
show_progress() {
    local line step what end='\n'
    [ -t 1 ] && end='\r\033[K'
    while IFS= read -r line; do
        [[ $line =~ ^(\[[0-9]+/[0-9]+\])\ [A-Z][a-z]+\ .*\ ([^ ]+)$ ]] || continue
        step=${BASH_REMATCH[1]}
        what=${BASH_REMATCH[2]%.o}
        what=${what/CMakeFiles\/*.dir\//}
        printf "  %s %s$end" "$step" "$what"
    done
    [ -t 1 ] && printf '\n'
    return 0
}

ensure_build_tools
mkdir -p run
# Only the four programs this script runs; ./test.sh builds the rest into the same folder, with
# the same settings, so nothing is built twice.
: >run/build.log
configure_tree build -DQL_WERROR=ON 2>>run/build.log ||
    { tail -n 30 run/build.log >&2; fail "configuring build/ failed"; }
echo "Building interfaced, qlscan, qornd and libavcore.so into build/ (log: run/build.log) ..."
cmake --build build -j "$(nproc)" --target interfaced qlscan qornd avcore 2>&1 |
    tee -a run/build.log | show_progress ||
    { tail -n 30 run/build.log >&2; fail "the build failed"; }
for built in build/bin/interfaced build/bin/qlscan build/bin/qornd build/lib/libavcore.so; do
    [ -e "$built" ] || fail "$built was not built"
done

# A previous --serve may still be running in this root: stop it first.
stop_all
# Whatever ends this script early (a failure, Ctrl-C, a reader of its output gone) stops what it
# started; only --serve leaves the daemons running.
trap stop_all EXIT
trap 'exit 130' INT TERM

# The installation, as the packages would lay it out, under QL_ROOT.
rm -rf "$root"
make_install_root "$root" "$version" "$QL_SOURCE_DIR/build" <<'EOF'
# outcome	name	pattern (the EICAR test string is built in)
infected	Demo.Marker.A	text:QUELLAR-DEMO-INFECTED-MARKER
EOF
conf=$root/opt/Quellar/etc/qorn.conf
socket=$root/opt/Quellar/var/run/interface

if [ ${#files[@]} -eq 0 ]; then
    samples=$QL_SOURCE_DIR/run/samples
    mkdir -p "$samples"
    echo "An ordinary mail part: nothing to see here." >"$samples/clean.txt"
    # The test string is assembled here so that no file of the checkout carries it whole.
    printf '%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$' 'EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*' \
        >"$samples/eicar.com"
    files=("$samples/clean.txt" "$samples/eicar.com")
fi

if [ "$engine" = kav ]; then
    build/bin/qornd -c "$conf" || fail "the stand-in engine daemon did not start"
    echo "Started the stand-in engine daemon (KAV engine)."
else
    echo "Using the stand-in core library (BD engine)."
fi
build/bin/interfaced || {
    stop_all
    fail "the interface daemon did not start; its log says:" \
        "$(tail -n 5 "$root/var/Quellar/var/log/interface.log" 2>/dev/null)"
}
echo "Started the interface daemon on $socket."
echo

status=0
build/bin/qlscan --daemon --socket "$socket" "${files[@]}" || status=$?
echo

if [ "$serve" = 1 ]; then
    cat <<EOF
Both daemons keep running. To scan:
  QL_ROOT=$root $QL_SOURCE_DIR/build/bin/qlscan --daemon FILE...
Log: $root/var/Quellar/var/log/interface.log
To stop: $QL_SOURCE_DIR/run.sh --stop   (or kill the pids in $root/opt/Quellar/var/run/*.pid)
EOF
    trap - EXIT
    exit 0
fi
stop_all
echo "Stopped the interface daemon and the engine."
[ "$status" -le 1 ] || fail "the daemon could not answer every request"
exit 0
