#!/usr/bin/env bash
# Installs what building and testing Tessuvan needs on a fresh Debian 12 machine.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake g++-multilib          # both builds (x86-64 and i386)
  googletest libbenchmark-dev                 # tests and benchmarks
  libtomlplusplus-dev libcli11-dev libfmt-dev # the command-line host
  libeigen3-dev libnlopt-cxx-dev              # its population estimation
  nlohmann-json3-dev                          # its reading of results and shards
  parallel                                    # shards of simulations side by side (a test)
  gnuplot-nox                                 # its plots
  clang libclang-rt-14-dev                    # fuzzers and sanitizers
  mingw-w64                                   # the Windows DLLs
  qemu-user                                   # i386 programs where the kernel runs 64-bit code only
)
# The Python module and the R package (bindings/), without the many packages Debian recommends
# beside R and testthat.
binding_packages=(
  python3-dev pybind11-dev python3-pybind11   # the Python module, for Debian's /usr/bin/python3
  python3-pandas                              # its data frames
  r-base-dev r-cran-rcpp r-cran-testthat      # the R package and its tests
)
# The Windows test host runs under Wine. Its 32-bit half depends on Debian's i386 indexes,
# which a mirror in mid-sync can leave unusable for a while; without Wine the Windows check
# skips its runs with a note, so these are installed when they can be and never fail set-up.
optional_packages=(wine64 wine32:i386)

SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO="sudo"

# The 32-bit Wine comes from Debian's i386 packages.
refresh=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  refresh=1
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

missing_bindings=()
for package in "${binding_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing_bindings+=("$package")
done

if ((${#missing[@]} || ${#missing_bindings[@]} || refresh)); then
  # A mirror caught mid-sync fails one index now and then; the others still serve the install,
  # so a failed refresh is retried and then left to the install to judge.
  for attempt in 1 2 3; do
    $SUDO apt-get update -qq && break
    echo "apt-get update failed (attempt $attempt)" >&2
    sleep 5
  done
  if ((${#missing[@]})); then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
  fi
  if ((${#missing_bindings[@]})); then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing_bindings[@]}"
  fi
fi

for package in "${optional_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" && continue
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$package" ||
    echo "note: $package could not be installed; the Windows runs it serves will be skipped" >&2
done
