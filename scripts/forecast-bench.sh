#!/usr/bin/env bash
# Processor time of `tessuvan map` (a 200-draw forecast) and `tessuvan dose` on the vancomycin
# example's patient with a peak and a trough: the best of several runs, user + system time of
# the process (GNU time), without the plot (gnuplot is kept off the PATH: its own time is not
# the forecast's).
#   scripts/forecast-bench.sh [PROGRAM] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/ci-large/tools/tessuvan}
runs=${2:-7}
example=$root/examples/vancomycin
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
best() {
    local name=$1 best=999
    shift
    for _ in $(seq "$runs"); do
        rm -rf "$scratch/out"
        PATH=/nonexistent /usr/bin/time -f "%U %S" -o "$scratch/time" "$program" "$@" -o "$scratch/out" -q \
            >/dev/null 2>&1
        best=$(awk -v b="$best" '{t = $1 + $2; print (t < b ? t : b)}' "$scratch/time")
    done
    echo "$name: best of $runs, $best s processor time"
}
best "map, 200 draws" map "$example/vancomycin.toml" "$example/patient_peak_trough.csv" --draws 200
best "dose, auc24=400..600" dose "$example/vancomycin.toml" "$example/patient_peak_trough.csv" --interval 12 \
    --doses 4 --start 48 --infusion 1.5 --target auc24=400..600 --round 250
best "dose, 3 intervals weighed, auto loading dose" dose "$example/vancomycin.toml" \
    "$example/patient_peak_trough.csv" --interval 8,12,24 --doses 4 --start 48 --infusion 1.5 \
    --target auc24=400..600 --round 250 --loading auto
