#!/usr/bin/env bash
# Builds the library and the benchmark suite (optimised with debug information) and runs the
# suite; arguments go to Google Benchmark, for example
#   scripts/bench.sh --benchmark_filter='S1|N1'
# PRESET chooses the build: x64 (default, libTessuvan_64.so) or large (libTessuvan_large.so,
# which adds S3, the study of 2,000 individuals):
#   PRESET=large scripts/bench.sh --benchmark_filter=S3
# The summary at the end (ratios to the native twins, fits against S1, peak memory) is
# measured in the same run. Run it on an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${PRESET:-x64}
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j2 --target tessuvan_bench
exec "build/$preset/bench/tessuvan_bench" "$@"
