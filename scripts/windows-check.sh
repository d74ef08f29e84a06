#!/usr/bin/env bash
# Builds Tessuvan_64.dll and Tessuvan_32.dll with MinGW-w64 and checks them:
#   - each exports exactly the five entry points, undecorated, and imports only system DLLs;
#   - every return of a 32-bit entry point removes its arguments (stdcall: 24, 16, 16, 20, 8);
#   - under Wine, the Windows test host's printout agrees with its Linux twin's (same codes and
#     Done flags, every value within a relative 1e-6).
# The Linux twins come from the Linux builds (default build/ci-x64 and build/ci-x86; override
# with TESSUVAN_LINUX_64 / TESSUVAN_LINUX_32). Without Wine (or without its 32-bit part) the
# runs are skipped with a note; the static checks always run. Exit status 1 on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

linux64=${TESSUVAN_LINUX_64:-build/ci-x64}
linux32=${TESSUVAN_LINUX_32:-build/ci-x86}
jobs=$(nproc)
status=0
fail() { echo "FAILED: $*"; status=1; }

# The Wine prefix is made once; the first time, while the DLLs build, so that the two overlap.
prefix=${TESSUVAN_WINEPREFIX:-${TMPDIR:-/tmp}/tessuvan-wine-$(id -u)}
wineboot_pid=
if command -v wine >/dev/null && [[ ! -d "$prefix" ]]; then
  echo "Creating the Wine prefix $prefix (once), while the DLLs build"
  (WINEDEBUG=-all WINEPREFIX=$prefix wineboot -i >/dev/null 2>&1 || true) &
  wineboot_pid=$!
fi

for preset in win64 win32; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

# ------------------------------------------------------------------------------------------
# Static checks
# ------------------------------------------------------------------------------------------
expected_exports="Ajustement_ind Ajustement_pop Calcul_initial Fin Simulation"
# The system's own DLLs: the kernel, the automation library and the C run-time (msvcrt, or the
# universal one with its api-ms-win-crt forwarders).
system_dll='^(kernel32|oleaut32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'

# The names of the export name table, sorted.
exported_names() { "$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[ *[0-9]+\]/ {print $NF}' | sort | tr '\n' ' ' | sed 's/ $//'; }

check_exports_and_imports() {
  local objdump=$1 dll=$2 names imports dll_name
  names=$(exported_names "$objdump" "$dll")
  [[ "$names" == "$expected_exports" ]] || fail "$dll exports [$names], expected [$expected_exports]"
  imports=$("$objdump" -p "$dll" | awk '/DLL Name:/ {print $3}')
  [[ -n "$imports" ]] || fail "$dll: no import table found"
  for dll_name in $imports; do
    if ! grep -qiE "$system_dll" <<<"$dll_name"; then fail "$dll imports $dll_name, which is not a system DLL"; fi
  done
  echo "$dll: exports $names; imports $(tr '\n' ' ' <<<"$imports")"
}

# Each 32-bit entry point must end in `ret $N` (the callee removes N bytes of arguments) on
# every path, its out-of-line part included; a plain `ret` would leave them to the caller.
check_stdcall_cleanup() {
  local dll=$1 listing exports base name bytes rva address symbol returns
  listing=$(mktemp)
  i686-w64-mingw32-objdump -d "$dll" >"$listing"
  exports=$(i686-w64-mingw32-objdump -p "$dll")
  base=$(awk '/^ImageBase/ {print $2}' <<<"$exports")
  for entry in Calcul_initial:24 Simulation:16 Ajustement_pop:16 Ajustement_ind:20 Fin:8; do
    name=${entry%%:*}
    bytes=${entry##*:}
    local ordinal
    ordinal=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$exports" | awk -v n="$name" '$3 == n {gsub(/[^0-9]/, "", $2); print $2}')
    rva=$(awk -v o="$ordinal" '/Export RVA/ {i = $2; gsub(/[^0-9]/, "", i); if (i == o) print $(NF - 2)}' <<<"$exports")
    if [[ -z "$ordinal" || -z "$rva" ]]; then fail "$dll: $name is not exported"; continue; fi
    address=$(printf '%08x' $((16#$base + 16#$rva)))
    symbol=$(awk -v a="$address" '$1 == a && $2 ~ /^<.*>:$/ {s = $2; gsub(/^<|>:$/, "", s); print s}' "$listing")
    if [[ "$symbol" != "_${name}@${bytes}" ]]; then
      fail "$dll: $name is the code of [$symbol], expected _${name}@${bytes}"
      continue
    fi
    returns=$(awk -v s="$symbol" '
      /^[0-9a-f]+ <.*>:$/ { inside = ($2 == "<" s ">:" || $2 == "<" s ".cold>:") ; next }
      inside && /\tret/ { sub(/.*\tret[lw]?/, "ret"); gsub(/[ \t]+/, " "); print }' "$listing" | sort -u | tr '\n' ';')
    if [[ "$returns" != "ret \$0x$(printf '%x' "$bytes");" ]]; then
      fail "$dll: $name returns with [$returns], expected only ret \$0x$(printf '%x' "$bytes")"
    fi
  done
  rm -f "$listing"
  echo "$dll: every entry point removes its own arguments (24, 16, 16, 20, 8 bytes)"
}

check_exports_and_imports x86_64-w64-mingw32-objdump build/win64/Tessuvan_64.dll
check_exports_and_imports i686-w64-mingw32-objdump build/win32/Tessuvan_32.dll
check_stdcall_cleanup build/win32/Tessuvan_32.dll

# ------------------------------------------------------------------------------------------
# Wine: the Windows host against its Linux twin
# ------------------------------------------------------------------------------------------
windows_path() { local path; path=$(realpath "$1"); echo "Z:${path//\//\\}"; }

run_pair() {
  local bits=$1 windows_build=$2 linux_build=$3 linux_library=$4 work
  local twin=$linux_build/tests/windows/tessuvan_host
  if [[ ! -x "$twin" || ! -f "$linux_build/$linux_library" ]]; then
    echo "SKIPPED: the Linux $bits-bit twin is not built ($twin); build that Linux preset first"
    return
  fi
  work=$(mktemp -d "${TMPDIR:-/tmp}/tessuvan-wine-run-XXXXXX")
  mkdir -p "$work/linux" "$work/windows"
  "$twin" "$linux_build/$linux_library" "$work/linux" >"$work/linux.txt" || fail "the Linux $bits-bit twin failed"
  # The 64-bit host goes to Wine's 64-bit loader itself: the `wine` launcher prefers the 32-bit
  # one when both are installed, and a kernel without 32-bit programs cannot run that.
  local launcher=wine
  if [[ $bits == 64 ]]; then
    if [[ -x /usr/lib/wine/wine64 ]]; then launcher=/usr/lib/wine/wine64
    elif command -v wine64 >/dev/null 2>&1; then launcher=wine64; fi
  fi
  if ! WINEDEBUG=-all WINEPREFIX=$prefix "$launcher" "$windows_build/tests/windows/tessuvan_host.exe" \
      "$(windows_path "$windows_build/Tessuvan_$bits.dll")" "$(windows_path "$work/windows")" \
      >"$work/windows.txt" 2>"$work/wine.log"; then
    fail "the Windows $bits-bit host failed under Wine:"; tail -5 "$work/wine.log"
  fi
  echo -n "Tessuvan_$bits.dll under Wine against libTessuvan_$bits.so: "
  awk -f tests/windows/compare_printouts.awk "$work/linux.txt" "$work/windows.txt" || fail "the $bits-bit printouts differ"
  grep -h "codes:" "$work/windows.txt" | sed 's/^/  /' | head -12
  rm -rf "$work"
}

if ! command -v wine >/dev/null; then
  echo "SKIPPED: Wine is not installed; the Windows hosts were not run (scripts/setup.sh installs it)"
else
  [[ -n "$wineboot_pid" ]] && wait "$wineboot_pid"
  run_pair 64 build/win64 "$linux64" libTessuvan_64.so
  # A kernel that runs 64-bit user code only runs neither the 32-bit Wine nor the Linux twin.
  probe=$(mktemp -d "${TMPDIR:-/tmp}/tessuvan-i386-XXXXXX")
  i386_runs=0
  printf 'int main(void) { return 0; }\n' >"$probe/probe.c"
  gcc -m32 "$probe/probe.c" -o "$probe/probe" 2>/dev/null && "$probe/probe" 2>/dev/null && i386_runs=1
  rm -rf "$probe"
  if ((!i386_runs)); then
    echo "SKIPPED: this kernel runs no 32-bit programs; Tessuvan_32.dll was checked statically only"
  elif [[ -x /usr/lib/wine/wine ]] || command -v wine32 >/dev/null 2>&1; then
    run_pair 32 build/win32 "$linux32" libTessuvan_32.so
  else
    echo "SKIPPED: Wine has no 32-bit part here; Tessuvan_32.dll was checked statically only"
  fi
fi

if ((status == 0)); then echo "Windows builds: every check passed"; else echo "Windows builds: some checks FAILED"; fi
exit $status
