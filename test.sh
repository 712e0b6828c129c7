#!/usr/bin/env bash
# Check the layers' include rules, build the project, run every test through ctest and check that
# the documents name only tests that exist. Installs what is missing on Debian.
#   ./test.sh                 tests of the normal build (build/)
#   QL_BUILD_DIR=build-asan QL_CMAKE_ARGS="-DQL_SANITIZE=address,undefined" ./test.sh
# The tests of real mail front ends (ctest label frontends) need their packages and are left out;
# .ci/run installs those and runs them.
set -euo pipefail
QL_SOURCE_DIR=$(cd "$(dirname "$0")" && pwd)
cd "$QL_SOURCE_DIR"
. scripts/setup.sh

scripts/check_layers.sh
build_dir=${QL_BUILD_DIR:-build}
ensure_build_tools
ensure_test_tools
# QL_CMAKE_ARGS is split into its arguments on purpose.
# shellcheck disable=SC2086
build_tree "$build_dir" -DQL_WERROR=ON ${QL_CMAKE_ARGS:-}
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 300 -LE frontends
# The documents that name the test showing each behaviour name tests that exist.
scripts/check_doc_tests.py "$build_dir" README.md docs/*.md
