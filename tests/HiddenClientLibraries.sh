#!/usr/bin/env bash
# Runs PROGRAM (which links LIB and expects every capture to fail cleanly) on a machine that lacks
# libpulse and libxcb: in a private mount namespace, the system library folder is covered by an
# overlay whose whiteouts hide those files, so the dynamic loader finds them nowhere. The library
# must still load, and each capture must say which library is missing.
# Needs root (mount namespace, overlay); exits 77 (skipped) where it cannot make one.
set -euo pipefail
program=$1 lib=$2 work=$3

if readelf -d "$lib" | grep -E 'NEEDED.*\[lib(pulse|xcb)'; then
  echo "$lib links a client library that it should open on first use"; exit 1
fi

hide=(libpulse.so.0 libxcb-shm.so.0 libxcb-randr.so.0)
expect=("[tap] libpulse.so.0: cannot open shared object file: No such file or directory"
        "[mic] libpulse.so.0: cannot open shared object file: No such file or directory")
if [[ "$(ldd "$lib")" == *libxcb.so.1* ]]; then
  # libswscale's libavutil brings the VA-API stack, and with it libX11 and libxcb: hiding libxcb
  # would keep the library from loading, so only its extensions are hidden.
  echo "note: another linked library still loads libxcb.so.1; it stays visible"
  expect+=("Error: libxcb-shm.so.0: cannot open shared object file: No such file or directory")
else
  hide+=(libxcb.so.1)
  expect+=("Error: libxcb.so.1: cannot open shared object file: No such file or directory")
fi
expect+=("[tap] Failed to start capture: Failed to create process tap (OSStatus 1937010544)"
         "Error: CGDisplayCreateImage returned nil")

[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root for a private mount namespace"; exit 77; }
libfolder=$(dirname "$(readlink -f "$(ldconfig -p | awk '$1 == "libpulse.so.0" { print $NF; exit }')")")
rm -rf "$work"
mkdir -p "$work/layers"

hidden_run() {  # runs in the namespace: hide, then run the program with its output in $work
  mount -t tmpfs tmpfs "$work/layers"
  mkdir "$work/layers/upper" "$work/layers/work"
  for name in "${hide[@]}"; do mknod "$work/layers/upper/$name" c 0 0; done
  mount -t overlay overlay \
    -o "lowerdir=$libfolder,upperdir=$work/layers/upper,workdir=$work/layers/work" "$libfolder"
  set +e
  "$program" >"$work/stdout" 2>"$work/stderr"
  echo $? >"$work/status"
}
export -f hidden_run
export program work libfolder
export HIDE="${hide[*]}"
if ! unshare -m bash -c 'set -e; hide=($HIDE); hidden_run' 2>"$work/unshare.log"; then
  echo "skipped: no private mount namespace here:"; cat "$work/unshare.log"; exit 77
fi

cat "$work/stderr"
status=$(cat "$work/status")
[ "$status" -eq 0 ] || { echo "$program failed ($status) without ${hide[*]}"; cat "$work/stdout"; exit 1; }
for line in "${expect[@]}"; do
  grep -qxF "$line" "$work/stderr" || { echo "missing line: $line"; exit 1; }
done
echo "loaded and failed each capture cleanly without ${hide[*]}"
