#!/usr/bin/env bash
# The main job: build, lay out a self-contained installation, start a stand-in engine and the
# interface daemon, and scan sample files through the daemon's socket.
set -euo pipefail
QL_SOURCE_DIR=$(cd "$(dirname "$0")" && pwd)
cd "$QL_SOURCE_DIR"
. scripts/setup.sh

ensure_build_tools
build_tree build

if [ ! -x build/bin/interfaced ]; then
    echo "Built the library and tests. The interface daemon (build/bin/interfaced) is not part of" \
         "this build yet, so there is nothing to run." >&2
    exit 1
fi
