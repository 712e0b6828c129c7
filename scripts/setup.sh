#!/usr/bin/env bash
# Shared by ./test.sh, ./run.sh and .ci/run: install what the build needs on a fresh Debian
# machine, then configure and build into a build folder.
#   ensure_packages PKG...      install the Debian packages that are missing (as root)
#   ensure_build_tools          what the build needs; ensure_test_tools: what the tests add
#   build_tree DIR [CMAKE ARGS] configure (once) and build the project into DIR
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

ensure_build_tools() {
    ensure_packages cmake ninja-build g++ libgtest-dev libgmock-dev
}

# What the packaging test uses besides the build tools: manual pages rendered by man -l, and
# pkg-config for the C example (dpkg-deb comes with every Debian system).
ensure_test_tools() {
    ensure_packages man-db groff-base pkg-config
}

build_tree() {
    local dir=$1
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S "$QL_SOURCE_DIR" -B "$dir" -G Ninja "$@" >/dev/null
    fi
    cmake --build "$dir" -j "$(nproc)"
}
