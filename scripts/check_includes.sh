#!/usr/bin/env bash
# Checks that the library's includes only go down its layers:
#   platform/ < core/ < scan/ < clean/ < api/
# A file may include files of its own folder and of the folders below it;
# only api/ includes the public header (include/edclean.h). Usage:
#   bash scripts/check_includes.sh [SRC_DIR]
set -euo pipefail
src=${1:-"$(dirname "$0")/../src"}
layers=(platform core scan clean api)
rank() {
    local i
    for i in "${!layers[@]}"; do
        [[ ${layers[$i]} == "$1" ]] && { echo "$i"; return; }
    done
    echo -1
}
status=0
while IFS= read -r -d '' file; do
    rel=${file#"$src"/}
    own=$(rank "${rel%%/*}")
    while IFS= read -r target; do
        if [[ $target == edclean.h ]]; then
            [[ ${rel%%/*} == api ]] && continue
            echo "$rel: includes the public header" >&2; status=1; continue
        fi
        [[ $target == */* ]] || continue
        other=$(rank "${target%%/*}")
        if ((other < 0 || other > own)); then
            echo "$rel: includes $target, which is not below or beside it" >&2
            status=1
        fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find "$src" -mindepth 2 \( -name '*.h' -o -name '*.cpp' \) -print0)
exit $status
