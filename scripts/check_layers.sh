#!/usr/bin/env bash
# The layers' include rules (docs/architecture.md): each folder of product code includes only
# the folders it stands on. Prints every include that breaks a rule and exits 1; exits 0 when
# all hold.
#
#   scripts/check_layers.sh [SOURCE_DIR]     (default: the tree this script is in)
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# Folder: the project includes its files may name (an extended regular expression on the path
# between the quotes). Public header: ql/.
declare -A allowed=(
    [support]='^(support/|common/unique_fd\.h$)'
    [common]='^(common|ql)/'
    [settings]='^(settings|common|ql)/'
    [engine]='^(engine|common|ql)/'
    [kav]='^(kav|engine|common|ql)/'
    [bd]='^(bd|engine|common|ql)/'
    [api]='^(api|engine|common|ql)/'
    [daemon]='^(daemon|api|settings|support|common|ql)/'
    [tools]='^(tools|daemon|api|engine|settings|support|common|ql)/'
    [standins]='^(standins/|bd/core_contract\.h$|support/|common/|ql/)'
)
# The one file that names both engines: it picks a back end's table by the engine kind.
declare -A exceptions=(
    [api/engines.cpp]='^(kav/kav_iface|bd/bd_iface)\.h$'
)

status=0
for folder in "${!allowed[@]}"; do
    [ -d "$folder" ] || continue
    while IFS=: read -r file line_no line; do
        [[ $line =~ \"([^\"]+)\" ]] || continue
        included=${BASH_REMATCH[1]}
        [[ $included == */* ]] || continue # a header beside the file
        [[ $included =~ ${allowed[$folder]} ]] && continue
        [[ -n ${exceptions[$file]:-} && $included =~ ${exceptions[$file]} ]] && continue
        echo "$file:$line_no: wrong-way include of $included" >&2
        status=1
    done < <(grep -rnE --include='*.h' --include='*.cpp' --include='*.c' \
        '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder" || true)
done
exit "$status"
