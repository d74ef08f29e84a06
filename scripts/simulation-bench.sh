#!/usr/bin/env bash
# Times simulations with variability on this machine (processor time, wall time and peak
# resident memory, by GNU time):
#   1. 1,000 replicates of the theophylline design (12 subjects, 132 rows);
#   2. 10,000 virtual subjects of a repeated-dose regimen of the two-compartment model of
#      examples/two_compartment (one replicate): 12 oral doses of 100 mg every 12 h (one
#      interrupt each, in the large build), with 24 samples;
#   3. 100,000 replicates of the theophylline design: 12 million rows, 1.4 GB of
#      simulations.csv streamed to disk as they are drawn, the summary's percentiles exact from
#      order statistics; its peak resident memory stays that of one replicate and the engine
#      (39 MiB on the development machine; 313 MiB for 10,000 replicates when every row was
#      kept until the end). Needs 1.6 GB free in WORK; removed after.
# Builds the program first (preset large) unless TESSUVAN is given.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -z "${TESSUVAN:-}" ]]; then
  cmake --preset large >/dev/null && cmake --build --preset large --target tessuvan -j2 >/dev/null
  TESSUVAN=build/large/tools/tessuvan
fi
work=${WORK:-build/simulation-bench}
mkdir -p "$work"

{
  echo "ID,TIME,DV,AMT,EVID,ADDL,II"
  for ((id = 1; id <= 10000; id++)); do
    echo "$id,0,.,100,1,11,12"
    for t in 0.5 1 2 4 6 11.9 24.5 36 48.5 60 72.5 84 96.5 108 120.5 131.9 132.5 133 134 136 138 144 156 168; do
      echo "$id,$t,.,.,2,.,."
    done
  done
} >"$work/regimen.csv"

measure() {  # label, then the command
  local label=$1
  shift
  /usr/bin/time -f "$label: %U s user, %S s system, %e s wall, %M KiB peak resident" "$@" >/dev/null
}
measure "1,000 replicates of the theophylline design" \
  "$TESSUVAN" simulate examples/theophylline/theophylline_focei.toml examples/theophylline/theophylline.csv \
  --replicates 1000 --seed 1 --quiet -o "$work/theophylline-1000"
measure "10,000 subjects of 12 doses, two compartments" \
  "$TESSUVAN" simulate examples/two_compartment/two_compartment.toml "$work/regimen.csv" \
  --replicates 1 --seed 1 --quiet -o "$work/regimen-10000"
wc -l "$work/theophylline-1000/simulations.csv" "$work/regimen-10000/simulations.csv"
measure "100,000 replicates of the theophylline design" \
  "$TESSUVAN" simulate examples/theophylline/theophylline_focei.toml examples/theophylline/theophylline.csv \
  --replicates 100000 --seed 1 --quiet -o "$work/theophylline-100000"
rm -rf "$work/theophylline-100000"
