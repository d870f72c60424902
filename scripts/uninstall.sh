#!/usr/bin/env bash
# Removes Sweepbrook as its install left it: every file in the list of
# installed files the install keeps in the prefix (the polkit action
# included), the list, then each folder the install made, once it is empty.
#
#   scripts/uninstall.sh [prefix]
#
# The prefix is the one build/ was configured with, /usr/local without build/.
# The list is used only while root alone can change it and every folder above
# it, and only when each of its lines names a file below the prefix, the
# polkit action or a folder. Each user's preferences and clean history stay in
# ~/.config/sweepbrook.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache="$root/build/CMakeCache.txt"
prefix=/usr/local datadir=share
if [[ -f "$cache" ]]; then
  prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$cache")
  datadir=$(sed -n 's/^CMAKE_INSTALL_DATADIR:PATH=//p' "$cache")
fi
prefix=${1:-$prefix}
prefix=${prefix%/}
[[ "$datadir" == /* ]] || datadir="$prefix/${datadir:-share}"
list="$datadir/sweepbrook/installed_files.txt"
action=org.sweepbrook.admin-clean.policy

refuse() {
  echo "Not removing anything: $*" >&2
  exit 1
}

# Fails, saying why, unless root alone can change `path`: it and every folder
# above it belong to root and are writable by no one else, as written and
# with its links resolved.
root_only() {
  local path=$1 resolved at name uid mode checked=()
  resolved=$(realpath -e -- "$path") || { echo "$path cannot be looked at"; return 1; }
  for at in "$path" "$resolved"; do
    checked+=(/)
    local walked=""
    IFS=/ read -ra names <<< "$at"
    for name in "${names[@]}"; do
      if [[ -n "$name" ]]; then walked="$walked/$name"; checked+=("$walked"); fi
    done
  done
  while read -r uid mode name; do
    if [[ "$uid" != 0 ]]; then echo "$name does not belong to root"; return 1; fi
    if (( (8#$mode & 8#022) != 0 )); then echo "$name may be changed by others than root"; return 1; fi
  done < <(stat -L -c '%u %a %n' -- "${checked[@]}")
}

# An absolute path with no empty, "." or ".." name in it.
plain() {
  [[ "$1" == /?* && "$1/" != *//* && "$1/" != */./* && "$1/" != */../* ]]
}

plain "$prefix" || refuse "the prefix \"$prefix\" is not an absolute path of its own."
if [[ ! -e "$list" ]]; then
  refuse "there is no list of installed files at $list. Either Sweepbrook is not installed under $prefix (name the prefix it was installed under: $0 <prefix>), or an older install wrote no such list (install again with $root/scripts/run.sh, then remove)."
fi
[[ -f "$list" && ! -L "$list" ]] || refuse "$list is not a regular file."
why=$(root_only "$list") || refuse "the list of installed files $list cannot be trusted: $why."

files=() folders=()
while IFS= read -r line || [[ -n "$line" ]]; do
  if [[ "$line" == */ ]] && plain "${line%/}"; then
    folders+=("${line%/}")
  elif plain "$line" && [[ "$line" == "$prefix"/* || "$line" == */polkit-1/actions/"$action" ]]; then
    files+=("$line")
  elif [[ -n "$line" ]]; then
    refuse "$list names \"$line\", which is neither below $prefix nor Sweepbrook's polkit action."
  fi
done < "$list"

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
echo "Removing the files Sweepbrook's install wrote (listed in $list)…"
stayed=0
for file in "${files[@]}"; do
  if [[ ! -e "$file" && ! -L "$file" ]]; then continue; fi
  if [[ -d "$file" && ! -L "$file" ]]; then echo "Left alone, as it is a folder now: $file"; stayed=1; continue; fi
  if ! why=$(root_only "$(dirname -- "$file")"); then echo "Left alone, as $why: $file"; stayed=1; continue; fi
  $sudo rm -fv -- "$file" || stayed=1
done
# The list goes last, and only once all it names went: a second run, once
# what stopped this one is mended, still knows what to remove.
if (( ! stayed )); then $sudo rm -fv -- "$list" || stayed=1; fi
# The deepest first, as listed; a folder that holds anything stays.
for folder in "${folders[@]}"; do
  if [[ -d "$folder" && ! -L "$folder" && -z "$(ls -A -- "$folder")" ]] && root_only "$folder" >/dev/null; then
    $sudo rmdir -v -- "$folder" || stayed=1
  fi
done
if (( stayed )); then
  echo "Some of Sweepbrook's files or folders could not be removed (see above)." >&2
  exit 1
fi
echo "Removed. Your preferences and clean history stay in ~/.config/sweepbrook; delete that folder to forget them."
