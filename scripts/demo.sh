#!/usr/bin/env bash
# The main job: builds the library and the demo host, then uses the library the way a host
# application does, through ovra-capture. Runs every demo, or the ones named:
#   scripts/demo.sh [screenshot mic all ...]
# Results land in demo-output/. The screenshot is taken of the X display in DISPLAY; when none
# can be reached, of a private Xvfb showing the built-in test picture. The microphone is the
# default source of the user's PulseAudio server; when no server answers, a fake microphone on a
# private one. System audio is what the user's server plays on its default sink; on a private
# server, a test tone.
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
  "$capture" screenshot -o "$out/shot.jpg" -n 10
}

# Makes libpulse find a server: the user's, or a private one started here, with a 48 kHz
# "speakers" sink, whose runtime folder is used from then on.
ensure_pulse_server() {
  if pactl info >/dev/null 2>&1; then
    echo "using the PulseAudio server at $(pactl info | sed -n 's/^Server String: //p')"
    return
  fi
  local dir
  dir=$(mktemp -d /tmp/ovra-demo-pulse-XXXXXX)
  mkdir -p "$dir/run" "$dir/xdg"
  export PULSE_RUNTIME_PATH=$dir/run XDG_RUNTIME_DIR=$dir/xdg PULSE_SERVER=unix:$dir/run/native
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
    --realtime=no --high-priority=no \
    -L 'module-null-sink sink_name=speakers rate=48000' \
    -L 'module-native-protocol-unix auth-anonymous=1' >"$dir/server.log" 2>&1 &
  started_pids+=($!)
  for _ in $(seq 150); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  if ! pactl info >/dev/null 2>&1; then
    echo "no PulseAudio server could be started (see $dir/server.log)" >&2
    exit 1
  fi
  pactl set-default-sink speakers
  private_pulse=$dir
  echo "no PulseAudio server could be reached: started a private one ($PULSE_SERVER)"
}

# Makes sure the default source is a microphone. On a private server: a fake one, a null sink
# remapped into a real source, hearing a 440 Hz tone played at a real microphone's pace.
ensure_microphone() {
  ensure_pulse_server
  local source
  source=$(pactl get-default-source 2>/dev/null || true)
  if [ -z "${private_pulse:-}" ]; then
    echo "recording from the default source: $source"
    return
  fi
  if [ "$source" = demo-mic ]; then return; fi
  pactl load-module module-null-sink sink_name=demo-mic.sink rate=44100 channels=1 >/dev/null
  pactl load-module module-remap-source master=demo-mic.sink.monitor source_name=demo-mic >/dev/null
  pactl set-default-sink speakers
  pactl set-default-source demo-mic
  sox -n -r 44100 -c 1 -b 16 "$private_pulse/mic-tone.wav" synth 120 sine 440 gain -12
  paplay -d demo-mic.sink --latency-msec=20 "$private_pulse/mic-tone.wav" >/dev/null 2>&1 &
  started_pids+=($!)
  echo "fake microphone 'demo-mic' (44.1 kHz mono) hears a 440 Hz tone"
}

# Makes sure something plays on the default sink. On a private server: the default test tone, a
# 660 Hz sine into "speakers".
ensure_system_audio() {
  ensure_pulse_server
  if [ -z "${private_pulse:-}" ]; then
    echo "recording what plays on the default sink: $(pactl get-default-sink 2>/dev/null || true)"
    return
  fi
  [ -n "${system_tone_pid:-}" ] && return
  sox -n -r 48000 -c 2 -b 16 "$private_pulse/system-tone.wav" synth 120 sine 660 gain -12
  # A low-latency player keeps the null sink rendering in small blocks, as a sound card does;
  # otherwise it renders up to 2 s ahead, and a monitor opened meanwhile waits that long.
  paplay -d speakers --latency-msec=20 "$private_pulse/system-tone.wav" >/dev/null 2>&1 &
  system_tone_pid=$!
  started_pids+=($!)
  sleep 2  # until the blocks rendered before the player came are played out
  echo "the private server's 'speakers' play a 660 Hz test tone"
}

demo_system-audio() {
  ensure_system_audio
  "$capture" system-audio --seconds 4 -o "$out/system-audio.wav"
}

demo_mic() {
  ensure_microphone
  "$capture" mic --seconds 4 -o "$out/mic.wav"
}

demo_all() {
  ensure_display
  ensure_system_audio
  ensure_microphone
  "$capture" all --seconds 4 -o "$out/all"
}

# The README's first code block in `language`: its examples run as written, from the checkout.
readme_example() {
  awk -v fence='```'"$1" '$0 == fence {on = 1; next} on && $0 == "```" {exit} on' README.md
}

# Runs a README example with the built library; its files go to demo-output/<name>/.
run_readme_example() {  # name, command...
  local name=$1; shift
  ensure_display
  ensure_system_audio
  ensure_microphone
  OVRAHELPER_LIBRARY=$PWD/build/libOvraHelper.so.1 PYTHONPATH=$PWD/bindings/python "$@"
  mkdir -p "$out/$name"
  mv system.wav mic.wav shot.jpg "$out/$name/"
  ls -l "$out/$name"
}

demo_node() {
  (cd bindings/node && npm run --silent build)
  run_readme_example node node -e "$(readme_example js)"
}

demo_python() {
  run_readme_example python /usr/bin/python3 -c "$(readme_example python)"
}

# The demos, in the order they run; each is a function demo_<name> above.
demos=(screenshot system-audio mic all node python)

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
