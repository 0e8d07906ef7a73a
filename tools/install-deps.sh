#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Safe to run again: only missing packages are fetched.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  libpcap-dev googletest libgtest-dev libgmock-dev
  g++-mingw-w64-x86-64-posix wine wine64
  iproute2 iputils-ping tcpdump procps
  libbenchmark-dev libcrypto++-dev
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
