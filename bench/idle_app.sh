#!/usr/bin/env bash
# Idle CPU of the real app with its main window: four FAT32 sticks through
# fusefat on loop devices, the app under Xvfb, left alone; its CPU (and that of
# the processes it ran) read from /proc/<pid>/stat. Run as root:
#   bench/idle_app.sh [seconds] [--udev] [--events=N] [--block-events=N]
# With --udev a udevd of its own runs (in a private mount namespace, over
# private /run/udev and /dev trees), so the app reads udev's database; without
# it there is none and the file systems are left to blkid. The floor runs
# beside it, measured over the same seconds: the same window with the same
# sticks listed, doing nothing (bench/floor_idle_window.cpp): the cost of
# Qt's event loop and the X connection under Xvfb. /proc counts in clock ticks
# (a tick in 60 s is 0.017 %); where perf is installed its task-clock of each,
# threads and children included, is printed too. So is the count of the
# kernel's device events meanwhile: other programs' loop devices and FUSE
# mounts (tests running alongside) wake the app's udev monitor, which is no
# idle of its own. With --events=N the run makes about N device events a
# minute of a device that is no block device (a "change" of /dev/null, as
# network, tty and input devices of other programs make them) while it
# measures: the monitor must not wake for them. With --block-events=N it
# makes about N "change" events a minute of a block device that is neither
# removable nor listed (a loop device over a file here, mounted nowhere, as
# other programs' loop devices are): the app lets them go on its monitor's
# thread, without waking its main thread.
set -euo pipefail
[[ "${1:-}" == "--inside" ]] && { shift; inside=1; } || inside=0
seconds=60
udev=0
events=0
block_events=0
usage="usage: $0 [seconds] [--udev] [--events=N] [--block-events=N]"
for arg in "$@"; do
  case "$arg" in
    --udev) udev=1 ;;
    --events=*[!0-9]* | --events=) echo "$usage" >&2; exit 2 ;;
    --events=*) events=${arg#--events=} ;;
    --block-events=*[!0-9]* | --block-events=) echo "$usage" >&2; exit 2 ;;
    --block-events=*) block_events=${arg#--block-events=} ;;
    *[!0-9]*) echo "$usage" >&2; exit 2 ;;
    *) seconds=$arg ;;
  esac
done
root=$(cd "$(dirname "$0")/.." && pwd)
app="$root/build/bin/sweepbrook"
floor="$root/build/bench/floor_idle_window"
[[ -x "$app" ]] || { echo "build the app first: scripts/build.sh" >&2; exit 1; }
[[ -x "$floor" ]] || cmake --build "$root/build" --target floor_idle_window >/dev/null
[[ $(id -u) -eq 0 ]] || { echo "run as root (it mounts sticks)" >&2; exit 1; }

if [[ $inside -eq 0 ]]; then
  args=("$seconds" "--events=$events" "--block-events=$block_events"); [[ $udev -eq 1 ]] && args+=(--udev)
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
watched=()   # the app and the floor: ended first, so that xvfb-run stops its Xvfb
xvfbs=()     # their xvfb-run
cleanup() {
  set +e
  for p in "${watched[@]}"; do kill "$p" 2>/dev/null; done
  for _ in $(seq 50); do
    running=0
    for p in "${xvfbs[@]}"; do kill -0 "$p" 2>/dev/null && running=1; done
    [[ $running -eq 0 ]] && break
    sleep 0.1
  done
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
  fusefat -o "rw+,fsname=$loop,subtype=vfat" "$loop" "$work/mnt/STICK$i" >/dev/null 2>&1
done
[[ $udev -eq 1 ]] && udevadm settle

measure() {   # pid seconds -> CPU percent of one core, children included
  local pid=$1 secs=$2 hz a b
  hz=$(getconf CLK_TCK)
  ticks() { awk '{print $14+$15+$16+$17}' "/proc/$pid/stat"; }
  a=$(ticks); sleep "$secs"; b=$(ticks)
  awk -v d=$((b - a)) -v hz="$hz" -v s="$secs" 'BEGIN { printf "%.3f", 100 * d / hz / s }'
}
taskclock() {   # pid seconds -> "N ms = P %" from perf's task-clock, or nothing without perf
  command -v perf >/dev/null || return 0
  perf stat -x, -e task-clock -p "$1" -- sleep "$2" 2>&1 >/dev/null |
    awk -F, -v s="$2" '$3 == "task-clock" { printf "%.1f ms = %.4f %%\n", $1, $1 / 10 / s }'
}
device_events() {   # per minute, uevent file -> "change" events of that device at about that pace, until killed
  local pause pipe
  pause=$(awk -v n="$1" 'BEGIN { printf "%.4f", 60 / n }')
  exec {pipe}<> <(:)   # read's time-out on a pipe nobody writes: a pause without starting sleep
  while :; do echo change > "$2"; read -r -t "$pause" -u "$pipe" || true; done
}
started() {   # program -> its pid, once it runs
  local pid=""
  for _ in $(seq 100); do pid=$(pgrep -f -n "^$1\$" || true); [[ -n "$pid" ]] && break; sleep 0.1; done
  echo "$pid"
}

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config"
mkdir -p "$XDG_CONFIG_HOME/sweepbrook"
echo '{"format": 1, "values": {"hasCompletedOnboarding": {"type": "bool", "value": true}}}' > "$XDG_CONFIG_HOME/sweepbrook/preferences.json"
xvfb-run -a -s "-screen 0 1280x800x24" "$app" > "$work/app.log" 2>&1 & pids+=($!); xvfbs+=($!)
app_pid=$(started "$app")
[[ -n "$app_pid" ]] || { echo "the app did not start" >&2; exit 1; }
watched+=("$app_pid")
mkdir -p "$work/floor-home/config/sweepbrook"
cp "$XDG_CONFIG_HOME/sweepbrook/preferences.json" "$work/floor-home/config/sweepbrook/"
HOME="$work/floor-home" XDG_CONFIG_HOME="$work/floor-home/config" \
  xvfb-run -a -s "-screen 0 1280x800x24" "$floor" > "$work/floor.log" 2>&1 & pids+=($!); xvfbs+=($!)
floor_pid=$(started "$floor")
[[ -n "$floor_pid" ]] || { echo "the floor did not start" >&2; exit 1; }
watched+=("$floor_pid")
sleep 5   # start-up and the first refreshes settle
listed=$(grep -c "添加设备到列表: STICK" "$work/app.log" || true)
floor_listed=$(grep -c "添加设备到列表: STICK" "$work/floor.log" || true)
before=$(wc -l < "$work/app.log")
timeout "$seconds" udevadm monitor --kernel > "$work/uevents" 2>/dev/null & side=($!)
generators=()
if [[ $events -gt 0 ]]; then
  device_events "$events" /sys/class/mem/null/uevent & generators+=($!); pids+=($!)
fi
if [[ $block_events -gt 0 ]]; then
  truncate -s 16M "$work/fixed.img"
  fixed=$(losetup -f --show "$work/fixed.img"); loops+=("$fixed")
  device_events "$block_events" "/sys/class/block/${fixed#/dev/}/uevent" & generators+=($!); pids+=($!)
fi
taskclock "$app_pid" "$seconds" > "$work/app.clock" & side+=($!)
taskclock "$floor_pid" "$seconds" > "$work/floor.clock" & side+=($!)
measure "$floor_pid" "$seconds" > "$work/floor.cpu" & side+=($!)
cpu=$(measure "$app_pid" "$seconds")
[[ ${#generators[@]} -gt 0 ]] && kill "${generators[@]}"
wait "${side[@]}" || true
floor_cpu=$(cat "$work/floor.cpu")
after=$(wc -l < "$work/app.log")
echo "udev database: $([[ $udev -eq 1 ]] && echo yes || echo no)  sticks listed: $([[ $listed -gt 0 ]] && echo yes || echo no) (floor: $([[ $floor_listed -gt 0 ]] && echo yes || echo no))"
echo "app idle CPU over ${seconds}s: ${cpu} % of a core; diagnostic lines: $((after - before))"
echo "floor (the same window doing nothing): ${floor_cpu} % of a core"
echo "kernel device events meanwhile (other programs$([[ $((events + block_events)) -gt 0 ]] && echo ' and this run')):" \
  "$(grep -c '^KERNEL\[' "$work/uevents" || true), of block devices: $(grep -c '(block)$' "$work/uevents" || true)," \
  "of /dev/null: $(grep -c ' /devices/virtual/mem/null (mem)$' "$work/uevents" || true)" \
  "$([[ $block_events -gt 0 ]] && echo ", of the fixed loop device ${fixed#/dev/}: $(grep -c "/block/${fixed#/dev/} (block)\$" "$work/uevents" || true)")"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
if [[ -s "$work/app.clock" ]]; then
  echo "perf task-clock: app $(cat "$work/app.clock"), floor $(cat "$work/floor.clock")"
fi
cp "$work/app.log" /tmp/sweepbrook-idle-app.log   # for a look afterwards
