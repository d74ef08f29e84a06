#!/usr/bin/env bash
# The printout comparison must refuse what the Windows check exists to catch: a changed code or
# flag, a value off by more than a relative 1e-6, a missing line; and accept last-bit noise,
# Windows line ends and the run-times' different spellings of not-a-number.
set -uo pipefail
compare="$(dirname "$0")/compare_printouts.awk"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

expect() { # expect STATUS NAME EXPECTED-TEXT ACTUAL-TEXT
  printf '%b' "$3" >"$work/expected"
  printf '%b' "$4" >"$work/actual"
  awk -f "$compare" "$work/expected" "$work/actual" >"$work/out" 2>&1
  local status=$?
  if [[ $status -ne $1 ]]; then
    echo "FAILED: $2 (exit $status, expected $1)"; cat "$work/out"; failures=$((failures + 1))
  fi
}

base='load codes: Erreur 0 Done -1\nvalues 1.000000000e+00 -2.500000000e-03 0.000000000e+00\n'
expect 0 "identical printouts agree" "$base" "$base"
expect 0 "Windows line ends are ignored" "$base" "${base//\\n/\\r\\n}"
expect 0 "a relative difference below 1e-6 is accepted" "$base" \
  'load codes: Erreur 0 Done -1\nvalues 1.000000500e+00 -2.500000001e-03 0.000000000e+00\n'
expect 1 "a relative difference above 1e-6 is refused" "$base" \
  'load codes: Erreur 0 Done -1\nvalues 1.000002000e+00 -2.500000000e-03 0.000000000e+00\n'
expect 1 "a different code is refused" "$base" \
  'load codes: Erreur 1 Done -1\nvalues 1.000000000e+00 -2.500000000e-03 0.000000000e+00\n'
expect 1 "a different Done flag is refused" "$base" \
  'load codes: Erreur 0 Done 0\nvalues 1.000000000e+00 -2.500000000e-03 0.000000000e+00\n'
expect 1 "a zero against a tiny value is refused" "$base" \
  'load codes: Erreur 0 Done -1\nvalues 1.000000000e+00 -2.500000000e-03 1.000000000e-30\n'
expect 1 "a missing line is refused" "$base" 'load codes: Erreur 0 Done -1\n'
expect 1 "a missing value is refused" "$base" \
  'load codes: Erreur 0 Done -1\nvalues 1.000000000e+00 -2.500000000e-03\n'
expect 0 "not-a-number agrees with not-a-number however spelt" 'v nan -inf\n' 'v -nan(ind) -inf\n'
expect 1 "not-a-number against a number is refused" 'v nan\n' 'v 1.000000000e+00\n'

echo "printout comparison: $((11 - failures)) of 11 cases behave"
exit $((failures > 0))
