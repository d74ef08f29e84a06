#!/usr/bin/env bash
# The toolkit's shape: its folders in one order, each including only itself and folders before
# it, and no source file longer than 500 lines. Prints every breach; exit 1 if there is one.
set -uo pipefail
cd "$(dirname "$0")/../tools"
order=(population model data estimation simulation engine forecast runs results toolkit tessuvan)
rank() { local i; for i in "${!order[@]}"; do [[ ${order[$i]} == "$1" ]] && { echo "$i"; return; }; done; echo -1; }
status=0
for file in */*.h */*.cpp; do
    folder=${file%%/*}
    own=$(rank "$folder")
    if ((own < 0)); then echo "$file: folder $folder is not in the toolkit's order"; status=1; continue; fi
    lines=$(wc -l <"$file")
    if ((lines > 500)); then echo "$file: $lines lines (at most 500)"; status=1; fi
    while IFS= read -r included; do
        target=${included%%/*}
        [[ $included == */* ]] || { echo "$file: includes \"$included\" without its folder"; status=1; continue; }
        # the engine's public and internal headers (tessuvan/tessuvan.h, entry/engine.h)
        [[ -e ../include/$included || -e ../src/$included ]] && continue
        [[ -d $target ]] || continue
        if (($(rank "$target") > own)); then echo "$file: includes $included, a folder above $folder"; status=1; fi
    done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done
exit $status
