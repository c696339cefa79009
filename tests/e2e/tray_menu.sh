#!/usr/bin/env bash
# The tray menu on a real desktop: Xvfb, a real tray host (trayer), the real program and
# three simulated pupils, driven with a real pointer and keyboard (xdotool).
#
#   right-click the icon -> the menu opens (screenshot)
#   "Lock ALL Keyboards" with the pointer -> every pupil gets KeyLockON
#   "Restart ALL Clients", No with the keyboard -> nothing is sent (screenshot of the question)
#   "Restart ALL Clients", Yes with the keyboard -> Restart is sent
#   a left click on the icon opens nothing
#   the tray host restarts -> the icon is docked again
#   "Exit" with the pointer -> the program ends and the pupils see their connections close
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/common.sh"
source "$(dirname "$0")/../../scripts/lib/desktop.sh"
e2e_begin tray_menu

warning_window() { visible_windows | awk '$2 == "Warning" { print $1; exit }'; }
warning_is_open() { [ -n "$(warning_window)" ]; }
warning_is_closed() { [ -z "$(warning_window)" ]; }


answer_warning() {
  local keys=("$@")
  local id
  id=$(warning_window)
  read -r wx wy ww wh <<<"$(xwininfo -id "$id" | awk '
      /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
      /Width:/ { w = $NF } /Height:/ { h = $NF } END { print x, y, w, h }')"
  xdotool mousemove $((wx + ww / 2)) $((wy + 5))
  xdotool windowfocus --sync "$id" 2>/dev/null || true
  xdotool key --delay 100 "${keys[@]}"
  wait_until 10 warning_is_closed || fail "the question did not close"
}

# --- the desktop
e2e_desktop 1024x768x24

# --- the program, in its own application folder, with its own autostart folder
e2e_start_tavelcast
shot 01-icon

# --- three pupils, recording every word they receive
e2e_start_pupils sim --clients 3

# --- a left click opens nothing
read -r ix iy iw ih <<<"$(icon_geometry)"
xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) click 1
if wait_until 2 menu_is_open; then
  fail "a left click opened the menu"
fi

# --- Lock ALL Keyboards, with the pointer
right_click_icon
shot 02-menu-open
click_entry "$MENU_LOCK_ALL"

# --- Restart ALL Clients: No with the keyboard (Tab to No, then Return), then Yes (Return)
right_click_icon
click_entry "$MENU_RESTART_ALL"
wait_until 10 warning_is_open || fail "no question was asked"
shot 03-restart-question
answer_warning Tab Return
right_click_icon
click_entry "$MENU_RESTART_ALL"
wait_until 10 warning_is_open || fail "no question was asked the second time"
answer_warning Return

# --- the tray host restarts: the icon is docked again
kill "$TRAYER_PID"
wait "$TRAYER_PID" 2>/dev/null || true
start_trayer
wait_until 20 icon_is_docked || fail "the icon was not docked again after the tray host restarted"
shot 04-icon-after-tray-restart

# --- Exit, with the pointer: the program ends and the pupils see their connections close
right_click_icon
click_entry "$MENU_EXIT"
wait_until 20 bash -c "! kill -0 $TAVELCAST_PID 2>/dev/null" || fail "Exit did not end the program"
wait "$TAVELCAST_PID" || fail "the program ended with status $?"
wait_until 30 bash -c "! kill -0 $SIM_PID 2>/dev/null" || fail "the pupils did not see their connections close"
wait "$SIM_PID" || fail "the simulated pupils ended with status $?"

# --- what the pupils received, in order: KeyLockON, then one Restart (the No sent nothing)
cp "$WORK/record.txt" "$ARTIFACTS_DIR/record.txt"
for pupil in $(awk '{ print $2 }' "$WORK/record.txt" | sort -u); do
  words=$(awk -v p="$pupil" '$2 == p { printf "%s ", $3 }' "$WORK/record.txt")
  [ "$words" = "KeyLockON Restart " ] || fail "pupil $pupil received: '$words'"
done
[ "$(awk '{ print $2 }' "$WORK/record.txt" | sort -u | wc -l)" -eq 3 ] ||
  fail "expected three pupils in the record"
echo "PASS: tray menu end to end"
