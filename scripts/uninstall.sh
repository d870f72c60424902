#!/usr/bin/env bash
# Removes what the run command installed: every file its install wrote (the
# list it kept in build/installed_files.txt, the polkit action included), then
# our own folders that this leaves empty. Each user's preferences and clean
# history stay in ~/.config/sweepbrook.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list="$root/build/installed_files.txt"
if [[ ! -f "$list" ]]; then
  echo "Nothing to remove: $list is missing (the run command writes it when it installs Sweepbrook)." >&2
  exit 1
fi
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
echo "Removing the files Sweepbrook's install wrote (listed in $list)…"
# The list has no newline after its last line.
while IFS= read -r file || [[ -n "$file" ]]; do
  if [[ -n "$file" ]]; then $sudo rm -fv -- "$file"; fi
done < "$list"
# Folders named sweepbrook that held installed files, and the empty ones below them.
sed -n 's|^\(.*/sweepbrook\)/.*|\1|p' "$list" | sort -u | while IFS= read -r folder; do
  if [[ -d "$folder" ]]; then $sudo find "$folder" -depth -type d -empty -delete; fi
done
echo "Removed. Your preferences and clean history stay in ~/.config/sweepbrook; delete that folder to forget them."
