#!/usr/bin/env bash
# Builds with warnings as errors and runs every test: the unit, protocol and end-to-end suite
# (the end-to-end tests start their own PulseAudio server and Xvfb), then the whole suite again
# under AddressSanitizer + UndefinedBehaviorSanitizer, then the concurrency tests and the stress
# test under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)
configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVRA_WERROR=ON "$@" >/dev/null
}

echo "== build (warnings as errors)"
configure build
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure build-asan -DOVRA_SANITIZE=address -DOVRA_BENCH=OFF
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer (concurrency tests, stress test against the real servers)"
configure build-tsan -DOVRA_SANITIZE=thread -DOVRA_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target ovra_concurrency_tests ovra_stress_tests
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/../tests/tsan.supp" \
  ctest --output-on-failure -L "concurrency|stress" -j "$jobs")
