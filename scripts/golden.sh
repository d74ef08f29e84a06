#!/bin/sh
# The golden corpus of a build, recorded whole and compared byte for byte.
#   scripts/golden.sh record BUILD_DIR OUT_DIR [--plain] [--groups N]
#   scripts/golden.sh compare DIR_A DIR_B
# record writes one file per case with the recorder of BUILD_DIR (e.g. build/ci-x64); compare
# runs cmp on every case of DIR_A against DIR_B and names the first differing call.
set -eu
case "${1:-}" in
record)
    [ $# -ge 3 ] || { echo "usage: $0 record BUILD_DIR OUT_DIR [options]" >&2; exit 2; }
    build=$2 out=$3
    shift 3
    rm -rf "$out"
    # An i386 build on a kernel that runs 64-bit code only runs its recorder under the emulator
    # its configuration found.
    emulator=$(sed -n 's/^TESSUVAN_I386_EMULATOR:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
    $emulator "$build/tests/golden/tessuvan_golden" "$@" record "$out"
    ;;
compare)
    [ $# -eq 3 ] || { echo "usage: $0 compare DIR_A DIR_B" >&2; exit 2; }
    a=$2 b=$3 cases=0 calls=0 bytes=0 differing=0
    while read -r name count size rest; do
        cases=$((cases + 1))
        if offset=$(cmp "$a/$name.bin" "$b/$name.bin" 2>&1); then
            calls=$((calls + count)) bytes=$((bytes + size))
        else
            differing=$((differing + 1))
            at=$(printf '%s\n' "$offset" | sed -n 's/.* byte \([0-9]*\).*/\1/p')
            call=$(awk -v n="$name" -v at="${at:-0}" '$1 == n && $3 < at { c = $2 " (" $4 ($5 ? " " $5 : "") ")" } END { print c }' "$a/calls.txt")
            echo "$name: differs at byte ${at:-?}, call $call: $offset"
        fi
    done < "$a/digests.txt"
    echo "$cases cases; $calls calls and $bytes bytes identical; $differing cases differ"
    [ "$differing" -eq 0 ]
    ;;
*)
    echo "usage: $0 record BUILD_DIR OUT_DIR [--plain] [--groups N] | compare DIR_A DIR_B" >&2
    exit 2
    ;;
esac
