#!/usr/bin/env bash
# Builds, runs the app's smoke test under Xvfb (a real FAT stick is scanned and
# cleaned; needs root for the loop device and FUSE mount) and keeps its grabs
# of the scanned stick and of the settings sheet as docs/screenshot.png and
# docs/settings.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh" test_app_smoke

grabs="$root/build/tests/app/grabs"
grab="$grabs/scanned-device.png"
sheet="$grabs/settings-sheet.png"
rm -f "$grab" "$sheet"
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/config" "$home/runtime"
chmod 700 "$home/runtime"
SWEEPBROOK_SMOKE_EXFAT=1 HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=xcb \
  SWEEPBROOK_TEST_SCREEN=1280x800x24 "$root/build/tests/app/test_app_smoke" >/dev/null
if [[ ! -f "$grab" || ! -f "$sheet" ]]; then
  echo "The smoke test made no window grab (was it skipped? it needs root, loop devices and FUSE)." >&2
  exit 1
fi
mkdir -p "$root/docs"
cp "$grab" "$root/docs/screenshot.png"
cp "$sheet" "$root/docs/settings.png"
echo "Saved docs/screenshot.png and docs/settings.png"
