#!/usr/bin/env bash
# Installs every Debian package the project needs. Quiet no-op when all are present.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t pkgs < <(grep -vE '^\s*(#|$)' "$here/packages.txt")

missing=()
for p in "${pkgs[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
echo "Updating the package lists (apt-get update)…"
$sudo apt-get update -q
echo "Installing ${#missing[@]} packages (apt-get install): ${missing[*]}"
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
