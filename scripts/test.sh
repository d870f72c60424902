#!/usr/bin/env bash
# Installs, builds (warnings are errors) and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
cd "$root/build"
echo "Running every test (ctest)…"
ctest --output-on-failure --parallel "$(nproc)" "$@"
