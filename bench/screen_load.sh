#!/usr/bin/env bash
# The scaler's share of loading the library, and what a screenshot keeps, before and after a
# change, side by side in one run: BEFORE=<dir of the earlier libOvraHelper.so.1> and the
# current build (BUILD, default build).
#   - dlopen in 20 fresh processes per library (bench/library_load): median time, objects
#     mapped, how many are video/GPU/scaler libraries; then the same after a first screenshot
#     of a 2880x1800 Xvfb showing the test picture;
#   - the whole ov_capture_screen on that Xvfb (bench/screen_capture, in-process, each library);
#   - the resident set after one 8192x8192 screenshot and 20 more after an xrandr switch of the
#     same server to 2880x1800.
#   BEFORE=/path/to/old/build bash bench/screen_load.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
before=${BEFORE:?set BEFORE to the build directory of the earlier library}
cmake --build "$build" -j2 --target OvraHelper library_load screen_capture ovra-test-picture >/dev/null
tmp=$(mktemp -d)
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
start_xvfb() {
  rm -f "$tmp/display"
  Xvfb -displayfd 3 -screen 0 "$1x24" -nolisten tcp -noreset 3>"$tmp/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 150); do [ -s "$tmp/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$tmp/display")"
}
stop_xvfb() { kill "$xvfb_pid"; wait "$xvfb_pid" 2>/dev/null || true; xvfb_pid=; }
# Median of field $2 (1-based, awk) over 20 runs of library_load with the given arguments.
median_of() {
  local field=$1; shift
  for _ in $(seq 20); do "$build/bench/library_load" "$@" | sed -n "${LINE:-1}p"; done |
    awk -v f="$field" '{print $f}' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at start"
start_xvfb 2880x1800
"$build/ovra-test-picture"
for lib in "$before/libOvraHelper.so.1" "$build/libOvraHelper.so.1"; do
  echo
  echo "== $lib"
  echo "dlopen, median of 20 processes: $(median_of 2 "$lib") ms;" \
    "$("$build/bench/library_load" "$lib" | sed -E 's/^dlopen: [0-9.]+ ms, //')"
  echo "first screenshot (2880x1800), median of 20 processes: $(LINE=2 median_of 3 "$lib" --screenshot) ms;" \
    "$("$build/bench/library_load" "$lib" --screenshot | sed -n 2p | sed -E 's/^first screenshot: [0-9.]+ ms, //')"
  "$build/bench/screen_capture" --library "$lib" --benchmark_filter=BM_ov_capture_screen \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '^(memory|BM_)'
done
stop_xvfb

start_xvfb 8192x8192
"$build/ovra-test-picture"
xrandr --newmode m2880 100 2880 2900 2920 2940 1800 1801 1802 1803
xrandr --addmode screen m2880
for lib in "$before/libOvraHelper.so.1" "$build/libOvraHelper.so.1"; do
  xrandr --output screen --mode 8192x8192 --fb 8192x8192
  echo "== $lib: $("$build/bench/library_load" "$lib" --shrink | tail -n1)"
done
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
