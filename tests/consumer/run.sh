#!/usr/bin/env bash
# Installs the library from BUILD into a fresh prefix under WORK (stripped, as a package would),
# builds this folder's host against that copy with find_package and with plain pkg-config, and
# runs both on a private Xvfb, which this script starts and stops by its PID.
set -euo pipefail
build=$1 here=$2 work=$3 cmake=$4 cc=$5
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" --strip >"$work/install.log"
lib=$(find "$prefix" -name libOvraHelper.so.1)
[ -n "$lib" ] || { echo "no libOvraHelper.so.1 under $prefix"; exit 1; }
if readelf -S "$lib" | grep -q '\.debug_info'; then
  echo "installed $lib still carries debug information"; exit 1
fi
libdir=$(dirname "$lib")

# find_package
"$cmake" -S "$here" -B "$work/by-package" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" >/dev/null
"$cmake" --build "$work/by-package" >/dev/null
# pkg-config, no CMake: the way a Makefile would.
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -Werror -o "$work/by-pkg-config" "$here/consumer.c" \
  $(pkg-config --cflags --libs OvraHelper) -Wl,-rpath,"$(pkg-config --variable=libdir OvraHelper)"

Xvfb -screen 0 2880x1800x24 -nolisten tcp -noreset -displayfd 3 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=":$(head -1 "$work/display")"

for program in "$work/by-package/consumer" "$work/by-pkg-config"; do
  # Each must run the installed copy, not the one in the build tree.
  loaded=$(ldd "$program" | awk '$1 == "libOvraHelper.so.1" { print $3 }')
  [ "$(readlink -f "$loaded")" = "$(readlink -f "$lib")" ] || {
    echo "$program loads $loaded, not $lib"; exit 1; }
  "$program"
done
