#!/usr/bin/env bash
# Builds the libFuzzer harnesses (fuzz/*.cpp) with clang and runs each one
# for a bounded time, as many at once as there are processors
# (FUZZ_JOBS overrides). Fails when any harness finds a
# crash, a sanitizer report, a leak or a failed check, or cannot be built.
#
#   tools/fuzz.sh BUILD_DIR SECONDS [TARGET...]
#
# BUILD_DIR is configured on first use (clang, -DVANTRY_FUZZ=ON). The
# committed seeds in fuzz/corpus/<target>/ are read, never written: what a
# run learns goes to BUILD_DIR/fuzz-corpus/<target>/ and is reused by the
# next run in the same folder. Findings are kept in
# BUILD_DIR/fuzz-findings/<target>/ and the input is named in the output;
# replay one with BUILD_DIR/<target> FILE.
set -uo pipefail

if [ $# -lt 2 ] || ! [[ $2 =~ ^[0-9]+$ ]] || [ "$2" -lt 1 ]; then
  echo "usage: $0 BUILD_DIR SECONDS [TARGET...]" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
seconds=$2
shift 2
mkdir -p "$build"
build=$(cd "$build" && pwd)

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in "$root"/fuzz/*.cpp; do
    targets+=("$(basename "$f" .cpp)")
  done
fi

if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -G Ninja -S "$root" -B "$build" -DVANTRY_FUZZ=ON \
    -DVANTRY_TESTS=OFF >"$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; echo "fuzz: configuration failed" >&2; exit 1; }
fi
ninja -C "$build" "${targets[@]}" || { echo "fuzz: build failed" >&2; exit 1; }

# Longest input per harness: files and datagrams need room for their long
# lines and large frames; the rest stay at libFuzzer's default.
max_len_of() {
  case $1 in
    fuzz_config) echo 20000 ;;     # lines are read in pieces of 16,383
    fuzz_hosts) echo 2048 ;;       # lines longer than 255 are skipped
    fuzz_tzsp) echo 9000 ;;        # the receiver's buffer
    fuzz_tap_decode) echo 66000 ;; # the largest Tap datagram
    fuzz_service_args) echo 9000 ;; # the stored string's buffer
    fuzz_kafka_message) echo 141000 ;; # the largest value (kafka_value_max)
    *) echo 4096 ;;
  esac
}

# One harness; its exit status is written to BUILD_DIR/fuzz-findings/T.rc.
run_one() {
  local t=$1
  local corpus="$build/fuzz-corpus/$t" findings="$build/fuzz-findings/$t"
  local log="$build/fuzz-findings/$t.log"
  mkdir -p "$corpus" "$findings"
  local seeds=()
  [ -d "$root/fuzz/corpus/$t" ] && seeds=("$root/fuzz/corpus/$t")
  # -timeout: one input may take 10 s at most (a hang is a finding);
  # the outer timeout is a guard against a harness that never ends.
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tools/lsan.supp} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
  timeout --kill-after=10 $((seconds + 60)) \
    "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len="$(max_len_of "$t")" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "${seeds[@]}" >"$log" 2>&1
  echo $? >"$build/fuzz-findings/$t.rc"
}

jobs_max=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do
    wait -n
  done
  echo "=== $t: ${seconds}s"
  run_one "$t" &
done
wait

passed=0
failed=0
failures=()
for t in "${targets[@]}"; do
  log="$build/fuzz-findings/$t.log"
  rc=$(cat "$build/fuzz-findings/$t.rc" 2>/dev/null || echo 1)
  echo "--- $t: $(grep -E '^stat::number_of_executed_units|^Done ' "$log" | tail -1)"
  if [ "$rc" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$t")
    echo "--- $t failed (exit $rc); log: $log"
    grep -E 'check failed|ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -20
  fi
done

[ $failed -gt 0 ] && echo "failed: ${failures[*]}"
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
