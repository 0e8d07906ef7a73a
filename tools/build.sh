#!/usr/bin/env bash
# Installs what is missing and builds the native programs into build/
# (vantry_remote and vantry_collector).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build vantry_remote vantry_collector
