#!/usr/bin/env bash
# Builds both targets and runs every test: native, under AddressSanitizer
# and UndefinedBehaviorSanitizer, and the Windows build under Wine.
# End-to-end tests that need network namespaces run when started as root.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

tools/install-deps.sh || exit 1

passed=0
failed=0
failures=()
step() {
  local name=$1
  shift
  echo "=== $name"
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
  fi
  echo "=== $name: $((SECONDS - start)) s"
}

configure_and_build() {
  local dir=$1
  shift
  cmake -G Ninja -S "$root" -B "$dir" "$@" >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  ninja -C "$dir"
}

# The map and the layers, read from the tree: seconds, and first, so that a drift shows before the builds.
step "documents against the tree (map, test names)" tools/check_docs.sh
step "layers (#include lines)" tools/check_layers.sh

mkdir -p build build-san build-win build-fuzz build-pkg build-win-pkg
export WINEPREFIX=$root/build-win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# VANTRY_TEST_HOOKS: the tests force the sender's fallbacks (docs/performance.md).
step "build native" configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRY_WERROR=ON -DVANTRY_TEST_HOOKS=ON
step "build sanitizers" configure_and_build build-san -DCMAKE_BUILD_TYPE=Debug -DVANTRY_SANITIZE=ON -DVANTRY_WERROR=ON \
  -DVANTRY_TEST_HOOKS=ON
step "build windows" configure_and_build build-win -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRY_WERROR=ON \
  -DVANTRY_TEST_HOOKS=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake

step "tests native" ctest --test-dir build --output-on-failure --timeout 900
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$root/tools/lsan.supp UBSAN_OPTIONS=print_stacktrace=1 \
  step "tests sanitizers" ctest --test-dir build-san --output-on-failure --timeout 900
step "tests windows (wine)" ctest --test-dir build-win --output-on-failure --timeout 900
# The step before left its wineserver lingering a few seconds after its last
# client: a program that meets it on its way out can be ended with it.
timeout 60 wineserver -w 2>/dev/null

if [ -x build/vantry_e2e ] && [ -f build-win/vantry_remote.exe ]; then
  step "e2e windows tzsp (wine)" env VANTRY_RUN_PREFIX=wine VANTRY_WIN_BIN_DIR="$root/build-win" \
    build/vantry_e2e --gtest_filter='Tzsp*:Cli*'
fi
if [ -x tests/wine/service_life.sh ]; then
  step "windows service life (wine)" tests/wine/service_life.sh "$root/build-win"
fi

# The packages: the .deb installed, checked and removed on this machine (root only: CI's is a throwaway one), the
# Windows zip and installer under Wine.
if [ "$(id -u)" -eq 0 ]; then
  step "debian package (install, check, remove)" tools/test_packages.sh "$root/build-pkg"
fi
step "windows zip and installer (wine)" tools/test_win_packages.sh "$root/build-win-pkg"

# Every parser of outside input under libFuzzer, for a bounded time each.
if [ -x tools/fuzz.sh ] && [ "${VANTRY_FUZZ_SECONDS:-30}" -gt 0 ]; then
  step "fuzz (${VANTRY_FUZZ_SECONDS:-30} s per target)" tools/fuzz.sh "$root/build-fuzz" "${VANTRY_FUZZ_SECONDS:-30}"
fi

echo
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
