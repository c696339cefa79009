#!/usr/bin/env bash
# Screen sending on a real desktop: Xvfb showing a known picture, a real tray host
# (trayer), the real program and three simulated pupils polling back-to-back.
#
#   before anything is chosen, polls get no frames
#   "Send Screen to Clients" with the pointer -> frames flow to every pupil; one frame,
#     fetched by a pupil of our own, is a baseline colour JPEG of the screen (saved, with
#     its decoded PNG and a screenshot, to the artifacts)
#   "Stop Sending Screens" with the pointer -> every pupil gets StopScreenStreaming, and
#     frames stop: at most the answer to a poll already being answered follows the word
#   "Exit" -> the program ends; no pupil saw a framing error
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/common.sh"
source "$(dirname "$0")/../../scripts/lib/desktop.sh"
e2e_begin screen_sending


RECORD="$WORK/record.txt" # written by the simulated pupils when they end
# Frames in the record: all pupils, or one ($1).
frames() { awk -v p="${1:-}" '$3 == "DoScreenStreaming" && (p == "" || $2 == p)' "$RECORD" | wc -l; }

# One poll by a pupil of our own: "IDLE", then the frame is saved to $1. Fails when no
# answer comes within $2 seconds (default 10).
fetch_frame() {
  python3 - "$PORT" "$1" "${2:-10}" <<'PY'
import socket, sys
port, out, wait = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])
s = socket.create_connection(("127.0.0.1", port), timeout=wait)
s.sendall(b"IDLE\r\n")
f = s.makefile("rb")
try:
    word = f.readline().rstrip(b"\r\n")
except socket.timeout:
    sys.exit("no answer within %g s" % wait)
if word != b"DoScreenStreaming":
    sys.exit("first line was %r" % word)
count = f.readline().rstrip(b"\r\n")
if not count.isdigit():
    sys.exit("count line was %r" % count)
data = f.read(int(count))
if len(data) != int(count):
    sys.exit("frame cut short: %d of %s bytes" % (len(data), count))
open(out, "wb").write(data)
print("frame of %d bytes" % len(data))
PY
}

# --- the desktop, showing a picture of flat colour areas
unset DBUS_SESSION_BUS_ADDRESS  # the icon goes to the XEmbed tray host, not a D-Bus one
start_xvfb 1024x768x24
PIDS+=("$XVFB_PID")
PICTURE="$WORK/picture.png"
convert -size 1024x768 xc:'#2050c0' \
  -fill '#e02020' -draw 'rectangle 0,100 511,383' \
  -fill '#20c040' -draw 'rectangle 512,384 1023,767' \
  -fill '#ffffff' -draw 'rectangle 96,480 415,719' \
  -fill '#f0d020' -draw 'rectangle 600,120 899,300' \
  "$PICTURE" || fail "could not make the picture"
# display exits with status 1 even when it worked; the frame check below tells.
timeout 30 display -window root "$PICTURE" || true
start_trayer

# --- the program, in its own application folder
e2e_start_tavelcast

# --- three pupils polling back-to-back (10 polls a second while no frame comes)
e2e_start_pupils sim --clients 3 --poll-back-to-back

# --- before anything is chosen, polls are not answered
if fetch_frame "$WORK/early.jpg" 2; then
  fail "a poll was answered with a frame before Send Screen to Clients was chosen"
fi

# --- Send Screen to Clients: frames flow
right_click_icon
shot 01-menu-open
click_entry "$MENU_SEND_SCREEN"
# One frame, fetched by a pupil of our own with the pointer at a known place.
xdotool mousemove 300 250
wait_until 20 fetch_frame "$ARTIFACTS_DIR/frame.jpg" 2 || fail "no frame came after Send Screen to Clients"
shot 02-screen-while-sending
convert "$ARTIFACTS_DIR/frame.jpg" "$ARTIFACTS_DIR/frame.png" || fail "the frame does not decode"
read -r width height interlace colours quality <<<"$(identify -format '%w %h %[interlace] %[channels] %Q' "$ARTIFACTS_DIR/frame.jpg")"
echo "frame: ${width}x${height}, interlace $interlace, channels $colours, quality $quality"
[ "$width" = 1024 ] && [ "$height" = 768 ] || fail "frame is ${width}x${height}, not 1024x768"
[ "$interlace" = None ] || fail "frame is not baseline (interlace $interlace)"
case "$colours" in srgb*|rgb*) ;; *) fail "frame is not a colour JPEG ($colours)" ;; esac
[ "$quality" = 90 ] || fail "frame quality is $quality, not 90"
# The frame shows the screen: it matches the screenshot closely (JPEG and the pointer
# aside).
rmse=$(compare -metric RMSE "$ARTIFACTS_DIR/frame.png" "$ARTIFACTS_DIR/02-screen-while-sending.png" null: 2>&1 | sed 's/.*(\(.*\))/\1/' || true)
echo "RMSE frame vs screenshot: $rmse"
awk -v r="$rmse" 'BEGIN { exit !(r < 0.03) }' || fail "the frame does not show the screen (RMSE $rmse)"
# The pointer is drawn: around its hot spot the frame differs from the picture.
convert "$ARTIFACTS_DIR/frame.png" -crop 16x24+300+250 +repage "$WORK/frame-crop.png"
convert "$PICTURE" -crop 16x24+300+250 +repage "$WORK/picture-crop.png"
pointer_diff=$(compare -metric AE -fuzz 25% "$WORK/frame-crop.png" "$WORK/picture-crop.png" null: 2>&1 || true)
echo "pixels changed by the pointer near 300,250: $pointer_diff"
[ "${pointer_diff%% *}" -gt 10 ] 2>/dev/null || fail "no pointer drawn at 300,250 ($pointer_diff)"

# --- Stop Sending Screens
right_click_icon
click_entry "$MENU_STOP_SCREEN"
# The mode changes when the menu's action runs: wait for a poll that goes unanswered,
# then no poll may be answered any more.
no_frame_within() { ! fetch_frame "$WORK/late.jpg" "$1" >/dev/null 2>&1; }
wait_until 20 no_frame_within 1 || fail "polls were still answered after Stop Sending Screens"
if fetch_frame "$WORK/late.jpg" 3; then
  fail "a poll was answered with a frame after Stop Sending Screens"
fi
shot 03-after-stop

# --- Exit: the program ends, the pupils see their connections close
right_click_icon
click_entry "$MENU_EXIT"
wait_until 20 bash -c "! kill -0 $TAVELCAST_PID 2>/dev/null" || fail "Exit did not end the program"
wait "$TAVELCAST_PID" || fail "the program ended with status $?"
wait_until 30 bash -c "! kill -0 $SIM_PID 2>/dev/null" || fail "the pupils did not see their connections close"
sim_status=0
wait "$SIM_PID" || sim_status=$?
cp "$RECORD" "$ARTIFACTS_DIR/record.txt"
[ "$sim_status" -eq 0 ] || fail "the simulated pupils ended with status $sim_status (2: framing errors)"
grep -q '"framing_errors": *0' "$ARTIFACTS_DIR/sim.json" || fail "framing errors: $(cat "$ARTIFACTS_DIR/sim.json")"
# Every pupil had frames, then StopScreenStreaming; at most one frame follows the word: the
# answer to a poll that read the mode before it changed.
for pupil in pupil01 pupil02 pupil03; do
  [ "$(frames "$pupil")" -ge 10 ] || fail "$pupil received only $(frames "$pupil") frames"
  stops=$(awk -v p="$pupil" '$2 == p && $3 == "StopScreenStreaming"' "$RECORD" | wc -l)
  [ "$stops" -eq 1 ] || fail "$pupil received StopScreenStreaming $stops times"
  late=$(awk -v p="$pupil" '$2 == p && $3 == "StopScreenStreaming" { stopped = 1; next }
                            $2 == p && stopped && $3 == "DoScreenStreaming" { n++ }
                            END { print n + 0 }' "$RECORD")
  echo "$pupil: $(frames "$pupil") frames, $late after StopScreenStreaming"
  [ "$late" -eq 0 ] || fail "$pupil received $late frames after StopScreenStreaming"
done
echo "frames in all: $(frames); $(grep -o '"frame_bytes": *[0-9]*' "$ARTIFACTS_DIR/sim.json")"
echo "PASS: screen sending end to end"
