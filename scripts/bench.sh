#!/usr/bin/env bash
# Builds libTessuvan_64.so and the benchmark suite (x64 preset, optimised with debug
# information) and runs the suite; arguments go to Google Benchmark, for example
#   scripts/bench.sh --benchmark_filter='S1|N1'
# The summary at the end (ratios to the native twins, fits against S1, peak memory) is
# measured in the same run. Run it on an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset x64 >/dev/null
cmake --build --preset x64 -j2 --target tessuvan_bench
exec build/x64/bench/tessuvan_bench "$@"
