#!/usr/bin/env bash
# Installs, builds (warnings are errors) and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh" -DSWEEPBROOK_WERROR=ON -DSWEEPBROOK_BUILD_TESTS=ON
cd "$root/build"
ctest --output-on-failure --parallel "$(nproc)" "$@"
