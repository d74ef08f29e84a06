#!/usr/bin/env bash
# A simulation run as three shards side by side by GNU parallel, as on several machines, then
# joined: the result must be byte for byte that of one run of every replicate. Skipped (status
# 77) where GNU parallel is not installed.
#   parallel_shards.sh TESSUVAN MODEL.toml DATA.csv
set -euo pipefail
program=$1 model=$2 data=$3
if ! parallel --version 2>/dev/null | grep -q "GNU parallel"; then
  echo "skipped: GNU parallel is not installed (apt-get install parallel, or scripts/setup.sh)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run=(simulate "$model" "$data" --replicates 30 --seed 5 --quiet)
"$program" "${run[@]}" -o "$work/single" >/dev/null
parallel --halt now,fail=1 "$program" "${run[@]}" --shard {}/3 -o "$work/shard-{}" ::: 1 2 3 >/dev/null
"$program" merge "$work"/shard-{1,2,3} -o "$work/merged" >/dev/null
for file in simulations.csv summary.csv simulation.json; do
  cmp "$work/single/$file" "$work/merged/$file"
done
echo "three shards run by GNU parallel and merged equal the single run byte for byte"
