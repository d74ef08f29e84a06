#!/usr/bin/env bash
# Processor time of the FOCEI fit of theophylline with one 2×2 block of Ω (ka and CL) against
# the diagonal fit, best of N runs each (user + system seconds of the command).
#   scripts/omega-block-timing.sh [PROGRAM] [N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/ci-large/tools/tessuvan} runs=${2:-3}
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
best() {
    local model=$1 best=
    for _ in $(seq "$runs"); do
        rm -rf "$work/fit"
        /usr/bin/time -f "%U %S" -o "$work/time" "$program" fit "$root/examples/theophylline/$model" \
            "$root/examples/theophylline/theophylline.csv" -o "$work/fit" --quiet >/dev/null
        local t
        t=$(awk '{print $1 + $2}' "$work/time")
        if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a < b)}'; then best=$t; fi
    done
    echo "$best"
}
diagonal=$(best theophylline_focei.toml)
block=$(best theophylline_block.toml)
awk -v d="$diagonal" -v b="$block" 'BEGIN{printf "diagonal %.2f s, block %.2f s, ratio %.2f\n", d, b, b / d}'
