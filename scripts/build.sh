#!/usr/bin/env bash
# Installs what is missing, configures ./build and builds the targets named
# (every target when none is). Every command configures the same build folder
# with the same options (warnings are errors, tests configured), so what one
# command built the next one does not build again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
echo "Configuring the build in $root/build (cmake)…"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSWEEPBROOK_WERROR=ON -DSWEEPBROOK_BUILD_TESTS=ON >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
if [[ $# -eq 0 ]]; then
  echo "Building everything: the app, its tools and every test (cmake --build)…"
else
  echo "Building $* (cmake --build)…"
fi
cmake --build "$root/build" --parallel "$(nproc)" "${targets[@]}"
