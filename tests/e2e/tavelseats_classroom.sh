#!/usr/bin/env bash
# A real teacher and a real pupil, each on a virtual display of its own, over loopback:
#
#   the pupil connects from its Tavelseats.ini
#   "Send Screen to Clients" -> the pupil's screen shows the teacher's (compared, scaled,
#     with the teacher's screen); "Stop Sending Screens" -> the pupil's own desktop again
#   "Lock ALL Keyboards" -> a second X client on the pupil's display cannot grab the
#     keyboard (AlreadyGrabbed) and the banner is shown; again -> it can
#   the class window -> the pupil's snapshot lands in Storage/ and shows the pupil's screen
#   locked again, then the teacher's program dies -> the pupil's keyboard is free again
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/common.sh"
source "$(dirname "$0")/../../scripts/lib/desktop.sh"
e2e_begin tavelseats_classroom
SEATS="${TAVELSEATS_EXE:-$(dirname "$TAVELCAST_EXE")/client/Tavelseats}"
PROBE="$(dirname "$SEATS")/tavelseats_grab_probe"
[ -x "$SEATS" ] && [ -x "$PROBE" ] || fail "Tavelseats is not built ($SEATS)"

# --- the pupil's desktop: 800x600 (the teacher's 1024x768 scales onto it exactly)
unset DBUS_SESSION_BUS_ADDRESS
start_xvfb 800x600x24
PIDS+=("$XVFB_PID")
PUPIL_DISPLAY="$DISPLAY"
convert -size 800x600 xc:'#f0f0f0' -fill '#7030a0' -draw 'rectangle 0,0 399,299' \
  -fill '#30a0a0' -draw 'rectangle 400,300 799,599' "$WORK/pupil.png"
timeout 30 display -window root "$WORK/pupil.png" || true
pupil_shot() { import -display "$PUPIL_DISPLAY" -window root "$1"; }
# RMSE (0..1) between two pictures of one size.
rmse() { compare -metric RMSE "$1" "$2" null: 2>&1 | sed 's/.*(\(.*\))/\1/' || true; }
below() { awk -v r="$1" -v l="$2" 'BEGIN { exit !(r != "" && r < l) }'; }
probe() { DISPLAY="$PUPIL_DISPLAY" "$PROBE"; }
keyboard_grabbed() { [ "$(probe)" = AlreadyGrabbed ]; }
keyboard_free() { [ "$(probe)" = GrabSuccess ]; }
banner_shown() { DISPLAY="$PUPIL_DISPLAY" xdotool search --onlyvisible --name '^Tavelseats - keyboard locked$' >/dev/null 2>&1; }

# --- the teacher's desktop, showing a picture quite unlike the pupil's
e2e_desktop 1024x768x24
convert -size 1024x768 xc:'#2050c0' -fill '#e02020' -draw 'rectangle 0,100 511,383' \
  -fill '#20c040' -draw 'rectangle 512,384 1023,767' -fill '#f0d020' \
  -draw 'rectangle 600,120 899,300' "$WORK/teacher.png"
timeout 30 display -window root "$WORK/teacher.png" || true
e2e_start_tavelcast
xdotool mousemove 1010 700 # the pointer out of the way of the compared areas

# --- the pupil, in its own folder
mkdir -p "$WORK/pupil"
cp "$SEATS" "$WORK/pupil/Tavelseats"
printf '[IniSettings]\nSIP=127.0.0.1\nSPort=%s\n' "$PORT" >"$WORK/pupil/Tavelseats.ini"
SEATS_LOG="$ARTIFACTS_DIR/tavelseats.log"
DISPLAY="$PUPIL_DISPLAY" QT_QPA_PLATFORM=xcb "$WORK/pupil/Tavelseats" --dry-run >"$SEATS_LOG" 2>&1 &
SEATS_PID=$!
PIDS+=("$SEATS_PID")
wait_until 20 grep -q 'connected to the teacher' "$SEATS_LOG" || fail "the pupil did not connect"
pupil_shot "$WORK/pupil-before.png"

# --- screen sending: the pupil shows the teacher's screen
right_click_icon
click_entry "$MENU_SEND_SCREEN"
import -window root "$ARTIFACTS_DIR/teacher-screen.png"
convert "$ARTIFACTS_DIR/teacher-screen.png" -resize 800x600! "$WORK/teacher-scaled.png"
shows_teacher() {
  pupil_shot "$ARTIFACTS_DIR/pupil-streaming.png"
  STREAM_RMSE=$(rmse "$ARTIFACTS_DIR/pupil-streaming.png" "$WORK/teacher-scaled.png")
  below "$STREAM_RMSE" 0.04
}
wait_until 20 shows_teacher || fail "the pupil's screen does not show the teacher's (RMSE $STREAM_RMSE)"
echo "pupil vs teacher while sending: RMSE $STREAM_RMSE"
# And point by point: the yellow block, the red band, the green corner.
for point in "750 210" "200 240" "800 600"; do
  read -r tx ty <<<"$point"
  px=$((tx * 800 / 1024)) py=$((ty * 600 / 768))
  t=$(convert "$ARTIFACTS_DIR/teacher-screen.png" -format "%[fx:int(255*p{$tx,$ty}.r)] %[fx:int(255*p{$tx,$ty}.g)] %[fx:int(255*p{$tx,$ty}.b)]" info:)
  p=$(convert "$ARTIFACTS_DIR/pupil-streaming.png" -format "%[fx:int(255*p{$px,$py}.r)] %[fx:int(255*p{$px,$py}.g)] %[fx:int(255*p{$px,$py}.b)]" info:)
  echo "teacher ($tx,$ty) = $t; pupil ($px,$py) = $p"
  awk -v t="$t" -v p="$p" 'BEGIN { split(t, a, " "); split(p, b, " ");
    for (i = 1; i <= 3; i++) { d = a[i] - b[i]; if (d < -24 || d > 24) exit 1 } }' ||
    fail "pixel at teacher ($tx,$ty) is $t but the pupil shows $p"
done
right_click_icon
click_entry "$MENU_STOP_SCREEN"
own_desktop() { pupil_shot "$WORK/pupil-after.png"; below "$(rmse "$WORK/pupil-after.png" "$WORK/pupil-before.png")" 0.01; }
wait_until 20 own_desktop || fail "the teacher's screen stayed on the pupil after Stop Sending Screens"

# --- keyboard lock, seen from another X client on the pupil's display
keyboard_free || fail "the keyboard is grabbed before any lock ($(probe))"
right_click_icon
click_entry "$MENU_LOCK_ALL"
wait_until 10 keyboard_grabbed || fail "the keyboard was not grabbed after Lock ALL Keyboards ($(probe))"
banner_shown || fail "no banner while the keyboard is locked"
pupil_shot "$ARTIFACTS_DIR/pupil-locked.png"
right_click_icon
click_entry "$MENU_LOCK_ALL"
wait_until 10 keyboard_free || fail "the keyboard stayed grabbed after unlocking ($(probe))"
banner_hidden() { ! banner_shown; }
wait_until 10 banner_hidden || fail "the banner stayed after unlocking"

# --- snapshot: the class window asks, the pupil's screen lands in Storage/
right_click_icon
click_entry "$MENU_MANAGE_CLIENTS"
stored() { ls "$APP/Storage/"*.jpg >/dev/null 2>&1; }
wait_until 20 stored || fail "no snapshot reached Storage/"
fresh_snapshot() { [ "$(find "$APP/Storage" -name '*.jpg' -newer "$WORK/pupil-before.png" | wc -l)" -ge 1 ]; }
wait_until 10 fresh_snapshot || fail "no fresh snapshot"
SNAP="$(ls -t "$APP/Storage/"*.jpg | head -1)"
cp "$SNAP" "$ARTIFACTS_DIR/snapshot.jpg"
convert "$SNAP" "$WORK/snapshot.png" || fail "the stored snapshot does not decode"
[ "$(identify -format '%wx%h' "$SNAP")" = 800x600 ] || fail "snapshot is $(identify -format '%wx%h' "$SNAP")"
pupil_shot "$WORK/pupil-now.png"
SNAP_RMSE=$(rmse "$WORK/snapshot.png" "$WORK/pupil-now.png")
echo "snapshot vs the pupil's screen: RMSE $SNAP_RMSE"
below "$SNAP_RMSE" 0.04 || fail "the snapshot does not show the pupil's screen (RMSE $SNAP_RMSE)"

# --- locked, then the teacher's program dies: the lock is lifted
keyboard_free || fail "keyboard grabbed before the second lock"
right_click_icon
click_entry "$MENU_LOCK_ALL"
wait_until 10 keyboard_grabbed || fail "the second lock did not grab the keyboard"
kill -KILL "$TAVELCAST_PID"
wait_until 15 keyboard_free || fail "the keyboard stayed locked after the teacher's program died"
wait_until 10 grep -q 'connection lost: keyboard unlocked' "$SEATS_LOG" || fail "no unlock in the pupil's log"
kill -0 "$SEATS_PID" || fail "the pupil ended with the teacher"
echo "PASS: Tavelseats with a real Tavelcast"
