#!/usr/bin/env bash
# Private servers for the bindings' tests and benchmarks: a PulseAudio whose default sink
# "speakers" (48 kHz stereo) plays 660 Hz and whose default source "mic" (a remapped null sink,
# 44.1 kHz mono) hears 440 Hz, and an Xvfb. Prints NAME=VALUE lines for a client, then "ready";
# runs until its standard input closes, then stops everything it started by PID.
#   servers.sh [SECONDS_OF_TONE]
set -euo pipefail
seconds=${1:-600}
dir=$(mktemp -d /tmp/ovra-bindings-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

mkdir -p "$dir/run" "$dir/xdg"
export PULSE_RUNTIME_PATH=$dir/run XDG_RUNTIME_DIR=$dir/xdg PULSE_SERVER=unix:$dir/run/native HOME=$dir
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
  --realtime=no --high-priority=no \
  -L 'module-null-sink sink_name=speakers rate=48000 channels=2' \
  -L 'module-native-protocol-unix auth-anonymous=1' >"$dir/pulse.log" 2>&1 &
pids+=($!)
for _ in $(seq 150); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null 2>&1 || { echo "PulseAudio did not start: $(cat "$dir/pulse.log")" >&2; exit 1; }
pactl load-module module-null-sink sink_name=mic.sink rate=44100 channels=1 >/dev/null
pactl load-module module-remap-source master=mic.sink.monitor source_name=mic >/dev/null
pactl set-default-sink speakers
pactl set-default-source mic
sox -n -r 48000 -c 2 -b 16 "$dir/system.wav" synth "$seconds" sine 660 gain -12
sox -n -r 44100 -c 1 -b 16 "$dir/mic.wav" synth "$seconds" sine 440 gain -12
# Low-latency players keep the null sinks rendering in small blocks, as sound cards do.
paplay -d speakers --latency-msec=20 "$dir/system.wav" >/dev/null 2>&1 &
pids+=($!)
paplay -d mic.sink --latency-msec=20 "$dir/mic.wav" >/dev/null 2>&1 &
pids+=($!)

exec 3>"$dir/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset >"$dir/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 150); do [ -s "$dir/display" ] && break; sleep 0.1; done
[ -s "$dir/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
sleep 1.5  # until the blocks the null sinks rendered before the players came are played out

echo "PULSE_SERVER=$PULSE_SERVER"
echo "PULSE_RUNTIME_PATH=$PULSE_RUNTIME_PATH"
echo "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR"
echo "DISPLAY=:$(head -n1 "$dir/display")"
echo ready
cat >/dev/null || true  # until the caller closes our standard input
