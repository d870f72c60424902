#!/usr/bin/env bash
# Installs, builds and starts Sweepbrook. Without a display it runs under Xvfb.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
app="$root/build/bin/sweepbrook"
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "No display found: starting Sweepbrook under Xvfb."
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$app"
fi
exec "$app"
