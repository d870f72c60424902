#!/usr/bin/env bash
# Installs the packages, builds the app with its tools, string tables and
# install files (no tests), installs Sweepbrook (as root or through sudo: its
# administrator tool must belong to root) and starts the installed app.
# Without a display it runs on a virtual display (Xvfb) that nothing shows,
# and says so.
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
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "No display found: starting $app on a virtual display (Xvfb) that nothing shows."
  echo "Its window cannot be seen or used from here; run this command in a desktop session for that."
  echo "It runs until you stop it: press Ctrl+C."
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$app"
fi
echo "Starting $app"
exec "$app"
