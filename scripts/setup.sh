#!/usr/bin/env bash
# Shared by ./test.sh, ./run.sh and .ci/run: install what the build needs on a fresh Debian
# machine, then configure and build into a build folder.
#   ensure_packages PKG...      install the Debian packages that are missing (as root)
#   ensure_packages_no_start PKG...  the same, keeping the services they bring from starting
#   ensure_build_tools          what the build needs; ensure_test_tools: what the tests add
#   configure_tree DIR [CMAKE ARGS]  configure DIR, again whenever its cache differs from ARGS
#   build_tree DIR [CMAKE ARGS] configure_tree, then build the whole project into DIR
# and, for ./run.sh and ./bench.sh:
#   make_install_root ROOT VERSION BUILD <SIGNATURES  the installation below ROOT (QL_ROOT)
set -euo pipefail

ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# Packages that bring a service (a mail server, a filter) would start it on install: every service
# start is refused for the install (policy-rc.d exit 101) unless a policy is already in place.
ensure_packages_no_start() {
    local policy=/usr/sbin/policy-rc.d placed=0 status=0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
        $sudo chmod 755 "$policy"
        placed=1
    fi
    ensure_packages "$@" || status=$?
    [ "$placed" = 0 ] || $sudo rm -f "$policy"
    return $status
}

ensure_build_tools() {
    ensure_packages cmake ninja-build g++ libgtest-dev libgmock-dev
}

# What the packaging test uses besides the build tools: manual pages rendered by man -l, and
# pkg-config for the C example (dpkg-deb comes with every Debian system).
ensure_test_tools() {
    ensure_packages man-db groff-base pkg-config python3
}

# Whether the cache of DIR holds every -DNAME=VALUE (or -DNAME:TYPE=VALUE) of the arguments.
cache_matches() {
    local cache=$1/CMakeCache.txt arg name value
    shift
    for arg in "$@"; do
        case $arg in
        -D*=*) ;;
        *) continue ;;
        esac
        name=${arg#-D}
        value=${name#*=}
        name=${name%%=*}
        name=${name%%:*}
        grep -qxF -- "$value" <(sed -n "s/^$name:[A-Z]*=//p" "$cache") || return 1
    done
}

configure_tree() {
    local dir=$1
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        echo "Configuring $dir ..."
        cmake -S "$QL_SOURCE_DIR" -B "$dir" -G Ninja "$@" >/dev/null
    elif ! cache_matches "$dir" "$@"; then
        echo "Reconfiguring $dir with $* ..."
        cmake -S "$QL_SOURCE_DIR" -B "$dir" "$@" >/dev/null
    fi
}

build_tree() {
    local dir=$1
    configure_tree "$@"
    cmake --build "$dir" -j "$(nproc)"
}

# The installation as the packages lay it out, below ROOT: the stand-ins linked in from the build
# folder BUILD, VERSION (2 KAV, 3 BD) in the version file, the engine configuration, the
# stand-ins' signatures read from standard input, and the daemon's settings (20 instances).
make_install_root() {
    local root=$1 version=$2 build=$3
    mkdir -p "$root"/opt/Quellar/{etc/postwick,sbin,lib,var/run,bases/Plugins} \
        "$root"/var/Quellar/var/{log,tmp,quarantine/kestra}
    ln -s "$build/bin/qornd" "$root/opt/Quellar/sbin/qornd"
    ln -s "$build/lib/libavcore.so" "$root/opt/Quellar/lib/libavcore.so"
    echo "$version" >"$root/opt/Quellar/etc/qorn-ver"
    cat >"$root/opt/Quellar/etc/qorn.conf" <<EOF
[path]
LocalSocketPath=$root/opt/Quellar/var/run/qornd.sock
AVSpidPATH=$root/opt/Quellar/var/run/qornd.pid
BasesPath=$root/opt/Quellar/bases
TempPath=$root/var/Quellar/var/tmp
EOF
    cat >"$root/opt/Quellar/bases/Plugins/signatures.txt"
    cat >"$root/opt/Quellar/etc/postwick/interface.conf" <<EOF
[postwicker]
PostwickerSocket=$root/opt/Quellar/var/run/interface
PostwickerPID=$root/opt/Quellar/var/run/interface.pid
MaxInstances=20
EOF
}
