#!/usr/bin/env bash
# Builds, runs the app's smoke test under Xvfb (a real FAT stick is scanned and
# cleaned; needs root for the loop device and FUSE mount) and keeps its window
# grab of the scanned stick as docs/screenshot.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
cmake --build "$root/build" --target test_app_smoke >/dev/null

grab="$root/build/tests/app/grabs/scanned-device.png"
rm -f "$grab"
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/config" "$home/runtime"
chmod 700 "$home/runtime"
SWEEPBROOK_SMOKE_EXFAT=1 HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x800x24" "$root/build/tests/app/test_app_smoke" >/dev/null
if [[ ! -f "$grab" ]]; then
  echo "The smoke test made no window grab (was it skipped? it needs root, loop devices and FUSE)." >&2
  exit 1
fi
mkdir -p "$root/docs"
cp "$grab" "$root/docs/screenshot.png"
echo "Saved docs/screenshot.png"
