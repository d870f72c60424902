#!/usr/bin/env bash
# Installs the packages, builds the app with its tools, string tables and
# install files (no tests), installs Sweepbrook (as root or through sudo: its
# administrator tool must belong to root) and starts the installed app.
# Without a display it runs under Xvfb.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh" sweepbrook install_files
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$root/build/CMakeCache.txt")
bindir=$(sed -n 's/^CMAKE_INSTALL_BINDIR:PATH=//p' "$root/build/CMakeCache.txt")
echo "Installing Sweepbrook under $prefix (cmake --install)…"
$sudo cmake --install "$root/build"
app="$prefix/${bindir:-bin}/sweepbrook"
echo "Installed. To remove Sweepbrook again: $root/scripts/uninstall.sh"
echo "Starting $app"
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "No display found: starting Sweepbrook under Xvfb."
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$app"
fi
exec "$app"
