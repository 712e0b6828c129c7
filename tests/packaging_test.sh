#!/usr/bin/env bash
# The installation as packaged: install into a staging DESTDIR and check the layout (and that an
# existing interface.conf survives), run the installed qlscan --check-config and the C example
# (built through pkg-config against the staged library) in the staged root, render the manual
# pages and check that they list every error text of the library, check the systemd unit, and
# build the Debian package and check its contents.
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
trap 'rm -rf "$work"' EXIT
stage=$work/stage
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
expect_file() { [ -f "$stage$1" ] || fail "$1 is not installed"; }
expect_dir() { [ -d "$stage$1" ] || fail "folder $1 is not installed"; }
expect_in() { grep -qF -- "$2" <<<"$1" || fail "$3: no '$2'"; }
built() { ${emulator:+"$emulator"} "$@"; }

# --- Install into the staging root ------------------------------------------------------------
DESTDIR=$stage cmake --install "$build_dir" >"$work/install.log"
for file in /opt/Quellar/sbin/interfaced /opt/Quellar/bin/qlscan; do
    [ -x "$stage$file" ] || fail "$file is not an installed program"
done
for file in /opt/Quellar/lib/libqlscan.so.1 /opt/Quellar/include/ql/qlscan.h \
    /opt/Quellar/lib/pkgconfig/qlscan.pc /opt/Quellar/etc/postwick/interface.conf \
    /lib/systemd/system/interfaced.service /usr/lib/tmpfiles.d/interfaced.conf \
    /etc/logrotate.d/interfaced /opt/Quellar/share/man/man1/qlscan.1 \
    /opt/Quellar/share/man/man5/interface.conf.5 /opt/Quellar/share/man/man8/interfaced.8; do
    expect_file "$file"
done
for dir in /opt/Quellar/var/run /var/Quellar/var/log /var/Quellar/var/tmp \
    /var/Quellar/var/quarantine/kestra; do
    expect_dir "$dir"
done
for standin in /opt/Quellar/sbin/qornd /opt/Quellar/lib/libavcore.so; do
    [ ! -e "$stage$standin" ] || fail "$standin is installed without being asked for"
done

conf=$stage/opt/Quellar/etc/postwick/interface.conf
printf '[postwicker]\nMaxInstances=12\n' >"$conf"
DESTDIR=$stage cmake --install "$build_dir" >"$work/install.log"
grep -q 'MaxInstances=12' "$conf" || fail "a second install replaced interface.conf"

DESTDIR=$stage cmake --install "$build_dir" --component standins >"$work/install.log"
[ -x "$stage/opt/Quellar/sbin/qornd" ] && [ -f "$stage/opt/Quellar/lib/libavcore.so" ] ||
    fail "the stand-ins component does not install qornd and libavcore.so"

# --- The staged root as a running installation (BD engine, the stand-in core) -----------------
mkdir -p "$stage/opt/Quellar/bases/Plugins"
echo 3 >"$stage/opt/Quellar/etc/qorn-ver"
printf '[path]\nBasesPath=%s\nTempPath=%s\n' "$stage/opt/Quellar/bases" \
    "$stage/var/Quellar/var/tmp" >"$stage/opt/Quellar/etc/qorn.conf"
check=$(QL_ROOT=$stage built "$stage/opt/Quellar/bin/qlscan" --check-config) ||
    fail "qlscan --check-config finds the staged installation broken: $check"
expect_in "$check" "instances            12" "qlscan --check-config"

export PKG_CONFIG_PATH=$stage/opt/Quellar/lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=$stage
# shellcheck disable=SC2046,SC2086
"$cc" $cflags -std=c11 -Wall -Wextra -Werror -o "$work/quickscan" \
    "$source_dir/examples/quickscan.c" $(pkg-config --cflags --libs qlscan)
echo "an ordinary mail part" >"$work/clean.txt"
printf '%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$' 'EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*' \
    >"$work/eicar.com"
run_example() {
    LD_LIBRARY_PATH=$stage/opt/Quellar/lib QL_ROOT=$stage built "$work/quickscan" "$1" \
        "$stage/opt/Quellar/etc/qorn.conf"
}
status=0
out=$(run_example "$work/clean.txt") || status=$?
[ "$status" = 0 ] && [ "$out" = "$work/clean.txt: clean" ] || fail "quickscan clean: $status $out"
status=0
out=$(run_example "$work/eicar.com") || status=$?
[ "$status" = 1 ] && [ "$out" = "$work/eicar.com: infected: EICAR-Test-File" ] ||
    fail "quickscan EICAR: $status $out"

# --- Manual pages -----------------------------------------------------------------------------
render() {
    LC_ALL=C.UTF-8 MANWIDTH=80 man -l --warnings=w "$stage/opt/Quellar/share/man/$1" \
        2>"$work/man.err"
    [ ! -s "$work/man.err" ] || fail "$1 renders with warnings: $(cat "$work/man.err")"
}
page=$(render man8/interfaced.8)
for section in SYNOPSIS PROTOCOL "ERROR TEXTS" SIGNALS FILES LOG "EXIT STATUS" SIGHUP; do
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
page=$(render man1/qlscan.1)
for text in --check-config --ping "EXIT STATUS"; do expect_in "$page" "$text" "qlscan(1)"; done
page=$(render man5/interface.conf.5)
for key in PostwickerSocket PostwickerPID MaxInstances RequestTimeout PostwickerSocketMode \
    PostwickerSocketGroup TagErrorReplies; do
    expect_in "$page" "$key" "interface.conf(5)"
done

# --- The systemd unit (its paths moved into the staging root) ---------------------------------
if command -v systemd-analyze >/dev/null; then
    sed "s|/opt/Quellar|$stage/opt/Quellar|g" "$stage/lib/systemd/system/interfaced.service" \
        >"$work/interfaced.service"
    verdict=$(systemd-analyze verify --man=no "$work/interfaced.service" 2>&1) ||
        fail "systemd-analyze verify: $verdict"
    [ -z "$verdict" ] || fail "systemd-analyze verify: $verdict"
fi

# --- The Debian package -----------------------------------------------------------------------
cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" ||
    fail "cpack -G DEB: $(tail -n 5 "$work/cpack.log")"
deb=$(ls "$work"/package/quellar_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
    fail "no .deb was built"
else
    contents=$(dpkg-deb -c "$deb")
    for file in ./opt/Quellar/sbin/interfaced ./opt/Quellar/bin/qlscan \
        ./opt/Quellar/lib/libqlscan.so.1.0.0 ./opt/Quellar/include/ql/qlscan.h \
        ./opt/Quellar/lib/pkgconfig/qlscan.pc ./opt/Quellar/etc/postwick/interface.conf \
        ./lib/systemd/system/interfaced.service ./usr/lib/tmpfiles.d/interfaced.conf \
        ./etc/logrotate.d/interfaced ./opt/Quellar/share/man/man8/interfaced.8 \
        ./var/Quellar/var/log/ ./opt/Quellar/var/run/; do
        expect_in "$contents" " $file" "dpkg-deb -c"
    done
    ! grep -q 'qornd\|libavcore' <<<"$contents" || fail "the package holds the stand-ins"
    conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)
    expect_in "$conffiles" "/opt/Quellar/etc/postwick/interface.conf" "conffiles"
    expect_in "$conffiles" "/etc/logrotate.d/interfaced" "conffiles"
    expect_in "$(dpkg-deb -f "$deb" Package Version)" "Version: 1.0.0" "control"
fi

[ "$failures" = 0 ] || { echo "$failures packaging check(s) failed" >&2; exit 1; }
echo "packaging checks passed"
