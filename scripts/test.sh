#!/usr/bin/env bash
# Builds the tool and the simulator and runs every test: the normal build,
# then the same suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# then the Windows build, run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
orvex_need_packages "${ORVEX_BUILD_PACKAGES[@]}" "${ORVEX_TEST_PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
status=0

echo "== build (release) and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" || status=1

echo "== build (address + undefined-behaviour sanitizers) and tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVEX_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=1

echo "== Windows build (mingw-w64) and its tests under Wine"
bash scripts/test_windows.sh || status=1

exit $status
