#!/usr/bin/env bash
# Installs what building and testing Tessuvan needs on a fresh Debian 12 machine.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake g++-multilib          # both builds (x86-64 and i386)
  googletest libbenchmark-dev                 # tests and benchmarks
  libtomlplusplus-dev libcli11-dev libfmt-dev # the command-line host
  gnuplot-nox                                 # its plots
  clang libclang-rt-14-dev                    # fuzzers and sanitizers
  mingw-w64 wine64 wine32:i386                # the Windows DLLs and their test host under Wine
)

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

if ((${#missing[@]} || refresh)); then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
