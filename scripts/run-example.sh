#!/usr/bin/env bash
# The main job: builds the 64-bit library and runs the example host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset x64 >/dev/null
cmake --build --preset x64 -j "$(nproc)"
echo "Built $(ls build/x64/libTessuvan_64.so)"
