#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# As root it runs apt-get; otherwise it prints the apt-get line and fails.
set -euo pipefail

packages=(
  cmake g++ make pkg-config binutils gdb
  libgtest-dev libgmock-dev libbenchmark-dev
  libpulse-dev libsoxr-dev libspeexdsp-dev uuid-dev
  libturbojpeg0-dev libjpeg62-turbo-dev libyuv-dev libswscale-dev libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev
  libwayland-dev
  pulseaudio pulseaudio-utils xvfb x11-xserver-utils sox
  libdbus-1-dev libpng-dev dbus-daemon python3-dbus python3-gi pipewire pipewire-pulse wireplumber sway swaybg grim xwayland
  xdg-desktop-portal xdg-desktop-portal-wlr xdg-desktop-portal-gtk
  nodejs python3-pytest
  "$@"
)
# The Node package's build: npm and the Node-API headers, unless the installed nodejs ships them.
command -v npm >/dev/null || packages+=(npm)
[ -e /usr/include/node/node_api.h ] || packages+=(libnode-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
