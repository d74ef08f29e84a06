#!/usr/bin/env bash
# The main job: builds everything (the large library and the tessuvan command) and fits the
# theophylline and phenobarbital examples. Results go to out/<example> (report.html, CSV files,
# plots).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset large >/dev/null
cmake --build --preset large -j "$(nproc)"
build/large/tools/tessuvan fit examples/theophylline/theophylline.toml examples/theophylline/theophylline.csv \
  -o out/theophylline "$@"
# The multiple-dose intravenous example (phenobarbital in preterm infants, weight covariate).
build/large/tools/tessuvan fit examples/phenobarbital/phenobarbital.toml examples/phenobarbital/phenobarbital.csv \
  -o out/phenobarbital "$@"
build/large/tools/tessuvan fit examples/phenobarbital/phenobarbital_focei.toml examples/phenobarbital/phenobarbital.csv \
  -o out/phenobarbital_focei "$@"
