#!/usr/bin/env bash
# The toolkit's golden outputs: every example run through the command (pooled fits, FOCEI fits,
# simulations, replicates, shards merged, a visual predictive check), the machine-readable
# files kept (results.json, CSV files, report.txt) and compared byte for byte.
#   scripts/toolkit-golden.sh record PROGRAM OUT_DIR
#   scripts/toolkit-golden.sh compare DIR_A DIR_B
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
record)
    [ $# -eq 3 ] || { echo "usage: $0 record PROGRAM OUT_DIR" >&2; exit 2; }
    program=$(realpath "$2") out=$3
    rm -rf "$out" && mkdir -p "$out"
    work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
    ex=$root/examples
    run() { local name=$1; shift; "$program" "$@" -o "$work/$name" --quiet >"$out/$name.stdout" 2>&1 || echo "exit $?" >>"$out/$name.stdout"; }
    run theo-fit fit "$ex/theophylline/theophylline.toml" "$ex/theophylline/theophylline.csv"
    run theo-focei fit "$ex/theophylline/theophylline_focei.toml" "$ex/theophylline/theophylline.csv"
    run theo-sim simulate "$ex/theophylline/theophylline.toml" "$ex/theophylline/theophylline.csv"
    run pheno-fit fit "$ex/phenobarbital/phenobarbital.toml" "$ex/phenobarbital/phenobarbital.csv"
    run pheno-focei fit "$ex/phenobarbital/phenobarbital_focei.toml" "$ex/phenobarbital/phenobarbital.csv"
    run theo-reps simulate "$ex/theophylline/theophylline_focei.toml" "$ex/theophylline/theophylline.csv" \
        --replicates 20 --seed 7
    run theo-from simulate "$ex/theophylline/theophylline_focei.toml" "$ex/theophylline/theophylline.csv" \
        --replicates 10 --seed 3 --from "$work/theo-focei"
    run shard-1 simulate "$ex/theophylline/theophylline_focei.toml" "$ex/theophylline/theophylline.csv" \
        --replicates 20 --seed 7 --shard 1/2
    run shard-2 simulate "$ex/theophylline/theophylline_focei.toml" "$ex/theophylline/theophylline.csv" \
        --replicates 20 --seed 7 --shard 2/2
    "$program" merge "$work/shard-1" "$work/shard-2" -o "$work/merged" >"$out/merged.stdout" 2>&1 || echo "exit $?" >>"$out/merged.stdout"
    "$program" vpc "$work/theo-focei" --replicates 50 --seed 5 -o "$work/theo-vpc" --quiet >"$out/theo-vpc.stdout" 2>&1 ||
        echo "exit $?" >>"$out/theo-vpc.stdout"
    # What varies from run to run (the temporary folder, elapsed times) is masked.
    mask="s#$work#WORK#g; s#$root#ROOT#g; s/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z/DATE/g; s/[0-9]+(\.[0-9]+)? s\b/T s/g; s/\"seconds\": [0-9.e+-]+/\"seconds\": T/g"
    sed -i -E "$mask" "$out"/*.stdout
    for folder in "$work"/*/; do
        name=$(basename "$folder")
        find "$folder" -maxdepth 1 -type f \( -name '*.json' -o -name '*.csv' -o -name '*.txt' \) | sort |
            while read -r file; do sed -E "$mask" "$file" >"$out/$name.$(basename "$file")"; done
    done
    ;;
compare)
    [ $# -eq 3 ] || { echo "usage: $0 compare DIR_A DIR_B" >&2; exit 2; }
    diff -r "$2" "$3" && echo "$(ls "$2" | wc -l) files identical"
    ;;
*) echo "usage: $0 record PROGRAM OUT_DIR | compare DIR_A DIR_B" >&2; exit 2 ;;
esac
