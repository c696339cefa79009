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

: "${TAVELCAST_EXE:?}" "${TAVELSEATS_SIM_EXE:?}"
ARTIFACTS_DIR="${ARTIFACTS_DIR:-$(pwd)/artifacts}/tray_menu"
mkdir -p "$ARTIFACTS_DIR"
WORK="$(mktemp -d /tmp/tavelcast-e2e-tray-XXXXXX)"

PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Waits up to $1 seconds for the command after it to succeed.
wait_until() {
  local timeout="$1"
  shift
  local deadline=$((SECONDS + timeout))
  until "$@"; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      return 1
    fi
    sleep 0.1
  done
}

shot() {
  import -window root "$ARTIFACTS_DIR/$1.png"
  echo "screenshot: $ARTIFACTS_DIR/$1.png"
}

# The docked icon: absolute "x y w h" of Tavelcast's window inside trayer's panel.
icon_geometry() {
  xwininfo -root -tree | awk '
    /"panel": \("panel" "trayer"\)/ { inpanel = 1; next }
    inpanel && /"Tavelcast": \("Tavelcast" "Tavelcast"\)/ {
      split($0, parts, " +")
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^[0-9]+x[0-9]+\+/) { split($i, g, /[x+]/); w = g[1]; h = g[2] }
        if ($i ~ /^\+-?[0-9]+\+-?[0-9]+$/) { split($i, a, "+"); x = a[2]; y = a[3] }
      }
      print x, y, w, h; exit
    }
    /^     0x/ && !/"panel"/ { inpanel = 0 }'
}

# "id name x y w h" for every visible window of the program (xdotool finds them by class).
visible_windows() {
  local id
  for id in $(xdotool search --onlyvisible --classname '^Tavelcast$' 2>/dev/null); do
    xwininfo -id "$id" | awk -v id="$id" '
      /^xwininfo: Window id:/ { name = $0; sub(/^[^"]*"/, "", name); sub(/".*$/, "", name) }
      /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
      /Width:/ { w = $NF } /Height:/ { h = $NF }
      END { gsub(/ /, "_", name); print id, name, x, y, w, h }'
  done
}

# The open popup menu: "x y w h" of the visible window named Tavelcast, taller than 100 px.
menu_geometry() {
  visible_windows | awk '$2 == "Tavelcast" && $6 > 100 { print $3, $4, $5, $6; found = 1; exit }
                         END { exit !found }'
}

menu_is_open() { menu_geometry >/dev/null; }
menu_is_closed() { ! menu_geometry >/dev/null; }
icon_is_docked() { [ -n "$(icon_geometry)" ]; }
warning_window() { visible_windows | awk '$2 == "Warning" { print $1; exit }'; }
warning_is_open() { [ -n "$(warning_window)" ]; }
warning_is_closed() { [ -z "$(warning_window)" ]; }

right_click_icon() {
  read -r ix iy iw ih <<<"$(icon_geometry)"
  xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) click 3
  wait_until 10 menu_is_open || fail "the menu did not open on a right-click"
}

# Clicks the entry whose centre sits at fraction/1000 of the menu's height. The fractions
# come from the menu's layout: ten entries of one height and four thin separators.
click_entry() {
  local per_mille="$1"
  read -r mx my mw mh <<<"$(menu_geometry)"
  xdotool mousemove $((mx + mw / 3)) $((my + mh * per_mille / 1000))
  xdotool click 1
  wait_until 10 menu_is_closed || fail "the menu did not close after choosing an entry"
}
LOCK_ALL=246     # "Lock ALL Keyboards": third entry, after one separator
RESTART_ALL=342  # "Restart ALL Clients"
EXIT=948         # "Exit": the last entry

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

start_trayer() {
  trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel \
    --height 32 --transparent false --tint 0x404040 >/dev/null 2>&1 &
  TRAYER_PID=$!
  PIDS+=("$TRAYER_PID")
}

# --- the desktop
unset DBUS_SESSION_BUS_ADDRESS  # the icon goes to the XEmbed tray host, not a D-Bus one
start_xvfb 1024x768x24
PIDS+=("$XVFB_PID")
start_trayer

# --- the program, in its own application folder, with its own autostart folder
APP="$WORK/app"
mkdir -p "$APP"
cp "$TAVELCAST_EXE" "$APP/Tavelcast"
PORT=$(free_port)
printf '[IniSettings]\nSIP=127.0.0.1\nSPort=%s\n' "$PORT" >"$APP/Options.ini"
HOME="$WORK" XDG_CONFIG_HOME="$WORK/config" QT_QPA_PLATFORM=xcb \
  "$APP/Tavelcast" >"$ARTIFACTS_DIR/tavelcast.log" 2>&1 &
TAVELCAST_PID=$!
PIDS+=("$TAVELCAST_PID")
wait_until 20 icon_is_docked || fail "the icon never docked in the tray"
shot 01-icon

# --- three pupils, recording every word they receive
"$TAVELSEATS_SIM_EXE" --port "$PORT" --clients 3 --record "$WORK/record.txt" \
  --ready-file "$WORK/ready" --exit-when-closed --duration 240 --json \
  >"$ARTIFACTS_DIR/sim.json" 2>"$ARTIFACTS_DIR/sim.log" &
SIM_PID=$!
PIDS+=("$SIM_PID")
wait_until 20 test -e "$WORK/ready" || fail "the pupils did not connect"

# --- a left click opens nothing
read -r ix iy iw ih <<<"$(icon_geometry)"
xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) click 1
if wait_until 2 menu_is_open; then
  fail "a left click opened the menu"
fi

# --- Lock ALL Keyboards, with the pointer
right_click_icon
shot 02-menu-open
click_entry "$LOCK_ALL"

# --- Restart ALL Clients: No with the keyboard (Tab to No, then Return), then Yes (Return)
right_click_icon
click_entry "$RESTART_ALL"
wait_until 10 warning_is_open || fail "no question was asked"
shot 03-restart-question
answer_warning Tab Return
right_click_icon
click_entry "$RESTART_ALL"
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
click_entry "$EXIT"
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
