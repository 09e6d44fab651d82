#!/usr/bin/env bash
# The main job: builds the library and the demo host, then uses the library the way a host
# application does, through ovra-capture. Runs every demo, or the ones named:
#   scripts/demo.sh [screenshot ...]
# Results land in demo-output/. The screenshot is taken of the X display in DISPLAY; when none
# can be reached, of a private Xvfb showing the built-in test picture.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target OvraHelper ovra-capture ovra-test-picture
out=demo-output
mkdir -p "$out"
capture=build/ovra-capture

# Servers this script starts, stopped by their PIDs when it ends.
started_pids=()
cleanup() {
  for pid in "${started_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT

# Makes DISPLAY name a reachable X server: the user's, or a private Xvfb with the test picture.
ensure_display() {
  if [ -n "${DISPLAY:-}" ] && build/ovra-test-picture --check; then
    echo "using the X display $DISPLAY"
    return
  fi
  local numberfile
  numberfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 2880x1800x24 -nolisten tcp -noreset 3>"$numberfile" 2>/dev/null &
  started_pids+=($!)
  for _ in $(seq 150); do [ -s "$numberfile" ] && break; sleep 0.1; done
  if [ ! -s "$numberfile" ]; then
    echo "Xvfb did not start" >&2
    exit 1
  fi
  export DISPLAY=":$(head -n1 "$numberfile")"
  rm -f "$numberfile"
  build/ovra-test-picture
  echo "no X display could be reached: started a private Xvfb on $DISPLAY (2880x1800) showing the test picture"
}

demo_screenshot() {
  ensure_display
  "$capture" screenshot -o "$out/shot.jpg"
}

# The demos, in the order they run; each is a function demo_<name> above.
demos=(screenshot)

selected=("$@")
[ ${#selected[@]} -eq 0 ] && selected=("${demos[@]}")
for name in "${selected[@]}"; do
  if ! declare -F "demo_$name" >/dev/null; then
    echo "unknown demo '$name' (known: ${demos[*]})" >&2
    exit 2
  fi
  echo "== $name"
  "demo_$name"
done
