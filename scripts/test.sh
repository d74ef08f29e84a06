#!/usr/bin/env bash
# Builds the three libraries (Tessuvan_64, Tessuvan_32 and Tessuvan_large, with the
# command-line host) with warnings as errors and runs every test of each build, then every
# engine and ABI test again on the large build with AddressSanitizer, UndefinedBehaviorSanitizer
# and LeakSanitizer, the tests of what runs in threads under ThreadSanitizer, the Windows DLLs,
# then each fuzzer for FUZZ_SECONDS (default 30; one per processor side by side). The quick
# checks come first, so that a fault in what changes most (the 64-bit engine, the toolkit)
# shows within minutes.
# Run from anywhere; installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)
status=0

# The toolkit's folders in their order, no file over 500 lines.
scripts/check-layout.sh || status=1

# Only the five entry points may be exported.
check_exports() {
  local library=$1 exported
  exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ')
  if [[ "$exported" != "Ajustement_ind Ajustement_pop Calcul_initial Fin Simulation " ]]; then
    echo "unexpected exports in $library: $exported"
    status=1
  fi
}

# The 64-bit build first, then the large one with the toolkit, then the 32-bit one (its tests
# run under an emulator where the kernel runs no 32-bit code), then the sanitizers.
for preset in ci-x64 ci-large ci-x86 ci-sanitize; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  case $preset in
    ci-x64) check_exports build/ci-x64/libTessuvan_64.so ;;
    ci-x86) check_exports build/ci-x86/libTessuvan_32.so ;;
    ci-large)
      check_exports build/ci-large/libTessuvan_large.so
      # One engine in the command: the static engine, never the shared library beside it.
      if ldd build/ci-large/tools/tessuvan | grep -q libTessuvan; then
        echo "build/ci-large/tools/tessuvan links a shared engine besides its own"
        status=1
      fi
      ;;
  esac
  ctest --preset "$preset" -j "$jobs" || status=1
done

# The simulations that run side by side in threads, under ThreadSanitizer (only the engine
# tests that run them are built).
echo "=== thread-sanitize ==="
cmake --preset thread-sanitize >/dev/null
cmake --build --preset thread-sanitize -j "$jobs"
ctest --preset thread-sanitize -j "$jobs" || status=1

# The Windows DLLs: exports, imports, stack cleanup, and the Wine host against its Linux twin.
scripts/windows-check.sh || status=1

# Any sanitizer report, broken invariant, timeout or leak the fuzzers meet fails the run.
fuzz/run.sh "${FUZZ_SECONDS:-30}" || status=1

exit $status
