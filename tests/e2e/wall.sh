#!/usr/bin/env bash
# The class wall on a real desktop: Xvfb at 1920x1080, a real tray host (trayer), the real
# program and 12 simulated pupils, each sending its own test card, driven with a real pointer.
#
#   right-click the icon, "Manage Clients/Class" with the pointer -> the wall opens, sized
#   and centred from the display (13 columns: 1785x980 at 67,50)
#   within a few refresh passes every tile shows its pupil's card
#   double-click two tiles, press "Lock Keyboards" -> exactly those two pupils get KeyLockON
#   a screenshot of the wall goes to $ARTIFACTS_DIR/wall.png
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/common.sh"
source "$(dirname "$0")/../../scripts/lib/desktop.sh"
e2e_begin wall

PUPILS=12

wall_window() { visible_windows | awk '$5 == 1785 && $6 == 980 { print $1, $3, $4; exit }'; }
wall_is_open() { [ -n "$(wall_window)" ]; }


# Where things are on the wall (no window manager runs, so the window has no frame):
# the scroll area at 8,105, tiles 200 x 170 apart, 7 to a row in its 1572 pixels.
WRAP=7
tile_x() { echo $((WX + 8 + ($1 % WRAP) * 200)); }
tile_y() { echo $((WY + 105 + ($1 / WRAP) * 170)); }

# Standard deviation (x1000) of a tile's pixels in a screenshot: 0 for a blank tile, which
# shows only the wall's flat grey, well above for a test card.
tile_spread() {
  convert "$1" -crop "192x144+$(tile_x "$2")+$(tile_y "$2")" +repage -colorspace gray \
    -format '%[fx:standard_deviation*1000]' info:
}
# Mean colour of a tile, as "r,g,b" in 0..255.
tile_colour() {
  convert "$1" -crop "192x144+$(tile_x "$2")+$(tile_y "$2")" +repage -scale 1x1\! \
    -format '%[fx:int(255*r)],%[fx:int(255*g)],%[fx:int(255*b)]\n' info:
}
every_tile_shows_a_card() {
  local shot="$WORK/check.png" k spread
  import -window root "$shot" 2>/dev/null || return 1
  for k in $(seq 0 $((PUPILS - 1))); do
    spread=$(tile_spread "$shot" "$k") || return 1
    awk -v s="$spread" 'BEGIN { exit !(s + 0 > 20) }' || return 1
  done
  # Each card has a colour of its own.
  [ "$(for k in $(seq 0 $((PUPILS - 1))); do tile_colour "$shot" "$k"; done | sort -u | wc -l)" \
    -eq "$PUPILS" ]
}

# --- the desktop
e2e_desktop 1920x1080x24

# --- the program in its own application folder
e2e_start_tavelcast wall-tavelcast

# --- twelve pupils on 127.0.0.2 ... 127.0.0.13, each with its own card, recording every line
e2e_start_pupils wall-sim --clients "$PUPILS" --distinct-sources --card-size 1280x720

# --- open the wall with the pointer
right_click_icon
click_entry "$MENU_MANAGE_CLIENTS"
wait_until 10 wall_is_open || fail "the wall did not open from the tray entry"
read -r WID WX WY <<<"$(wall_window)"
[ "$WX" = $(((1920 - 1785) / 2)) ] && [ "$WY" = 50 ] || fail "the wall is at $WX,$WY, not centred"

# The first pass asks, the next one shows: every card within a few seconds.
wait_until 30 every_tile_shows_a_card || fail "not every tile shows its pupil's card"

# --- which pupil sits where: tiles follow the host names in sorted order. A pupil's host
# name is its address's reverse-lookup name, or the address itself.
names=()
for i in $(seq 0 $((PUPILS - 1))); do
  address="127.0.0.$((i + 2))"
  name=$(getent hosts "$address" | awk '{ print $2; exit }') || name=''
  names+=("${name:-$address}|$(printf 'pupil%02d' $((i + 1)))")
done
mapfile -t sorted < <(printf '%s\n' "${names[@]}" | LC_ALL=C sort -f -t'|' -k1,1)
PICKED=(1 8)
expected=$(for k in "${PICKED[@]}"; do echo "${sorted[$k]#*|}"; done | sort)

# --- pick two tiles with double-clicks, then "Lock Keyboards"
for k in "${PICKED[@]}"; do
  xdotool mousemove $(($(tile_x "$k") + 96)) $(($(tile_y "$k") + 72))
  xdotool click --repeat 2 --delay 120 1
done
PANEL_X=$((WX + 1785 - 8 - 191))
PANEL_Y=$((WY + 105))
xdotool mousemove $((PANEL_X + 8 + 88)) $((PANEL_Y + 280 + 16)) click 1
xdotool mousemove $((PANEL_X + 95)) $((PANEL_Y + 600)) # off the buttons, for the picture
wait_until 10 every_tile_shows_a_card || fail "the wall lost its cards"
import -window root "$ARTIFACTS_DIR/wall.png"
echo "screenshot: $ARTIFACTS_DIR/wall.png"

# --- Exit, so the pupils see their connections close and write their record
right_click_icon
click_entry "$MENU_EXIT"
wait_until 20 bash -c "! kill -0 $TAVELCAST_PID 2>/dev/null" || fail "Exit did not end the program"
wait "$TAVELCAST_PID" || fail "the program ended with status $?"
wait_until 30 bash -c "! kill -0 $SIM_PID 2>/dev/null" || fail "the pupils did not see their connections close"
wait "$SIM_PID" || fail "the simulated pupils ended with status $?"
cp "$WORK/record.txt" "$ARTIFACTS_DIR/wall-record.txt"

# --- every pupil was asked for snapshots (and had each one confirmed with IDLE); exactly the
# two picked got KeyLockON, once each; nothing else arrived
for i in $(seq 1 "$PUPILS"); do
  pupil=$(printf 'pupil%02d' "$i")
  asked=$(awk -v p="$pupil" '$2 == p && $3 == "GetSnapShot"' "$WORK/record.txt" | wc -l)
  [ "$asked" -ge 2 ] || fail "$pupil was asked for $asked snapshots"
done
locked=$(awk '$3 == "KeyLockON" { print $2 }' "$WORK/record.txt" | sort)
[ "$locked" = "$expected" ] ||
  fail "KeyLockON went to [$(echo $locked)], expected exactly [$(echo $expected)]"
if awk '$3 != "GetSnapShot" && $3 != "KeyLockON" && $3 != "IDLE"' "$WORK/record.txt" | grep -q .; then
  fail "unexpected lines: $(awk '$3 != "GetSnapShot" && $3 != "KeyLockON" && $3 != "IDLE"' "$WORK/record.txt")"
fi
echo "PASS: class wall end to end (locked: $(echo $expected))"
