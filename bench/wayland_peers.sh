#!/usr/bin/env bash
# The screenshot on a headless sway desktop (2880x1800, software renderer) against grim, the
# reference screen-copy client, side by side in one run; and the first call in a process against
# the later ones, on Wayland and on X11 (a private Xvfb of the same size):
#   - ov_capture_screen through the screen-copy route: ovra-capture screenshot -n 30 run as the
#     desktop's user (first call; median of the 29 after it), and the whole ovra-capture process;
#   - grim -t ppm - > /dev/null: capture and write the raw picture, no scaling, no JPEG;
#   - the first call of a fresh process, median over RUNS processes, on both displays.
# sway runs as nobody (it refuses root) with its own XDG_RUNTIME_DIR, like the e2e fixture.
#   bash bench/wayland_peers.sh            RUNS=N sets the runs per figure (default 11)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
cmake --build "$build" -j2 --target OvraHelper ovra-capture ovra-test-picture >/dev/null
runs=${RUNS:-11}
tmp=$(mktemp -d)
chmod 755 "$tmp"
sway_pid=
xvfb_pid=
cleanup() {
  for p in $sway_pid $xvfb_pid; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

now_us() { echo $(( $(date +%s%N) / 1000 )); }
median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] }'; }
# Median wall time, in ms, of `runs` runs of the command.
median_ms() {
  local t0 t1
  for _ in $(seq "$runs"); do
    t0=$(now_us); "$@" >/dev/null 2>&1; t1=$(now_us)
    echo $(( t1 - t0 ))
  done | median | awk '{ printf "%.1f", $1 / 1000 }'
}
# ovra-capture's "first call A ms; the next N: median B ms" line as "A B".
calls() { sed -E 's/.*first call ([0-9.]+) ms.*median ([0-9.]+) ms.*/\1 \2/' <<<"$1"; }
# The median of the first call over `runs` fresh processes of "$@ screenshot -n 2".
first_calls() {
  for _ in $(seq "$runs"); do calls "$("$@" screenshot -o "$shots/first.jpg" -n 2 | tail -n1)" | cut -d' ' -f1; done | median
}

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at start"

# A picture with detail for the encoder: four colour quarters with a gradient and fine stripes.
python3 - "$tmp/picture.ppm" <<'PY'
import sys
w, h = 2880, 1800
row = bytearray()
rows = []
for y in range(0, h, 8):
    line = bytearray()
    for x in range(w):
        q = (x >= w // 2) + 2 * (y >= h // 2)
        c = [(220, 30, 30), (30, 200, 40), (30, 40, 210), (230, 220, 40)][q]
        g = (x + y) % 64
        stripe = 0 if (x // 3) % 7 == 0 else 1
        line += bytes(min(255, (v + g) * stripe) for v in c)
    rows.append(bytes(line) * 8)
with open(sys.argv[1], "wb") as f:
    f.write(b"P6\n%d %d\n255\n" % (w, h))
    f.write(b"".join(rows)[: w * h * 3])
PY
chmod 644 "$tmp/picture.ppm"

run="$tmp/run"; shots="$tmp/shots"
mkdir -m 700 "$run"; chown nobody:nogroup "$run"
mkdir -m 777 "$shots"
printf 'output HEADLESS-1 mode 2880x1800 position 0 0\nxwayland disable\n' >"$tmp/sway.conf"
chmod 644 "$tmp/sway.conf"
env -u WAYLAND_DISPLAY -u DISPLAY XDG_RUNTIME_DIR="$run" HOME="$tmp" WLR_BACKENDS=headless \
  WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
  setpriv --reuid=nobody --regid=nogroup --clear-groups sway -c "$tmp/sway.conf" >"$tmp/sway.log" 2>&1 &
sway_pid=$!
for _ in $(seq 100); do ls "$run"/sway-ipc.* >/dev/null 2>&1 && ls "$run"/wayland-? >/dev/null 2>&1 && break; sleep 0.1; done
socket=$(basename "$(ls "$run"/wayland-? | head -n1)")
swaymsg -s "$(ls "$run"/sway-ipc.* | head -n1)" output HEADLESS-1 bg "$tmp/picture.ppm" fill >/dev/null
sleep 1
as_user=(env -u DISPLAY XDG_RUNTIME_DIR="$run" WAYLAND_DISPLAY="$socket" OVRA_SCREEN_ROUTE=
  setpriv --reuid=nobody --regid=nogroup --clear-groups)

read -r wl_first wl_warm < <(calls "$("${as_user[@]}" "$build/ovra-capture" screenshot -o "$shots/ours.jpg" -n 30 | tail -n1)")
wl_process=$(median_ms "${as_user[@]}" "$build/ovra-capture" screenshot -o "$shots/ours.jpg")
grim_ms=$(median_ms "${as_user[@]}" sh -c 'grim -t ppm - >/dev/null')
wl_firsts=$(first_calls "${as_user[@]}" "$build/ovra-capture")

echo
echo "### Wayland: headless sway 1.7, 2880x1800 -> $(identify -format '%wx%h' "$shots/ours.jpg" 2>/dev/null || echo 1920x1200) ($runs runs per figure)"
echo
echo "| what | median | vs grim |"
echo "|---|---|---|"
echo "| ov_capture_screen, screen-copy route, in-process call after the first | $wl_warm ms | $(awk -v a="$wl_warm" -v b="$grim_ms" 'BEGIN{printf "%.2fx", a/b}') |"
echo "| ov_capture_screen, first call of a process | $wl_firsts ms (this run's: $wl_first ms) | |"
echo "| ovra-capture screenshot, whole process | $wl_process ms | $(awk -v a="$wl_process" -v b="$grim_ms" 'BEGIN{printf "%.2fx", a/b}') |"
echo "| grim -t ppm - > /dev/null, whole process | $grim_ms ms | 1x |"

Xvfb -displayfd 3 -screen 0 2880x1800x24 -nolisten tcp -noreset 3>"$tmp/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 150); do [ -s "$tmp/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$tmp/display")"
unset WAYLAND_DISPLAY
"$build/ovra-test-picture"
read -r x_first x_warm < <(calls "$("$build/ovra-capture" screenshot -o "$shots/x11.jpg" -n 30 | tail -n1)")
x_firsts=$(first_calls "$build/ovra-capture")
echo
echo "### X11: Xvfb 2880x1800, the demo's test picture"
echo
echo "| what | median |"
echo "|---|---|"
echo "| ov_capture_screen, in-process call after the first | $x_warm ms |"
echo "| ov_capture_screen, first call of a process | $x_firsts ms (this run's: $x_first ms) |"
echo
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
