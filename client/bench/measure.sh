#!/usr/bin/env bash
# Tavelseats figures: idle CPU over 30 s, RSS, frames/s shown while a 1920x1080 screen
# streams from a real Tavelcast over loopback. Usage: client/bench/measure.sh [build dir]
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/common.sh"
source "$(dirname "$0")/../../scripts/lib/desktop.sh"
BUILD="$(cd "${1:-$(dirname "$0")/../../build/client}" && pwd)"
export TAVELCAST_EXE="$BUILD/Tavelcast" TAVELSEATS_SIM_EXE="$BUILD/tavelseats-sim" ARTIFACTS_DIR="${ARTIFACTS_DIR:-/tmp/tavelseats-measure}"
e2e_begin measure
SEATS="$BUILD/client/Tavelseats"
unset DBUS_SESSION_BUS_ADDRESS
start_xvfb 1920x1080x24; PIDS+=("$XVFB_PID"); PUPIL_DISPLAY=$DISPLAY
e2e_desktop 1920x1080x24
convert -size 1920x1080 plasma:fractal -blur 0x2 "$WORK/teacher.png"
timeout 30 display -window root "$WORK/teacher.png" || true
e2e_start_tavelcast
mkdir -p "$WORK/pupil"; cp "$SEATS" "$WORK/pupil/"
printf '[IniSettings]\nSIP=127.0.0.1\nSPort=%s\n' "$PORT" >"$WORK/pupil/Tavelseats.ini"
DISPLAY=$PUPIL_DISPLAY QT_QPA_PLATFORM=xcb "$WORK/pupil/Tavelseats" --dry-run >"$WORK/seats.log" 2>&1 &
SP=$!; PIDS+=("$SP")
wait_until 20 grep -q 'connected to the teacher' "$WORK/seats.log"
sleep 2
ticks() { awk '{print $14 + $15}' /proc/$SP/stat; }
t0=$(ticks); s0=$(date +%s.%N); sleep 30; t1=$(ticks); s1=$(date +%s.%N)
hz=$(getconf CLK_TCK)
awk -v a="$t0" -v b="$t1" -v s="$s0" -v e="$s1" -v hz="$hz" 'BEGIN { printf "idle CPU over %.1f s: %.3f%% of a core (%d ticks)\n", e-s, 100*(b-a)/hz/(e-s), b-a }'
grep -E 'VmRSS|VmHWM' /proc/$SP/status | sed 's/^/idle /'
right_click_icon; click_entry "$MENU_SEND_SCREEN"
sleep 20
right_click_icon; click_entry "$MENU_STOP_SCREEN"
wait_until 10 grep -q 'frames of the teacher' "$WORK/seats.log"
grep 'frames of the teacher' "$WORK/seats.log"
grep -E 'VmRSS|VmHWM' /proc/$SP/status | sed 's/^/after streaming /'
