#!/usr/bin/env bash
# The installation as packaged: install into a staging DESTDIR and check the layout (and that an
# existing interface.conf survives); install the stand-ins and make each the installed engine with
# quellar-standin, then run the installed qlscan --check-config, the C example (built through
# pkg-config against the staged library) and the interface daemon started by hand in the staged
# root; render the manual pages and check that they list every error text of the library; verify
# the systemd units; build the Debian packages, check their contents and (with lintian installed,
# on a native build) that lintian finds no error or warning; install them into a dpkg root of
# their own and purge them again.
#
#   packaging_test.sh SOURCE_DIR BUILD_DIR C_COMPILER [C_FLAGS [EMULATOR]]
# EMULATOR runs the built programs when this machine cannot (the 32-bit build).
set -euo pipefail
source_dir=$1
build_dir=$2
cc=$3
cflags=${4:-}
emulator=${5:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/ql-packaging.XXXXXX")
stage=$work/stage
stop_pidfile() {
    local pid
    pid=$(tr -dc '0-9' 2>/dev/null <"$1" || true)
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}
stop_daemons() {
    stop_pidfile "$stage/opt/Quellar/var/run/interface.pid"
    stop_pidfile "$stage/opt/Quellar/var/run/qornd.pid"
}
trap 'stop_daemons; rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
expect_file() { [ -f "$stage$1" ] || fail "$1 is not installed"; }
expect_dir() { [ -d "$stage$1" ] || fail "folder $1 is not installed"; }
expect_in() { grep -qF -- "$2" <<<"$1" || fail "$3: no '$2'"; }
built() { ${emulator:+"$emulator"} "$@"; }
in_stage() { QL_ROOT=$stage "$@"; }

# --- Install into the staging root ------------------------------------------------------------
DESTDIR=$stage cmake --install "$build_dir" >"$work/install.log"
for file in /opt/Quellar/sbin/interfaced /opt/Quellar/bin/qlscan; do
    [ -x "$stage$file" ] || fail "$file is not an installed program"
done
for file in /opt/Quellar/lib/libqlscan.so.1 /opt/Quellar/include/ql/qlscan.h \
    /opt/Quellar/lib/pkgconfig/qlscan.pc /opt/Quellar/etc/postwick/interface.conf \
    /lib/systemd/system/interfaced.service /usr/lib/tmpfiles.d/interfaced.conf \
    /etc/logrotate.d/interfaced /usr/share/man/man1/qlscan.1.gz \
    /usr/share/man/man5/interface.conf.5.gz /usr/share/man/man8/interfaced.8.gz \
    /usr/share/doc/quellar/copyright /usr/share/doc/quellar/changelog.gz; do
    expect_file "$file"
done
for dir in /opt/Quellar/var/run /var/Quellar/var/log /var/Quellar/var/tmp \
    /var/Quellar/var/quarantine/kestra; do
    expect_dir "$dir"
done
for standin in /opt/Quellar/sbin/qornd /opt/Quellar/lib/libavcore.so \
    /opt/Quellar/sbin/quellar-standin; do
    [ ! -e "$stage$standin" ] || fail "$standin is installed without being asked for"
done

conf=$stage/opt/Quellar/etc/postwick/interface.conf
printf '[postwicker]\nMaxInstances=12\nRequestTimeout=5\n' >"$conf"
DESTDIR=$stage cmake --install "$build_dir" >"$work/install.log"
grep -q 'MaxInstances=12' "$conf" || fail "a second install replaced interface.conf"

DESTDIR=$stage cmake --install "$build_dir" --component standins >"$work/install.log"
for file in /opt/Quellar/sbin/qornd /opt/Quellar/sbin/quellar-standin; do
    [ -x "$stage$file" ] || fail "the stand-ins component does not install $file"
done
expect_file /opt/Quellar/lib/libavcore.so
expect_file /lib/systemd/system/qornd.service

# --- Trying the package: quellar-standin makes a stand-in the installed engine -----------------
engine_conf=$stage/opt/Quellar/etc/qorn.conf
echo "[path]" >"$engine_conf"
status=0
out=$(in_stage "$stage/opt/Quellar/sbin/quellar-standin" bd 2>&1) || status=$?
[ "$status" = 1 ] && [ "$(cat "$engine_conf")" = "[path]" ] ||
    fail "quellar-standin replaced another engine's configuration: $status $out"
expect_in "$out" "was not written by quellar-standin" "quellar-standin refusal"
out=$(in_stage "$stage/opt/Quellar/sbin/quellar-standin" bd --force 2>&1) ||
    fail "quellar-standin bd --force: $out"
[ "$(cat "$stage/opt/Quellar/etc/qorn-ver")" = 3 ] || fail "quellar-standin bd: qorn-ver is not 3"

check=$(in_stage built "$stage/opt/Quellar/bin/qlscan" --check-config) ||
    fail "qlscan --check-config finds the staged installation broken: $check"
expect_in "$check" "instances            12" "qlscan --check-config"
expect_in "$check" "engine opens         yes" "qlscan --check-config"

export PKG_CONFIG_PATH=$stage/opt/Quellar/lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=$stage
# shellcheck disable=SC2046,SC2086
"$cc" $cflags -std=c11 -Wall -Wextra -Werror -o "$work/quickscan" \
    "$source_dir/examples/quickscan.c" $(pkg-config --cflags --libs qlscan)
echo "an ordinary mail part" >"$work/clean.txt"
printf '%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$' 'EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*' \
    >"$work/eicar.com"
run_example() {
    LD_LIBRARY_PATH=$stage/opt/Quellar/lib in_stage built "$work/quickscan" "$1" "$engine_conf"
}
status=0
out=$(run_example "$work/clean.txt") || status=$?
[ "$status" = 0 ] && [ "$out" = "$work/clean.txt: clean" ] || fail "quickscan clean: $status $out"
status=0
out=$(run_example "$work/eicar.com") || status=$?
[ "$status" = 1 ] && [ "$out" = "$work/eicar.com: infected: EICAR-Test-File" ] ||
    fail "quickscan EICAR: $status $out"

# The interface daemon, started by hand, answers at once with each stand-in.
ask_daemon() {
    local engine=$1 out
    in_stage built "$stage/opt/Quellar/sbin/interfaced" || {
        fail "interfaced does not start with the $engine stand-in"
        return
    }
    out=$(in_stage built "$stage/opt/Quellar/bin/qlscan" --daemon --timeout 20 \
        "$work/clean.txt" "$work/eicar.com" 2>&1 || true)
    expect_in "$out" "$work/clean.txt: OK" "interfaced with the $engine stand-in"
    expect_in "$out" "$work/eicar.com: EICAR-Test-File" "interfaced with the $engine stand-in"
    stop_pidfile "$stage/opt/Quellar/var/run/interface.pid"
}
ask_daemon bd
# The engine daemon is started by the script itself, which no emulator runs.
if [ -z "$emulator" ]; then
    out=$(in_stage "$stage/opt/Quellar/sbin/quellar-standin" kav 2>&1) ||
        fail "quellar-standin kav: $out"
    expect_in "$out" "Started the stand-in engine daemon" "quellar-standin kav"
    ask_daemon kav
    out=$(in_stage "$stage/opt/Quellar/sbin/quellar-standin" bd 2>&1) ||
        fail "quellar-standin bd after kav: $out"
    pid=$(tr -dc '0-9' 2>/dev/null <"$stage/opt/Quellar/var/run/qornd.pid" || true)
    [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null ||
        fail "quellar-standin bd leaves the engine daemon running"
fi
stop_daemons

# --- Manual pages -----------------------------------------------------------------------------
render() {
    LC_ALL=C.UTF-8 MANWIDTH=80 man -l --warnings=w "$stage/usr/share/man/$1" 2>"$work/man.err"
    [ ! -s "$work/man.err" ] || fail "$1 renders with warnings: $(cat "$work/man.err")"
}
page=$(render man8/interfaced.8.gz)
for section in SYNOPSIS PROTOCOL "ERROR TEXTS" SIGNALS FILES LOG "EXIT STATUS" SIGHUP \
    TagErrorReplies; do
    expect_in "$page" "$section" "interfaced(8)"
done
# Every text of the library's table and every fixed text of the daemon and the core scans.
texts=$(sed -n '/kMessages\[\] = {/,/};/p' "$source_dir/common/iface_utils.cpp" |
    grep -o '"[^"]*"' | tr -d '"')
[ -n "$texts" ] || fail "no message table found in common/iface_utils.cpp"
while IFS= read -r text; do
    expect_in "$page" "$text" "interfaced(8) error texts"
done <<<"$texts"
for text in "Scan error" "Scan stopped" "Scan request failed" "Connection timed out" \
    "No such file or directory"; do
    expect_in "$page" "$text" "interfaced(8) error texts"
done
page=$(render man1/qlscan.1.gz)
for text in --check-config --ping "EXIT STATUS"; do expect_in "$page" "$text" "qlscan(1)"; done
page=$(render man5/interface.conf.5.gz)
for key in PostwickerSocket PostwickerPID MaxInstances RequestTimeout PostwickerSocketMode \
    PostwickerSocketGroup TagErrorReplies; do
    expect_in "$page" "$key" "interface.conf(5)"
done
page=$(render man8/quellar-standin.8.gz)
expect_in "$page" "--force" "quellar-standin(8)"

# --- The systemd units (their paths moved into the staging root, their pages found there) -----
if command -v systemd-analyze >/dev/null; then
    for unit in interfaced qornd; do
        sed "s|/opt/Quellar|$stage/opt/Quellar|g" "$stage/lib/systemd/system/$unit.service" \
            >"$work/$unit.service"
    done
    verdict=$(MANPATH=$stage/usr/share/man systemd-analyze verify "$work/interfaced.service" \
        "$work/qornd.service" 2>&1) || fail "systemd-analyze verify: $verdict"
    [ -z "$verdict" ] || fail "systemd-analyze verify: $verdict"
fi

# --- The Debian packages ----------------------------------------------------------------------
cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" ||
    fail "cpack -G DEB: $(tail -n 5 "$work/cpack.log")"
deb=$(compgen -G "$work/package/quellar_1.0.0_*.deb" || echo "$work/package/quellar_1.0.0.deb")
standins_deb=${deb/quellar_/quellar-standins_}
for package in "$deb" "$standins_deb" "${deb/quellar_/quellar-dbgsym_}"; do
    [ -f "$package" ] || [ -f "${package%.deb}.ddeb" ] || fail "$(basename "$package") was not built"
done
if [ -f "$deb" ] && [ -f "$standins_deb" ]; then
    contents=$(dpkg-deb -c "$deb")
    for file in ./opt/Quellar/sbin/interfaced ./opt/Quellar/bin/qlscan \
        ./opt/Quellar/lib/libqlscan.so.1.0.0 ./opt/Quellar/include/ql/qlscan.h \
        ./opt/Quellar/lib/pkgconfig/qlscan.pc ./opt/Quellar/etc/postwick/interface.conf \
        ./lib/systemd/system/interfaced.service ./usr/lib/tmpfiles.d/interfaced.conf \
        ./etc/logrotate.d/interfaced ./usr/share/man/man8/interfaced.8.gz \
        ./usr/share/doc/quellar/copyright ./var/Quellar/var/log/ ./opt/Quellar/var/run/; do
        expect_in "$contents" " $file" "dpkg-deb -c quellar"
    done
    ! grep -q 'qornd\|libavcore\|quellar-standin' <<<"$contents" ||
        fail "the quellar package holds the stand-ins"
    contents=$(dpkg-deb -c "$standins_deb")
    for file in ./opt/Quellar/sbin/qornd ./opt/Quellar/lib/libavcore.so \
        ./opt/Quellar/sbin/quellar-standin ./lib/systemd/system/qornd.service; do
        expect_in "$contents" " $file" "dpkg-deb -c quellar-standins"
    done
    conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)
    expect_in "$conffiles" "/opt/Quellar/etc/postwick/interface.conf" "conffiles"
    expect_in "$conffiles" "/etc/logrotate.d/interfaced" "conffiles"
    expect_in "$(dpkg-deb -f "$deb" Version Maintainer)" "Version: 1.0.0" "control"
    ! grep -q 'localhost' <<<"$(dpkg-deb -f "$deb" Maintainer)" || fail "maintainer on localhost"

    # Lintian judges the native build only (sanitizers drop the hardening flags; the 32-bit
    # programs are not of this architecture).
    if command -v lintian >/dev/null && [ -z "$emulator" ] && [[ $cflags != *-fsanitize* ]]; then
        verdict=$(lintian --tag-display-limit 0 "$deb" "$standins_deb" 2>&1 |
            grep -E '^[EW]: ' || true)
        [ -z "$verdict" ] || fail "lintian: $verdict"
    fi

    # Installed into a dpkg root of its own (maintainer scripts outside a chroot, as dpkg does
    # for --root), tried, and purged.
    if [ "$(id -u)" = 0 ]; then
        dpkg_root=$work/dpkg-root
        mkdir -p "$dpkg_root"/var/lib/dpkg/{info,updates,triggers}
        touch "$dpkg_root/var/lib/dpkg/status"
        in_root() {
            dpkg --root="$dpkg_root" --force-script-chrootless --force-depends \
                --force-architecture --log=/dev/null "$@"
        }
        in_root -i "$deb" "$standins_deb" >"$work/dpkg.log" 2>&1 ||
            fail "dpkg -i: $(tail -n 5 "$work/dpkg.log")"
        log=$dpkg_root/var/Quellar/var/log/interface.log
        [ "$(stat -c '%a %U %G' "$log" 2>/dev/null)" = "640 root adm" ] ||
            fail "the installed log is not 0640 root:adm: $(stat -c '%a %U %G' "$log" 2>&1)"
        QL_ROOT=$dpkg_root "$dpkg_root/opt/Quellar/sbin/quellar-standin" bd >/dev/null ||
            fail "quellar-standin bd in the dpkg root"
        echo "rotated" >"$log.1"
        echo "held" >"$dpkg_root/var/Quellar/var/quarantine/kestra/held.com"
        in_root --purge quellar-standins quellar >"$work/dpkg.log" 2>&1 ||
            fail "dpkg --purge: $(tail -n 5 "$work/dpkg.log")"
        expect_in "$(cat "$work/dpkg.log")" "quarantine is kept: it holds 1 quarantined file(s)" \
            "dpkg --purge"
        left=$(cd "$dpkg_root" && find . -path ./var/lib -prune -o ! -type d -print)
        [ "$left" = "./var/Quellar/var/quarantine/kestra/held.com" ] ||
            fail "dpkg --purge leaves: $left"
        [ ! -e "$dpkg_root/opt/Quellar" ] || fail "dpkg --purge leaves /opt/Quellar"
        rm "$dpkg_root/var/Quellar/var/quarantine/kestra/held.com"
        DPKG_ROOT=$dpkg_root sh "$source_dir/packaging/debian/postrm" purge
        [ ! -e "$dpkg_root/var/Quellar" ] || fail "purge keeps an empty quarantine"
    fi
fi

[ "$failures" = 0 ] || { echo "$failures packaging check(s) failed" >&2; exit 1; }
echo "packaging checks passed"
