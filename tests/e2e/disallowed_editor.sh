#!/usr/bin/env bash
# The disallowed-applications editor on a real desktop: Xvfb, a real tray host (trayer), the
# real program and three simulated pupils, driven with a real pointer and keyboard.
#
#   right-click the icon, "Disallowed Applications" with the pointer -> the editor opens
#   Escape -> the editor stays open
#   type a name into the edit box, Alt+N -> the name joins the list (screenshot)
#   Alt+C -> the editor saves and closes
#   every pupil receives GetDisallowedApps and then the new list line
#   the file holds all 101 slots with the new name in slot 1
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/common.sh"
source "$(dirname "$0")/../../scripts/lib/desktop.sh"
e2e_begin disallowed_editor

# "id x y w h" of the editor, found by its caption.
editor_window() { visible_windows | awk '$2 == "Diallowed_Applications" { print $1, $3, $4, $5, $6; exit }'; }
editor_is_open() { [ -n "$(editor_window)" ]; }
editor_is_closed() { [ -z "$(editor_window)" ]; }
# The list's second row (list at 8,50 in the middle panel, rows about 16 px high) holds
# something other than the plain background.
second_row_has_text() {
  local spread
  spread=$(import -window "$eid" -crop 120x10+14+111 +repage png:- 2>/dev/null |
    convert - -colorspace gray -format '%[fx:standard_deviation*1000]' info:) || return 1
  # A plain area gives 0 or "-nan".
  awk -v s="$spread" 'BEGIN { exit !(s + 0 > 1) }'

}


# --- the desktop
e2e_desktop 1024x768x24

# --- the program, in its own application folder, with one name already stored
mkdir -p "$WORK/app"
printf '[IniSettings]\nApplicationProcess0=iexplore.exe\n' >"$WORK/app/DisallowedApplications.ini"
e2e_start_tavelcast

# --- three pupils, recording every line they receive
e2e_start_pupils sim --clients 3

# --- open the editor with the pointer
right_click_icon
click_entry "$MENU_DISALLOWED_APPLICATIONS"
wait_until 10 editor_is_open || fail "the editor did not open from the tray entry"
read -r eid ex ey ew eh <<<"$(editor_window)"
[ "$ew" = 564 ] && [ "$eh" = 495 ] || fail "the editor is ${ew}x${eh}, not 564x495"
# Centred on the 1024x768 desktop (no window manager runs, so no frame is added).
[ "$ex" = $(((1024 - 564) / 2)) ] && [ "$ey" = $(((768 - 495) / 2)) ] ||
  fail "the editor is at $ex,$ey, not centred"
xdotool windowfocus --sync "$eid" 2>/dev/null || true
import -window "$eid" "$ARTIFACTS_DIR/01-editor-opened.png"

# --- Escape does not close it
xdotool key Escape
if wait_until 2 editor_is_closed; then
  fail "Escape closed the editor"
fi

# --- a name typed into the edit box, added with the access key of "&New"
xdotool mousemove $((ex + 8 + 100)) $((ey + 41 + 384 + 10)) click 1
xdotool key ctrl+a
xdotool type --delay 20 "tool.exe"
xdotool key alt+n
wait_until 10 second_row_has_text || fail "the name did not appear as the list's second entry"
import -window "$eid" "$ARTIFACTS_DIR/02-editor-name-added.png"
echo "screenshot: $ARTIFACTS_DIR/02-editor-name-added.png"

# --- Close with its access key: saves, closes, pushes
xdotool key alt+c
wait_until 10 editor_is_closed || fail "Alt+C did not close the editor"

grep -qx 'ApplicationProcess0=iexplore.exe' "$APP/DisallowedApplications.ini" &&
  grep -qx 'ApplicationProcess1=tool.exe' "$APP/DisallowedApplications.ini" &&
  grep -qx 'ApplicationProcess100=' "$APP/DisallowedApplications.ini" ||
  fail "the saved file: $(cat "$APP/DisallowedApplications.ini")"
[ "$(grep -c '^ApplicationProcess[0-9]*=' "$APP/DisallowedApplications.ini")" -eq 101 ] ||
  fail "the saved file does not hold 101 slots"
cp "$APP/DisallowedApplications.ini" "$ARTIFACTS_DIR/"

# --- Exit, so the pupils see their connections close and write their record
right_click_icon
click_entry "$MENU_EXIT"
wait_until 20 bash -c "! kill -0 $TAVELCAST_PID 2>/dev/null" || fail "Exit did not end the program"
wait "$TAVELCAST_PID" || fail "the program ended with status $?"
wait_until 30 bash -c "! kill -0 $SIM_PID 2>/dev/null" || fail "the pupils did not see their connections close"
wait "$SIM_PID" || fail "the simulated pupils ended with status $?"

# --- every pupil received the word with the new list line, and nothing else
cp "$WORK/record.txt" "$ARTIFACTS_DIR/record.txt"
pupils=$(awk '{ print $2 }' "$WORK/record.txt" | sort -u)
[ "$(echo "$pupils" | wc -l)" -eq 3 ] || fail "expected three pupils in the record"
for pupil in $pupils; do
  got=$(awk -v p="$pupil" '$2 == p { $1 = ""; $2 = ""; sub(/^  /, ""); print }' "$WORK/record.txt")
  [ "$got" = "GetDisallowedApps ;iexplore.exe;tool.exe" ] || fail "pupil $pupil received: '$got'"
done
echo "PASS: disallowed applications editor end to end"
