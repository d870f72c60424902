#!/usr/bin/env bash
# Idle CPU of the real app with its main window: four FAT32 sticks through
# fusefat on loop devices, the app under Xvfb, left alone; its CPU (and that of
# the processes it ran) read from /proc/<pid>/stat. Run as root:
#   bench/idle_app.sh [seconds] [--udev]
# With --udev a udevd of its own runs (in a private mount namespace, over
# private /run/udev and /dev trees), so the app reads udev's database; without
# it there is none and the file systems are left to blkid. The floor is the
# same window doing nothing: the cost of the empty Qt event loop under Xvfb.
set -euo pipefail
[[ "${1:-}" == "--inside" ]] && { shift; inside=1; } || inside=0
seconds=60
udev=0
for arg in "$@"; do
  case "$arg" in
    --udev) udev=1 ;;
    *[!0-9]*) echo "usage: $0 [seconds] [--udev]" >&2; exit 2 ;;
    *) seconds=$arg ;;
  esac
done
root=$(cd "$(dirname "$0")/.." && pwd)
app="$root/build/bin/sweepbrook"
[[ -x "$app" ]] || { echo "build the app first: scripts/build.sh" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || { echo "run as root (it mounts sticks)" >&2; exit 1; }

if [[ $inside -eq 0 ]]; then
  args=("$seconds"); [[ $udev -eq 1 ]] && args+=(--udev)
  exec unshare -m "$0" --inside "${args[@]}"
fi

mount --make-rprivate /
# Only this run's sticks: mounts other programs made (tests running meanwhile)
# are detached in this private namespace, and nowhere else.
{ awk '{print $5}' /proc/self/mountinfo | grep -E '^/tmp/sweepbrook-|^/media/|^/run/media/' || true; } | sort -r |
  while read -r m; do umount -l "$(printf '%b' "$m")" 2>/dev/null || true; done
work=$(mktemp -d /tmp/sweepbrook-idle-XXXXXX)
pids=()
loops=()
cleanup() {
  set +e
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for m in "$work"/mnt/*; do fusermount -u "$m" 2>/dev/null; done
  sleep 0.5
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

if [[ $udev -eq 1 ]]; then
  for d in /run/udev /dev/disk /dev/block /dev/char; do mkdir -p "$d"; mount -t tmpfs bench-udev "$d"; done
  /lib/systemd/systemd-udevd >/dev/null 2>&1 & pids+=($!)
  for _ in $(seq 50); do [[ -e /run/udev/control ]] && break; sleep 0.1; done
else
  # No udev database: hide any there is.
  [[ -d /run/udev ]] && mount -t tmpfs bench-no-udev /run/udev
fi

for i in 0 1 2 3; do
  truncate -s 64M "$work/stick$i.img"
  mkfs.vfat -F 32 -n "STICK$i" "$work/stick$i.img" >/dev/null
  loop=$(losetup -f --show "$work/stick$i.img"); loops+=("$loop")
  mkdir -p "$work/mnt/STICK$i"
  fusefat -o "rw+,fsname=$loop,subtype=vfat" "$loop" "$work/mnt/STICK$i" >/dev/null
done
[[ $udev -eq 1 ]] && udevadm settle

measure() {   # pid seconds -> CPU percent of one core, children included
  local pid=$1 secs=$2 hz a b
  hz=$(getconf CLK_TCK)
  ticks() { awk '{print $14+$15+$16+$17}' "/proc/$pid/stat"; }
  a=$(ticks); sleep "$secs"; b=$(ticks)
  awk -v d=$((b - a)) -v hz="$hz" -v s="$secs" 'BEGIN { printf "%.3f", 100 * d / hz / s }'
}

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config"
mkdir -p "$XDG_CONFIG_HOME/sweepbrook"
echo '{"format": 1, "values": {"hasCompletedOnboarding": {"type": "bool", "value": true}}}' > "$XDG_CONFIG_HOME/sweepbrook/preferences.json"
xvfb-run -a -s "-screen 0 1280x800x24" "$app" > "$work/app.log" 2>&1 & pids+=($!)
app_pid=""
for _ in $(seq 100); do app_pid=$(pgrep -f -n "^$app\$" || true); [[ -n "$app_pid" ]] && break; sleep 0.1; done
[[ -n "$app_pid" ]] || { echo "the app did not start" >&2; exit 1; }
sleep 5   # start-up and the first refreshes settle
listed=$(grep -c "添加设备到列表: STICK" "$work/app.log" || true)
before=$(wc -l < "$work/app.log")
cpu=$(measure "$app_pid" "$seconds")
after=$(wc -l < "$work/app.log")
echo "udev database: $([[ $udev -eq 1 ]] && echo yes || echo no)  sticks listed: $([[ $listed -gt 0 ]] && echo yes || echo no)"
echo "app idle CPU over ${seconds}s: ${cpu} % of a core; diagnostic lines: $((after - before))"
cp "$work/app.log" /tmp/sweepbrook-idle-app.log   # for a look afterwards
