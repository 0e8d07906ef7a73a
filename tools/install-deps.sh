#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Safe to run again: only missing packages are fetched.
set -euo pipefail

mapfile -t packages < <(grep -v '^#' "$(dirname "$0")/packages.txt" | tr ' ' '\n' | grep -v '^$')

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
