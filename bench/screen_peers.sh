#!/usr/bin/env bash
# The screenshot against what a user would otherwise run, side by side in one run, on a private
# Xvfb showing the demo's test picture at 2880x1800 and 3456x2234:
#   - ov_capture_screen through dlopen (median of the in-process call, ovra-capture -n), and the
#     whole ovra-capture process (start, dlopen, one call, write the file), as the peers are timed;
#   - ImageMagick: import -window root -resize 1920x -quality 50
#   - ffmpeg: one x11grab frame scaled to 1920 wide (bicubic), mjpeg at -q:v 8 (about quality 50)
# then build/bench/screen_capture for the phases and memory, and build/bench/screen_scaler.
# Installs the peer tools (and libvips for the scaler comparison) when missing; they are for
# measuring only, so they are not in scripts/deps.sh.
#   bash bench/screen_peers.sh            RUNS=N sets the runs per peer (default 11)
set -euo pipefail
cd "$(dirname "$0")/.."
peers=(imagemagick ffmpeg libvips42)
missing=()
for p in "${peers[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install first: sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build=${BUILD:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target OvraHelper ovra-capture ovra-test-picture \
  screen_capture screen_scaler >/dev/null
runs=${RUNS:-11}
tmp=$(mktemp -d)
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

now_us() { echo $(( $(date +%s%N) / 1000 )); }
# Median wall time, in ms, of `runs` runs of the command.
median_ms() {
  local times=() t0 t1
  for _ in $(seq "$runs"); do
    t0=$(now_us); "$@" >/dev/null 2>&1; t1=$(now_us)
    times+=($(( t1 - t0 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk -v n="$runs" 'NR == int((n + 1) / 2) { printf "%.1f", $1 / 1000 }'
}

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at start"
for size in 2880x1800 3456x2234; do
  width=${size%x*}
  Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset 3>"$tmp/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 150); do [ -s "$tmp/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$tmp/display")"
  "$build/ovra-test-picture"

  ours_line=$("$build/ovra-capture" screenshot -o "$tmp/ours.jpg" -n 30 | tail -n1)
  ours=$(sed -E 's/.*median ([0-9.]+) ms.*/\1/' <<<"$ours_line")
  ours_process=$(median_ms "$build/ovra-capture" screenshot -o "$tmp/ours.jpg")
  magick=$(median_ms import -window root -resize 1920x -quality 50 "$tmp/im.jpg")
  ffmpeg_ms=$(median_ms ffmpeg -loglevel error -y -f x11grab -video_size "$size" -i "$DISPLAY" \
    -frames:v 1 -vf scale=1920:-2:flags=bicubic -q:v 8 "$tmp/ff.jpg")
  size_ours=$(stat -c %s "$tmp/ours.jpg"); size_im=$(stat -c %s "$tmp/im.jpg"); size_ff=$(stat -c %s "$tmp/ff.jpg")
  fastest=$(printf '%s\n%s\n' "$magick" "$ffmpeg_ms" | sort -n | head -n1)

  echo
  echo "### $size -> $(identify -format '%wx%h' "$tmp/ours.jpg") ($runs runs per peer, ours: median of 30 calls)"
  echo
  echo "| what | median | vs ours (call) | JPEG bytes |"
  echo "|---|---|---|---|"
  echo "| ov_capture_screen, in-process call | $ours ms | 1x | $size_ours |"
  echo "| ovra-capture screenshot, whole process | $ours_process ms | $(awk -v a="$ours_process" -v b="$ours" 'BEGIN{printf "%.1fx", a/b}') | $size_ours |"
  echo "| import -window root -resize 1920x -quality 50 | $magick ms | $(awk -v a="$magick" -v b="$ours" 'BEGIN{printf "%.1fx", a/b}') | $size_im |"
  echo "| ffmpeg -f x11grab ... -q:v 8, one frame | $ffmpeg_ms ms | $(awk -v a="$ffmpeg_ms" -v b="$ours" 'BEGIN{printf "%.1fx", a/b}') | $size_ff |"
  echo
  echo "fastest peer / ours: $(awk -v a="$fastest" -v b="$ours" 'BEGIN{printf "%.1fx", a/b}');" \
    "our JPEG / ImageMagick's q50: $(awk -v a="$size_ours" -v b="$size_im" 'BEGIN{printf "%+.1f%%", (a/b-1)*100}')"
  echo
  echo "phases and memory (build/bench/screen_capture):"
  "$build/bench/screen_capture" --library "$build/libOvraHelper.so.1" 2>/dev/null |
    grep -E '^(memory|BM_)'

  kill "$xvfb_pid"; wait "$xvfb_pid" 2>/dev/null || true; xvfb_pid=
  rm -f "$tmp/display"
done

echo
echo "scalers at 2880x1800 -> 1920x1200 (build/bench/screen_scaler):"
"$build/bench/screen_scaler" 2>/dev/null | grep -E '^BM_'
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
