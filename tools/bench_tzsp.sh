#!/bin/sh
# Builds the TZSP load test and runs it.
#   tools/bench_tzsp.sh [build folder] [seconds per case] [frame sizes...]
# Example: tools/bench_tzsp.sh build-bench 5 64 512 1400
# For a profile of the tap alone:
#   BENCH_MODES=tap perf record -g -o tzsp.perf -- BUILD/bench_tzsp 5 64
#   perf report -i tzsp.perf --comm vantry_remote --no-children
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
shift 2>/dev/null || true
cmake -G Ninja -S "$src" -B "$build" -DVANTRY_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" vantry_remote bench_tzsp >/dev/null
exec "$build/bench_tzsp" "$@"
