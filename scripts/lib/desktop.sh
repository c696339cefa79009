# Driving Tavelcast on a virtual desktop: the tray icon under trayer, its menu, windows.
# Shared by the end-to-end tests and the demo. Source scripts/lib/common.sh first.

# Sets up an end-to-end test named $1: ARTIFACTS_DIR/$1 for its pictures, WORK (removed
# at exit) and PIDS (programs killed at exit).
e2e_begin() {
  : "${TAVELCAST_EXE:?}" "${TAVELSEATS_SIM_EXE:?}"
  ARTIFACTS_DIR="${ARTIFACTS_DIR:-$(pwd)/artifacts}/$1"
  mkdir -p "$ARTIFACTS_DIR"
  WORK="$(mktemp -d "/tmp/tavelcast-e2e-$1-XXXXXX")"
  PIDS=()
  trap e2e_cleanup EXIT
}

e2e_cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK"
}

# Ends the test as failed, keeping a picture of the screen as it was.
fail() {
  echo "FAIL: $*" >&2
  import -window root "$ARTIFACTS_DIR/failed.png" 2>/dev/null || true
  exit 1
}

shot() {
  import -window root "$ARTIFACTS_DIR/$1.png"
  echo "screenshot: $ARTIFACTS_DIR/$1.png"
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

start_trayer() {
  trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel \
    --height 32 --transparent false --tint 0x404040 >/dev/null 2>&1 &
  TRAYER_PID=$!
  [ -z "${PIDS+x}" ] || PIDS+=("$TRAYER_PID")
}

# The docked icon: absolute "x y w h" of Tavelcast's window inside trayer's panel.
icon_geometry() {
  xwininfo -root -tree | awk '
    /"panel": \("panel" "trayer"\)/ { inpanel = 1; next }
    inpanel && /"Tavelcast": \("Tavelcast" "Tavelcast"\)/ {
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^[0-9]+x[0-9]+\+/) { split($i, g, /[x+]/); w = g[1]; h = g[2] }
        if ($i ~ /^\+-?[0-9]+\+-?[0-9]+$/) { split($i, a, "+"); x = a[2]; y = a[3] }
      }
      print x, y, w, h; exit
    }
    /^     0x/ && !/"panel"/ { inpanel = 0 }'
}
icon_is_docked() { [ -n "$(icon_geometry)" ]; }

# "id name x y w h" for every visible window of the program (blanks in names become _).
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

# The open tray menu: "x y w h" of the tall, narrow window named Tavelcast.
menu_geometry() {
  visible_windows | awk '$2 == "Tavelcast" && $6 > 100 && $5 < 600 { print $3, $4, $5, $6; found = 1; exit }
                         END { exit !found }'
}
menu_is_open() { menu_geometry >/dev/null; }
menu_is_closed() { ! menu_geometry >/dev/null; }

# Opens the tray menu with a right-click on the icon.
right_click_icon() {
  local ix iy iw ih
  read -r ix iy iw ih <<<"$(icon_geometry)"
  [ -n "$ix" ] || { fail "the tray icon is not docked"; return 1; }
  xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) click 3
  wait_until 10 menu_is_open || fail "the menu did not open on a right-click"
}

# Clicks the entry whose centre sits at per_mille/1000 of the open menu's height. The menu
# has ten entries of one height and four thin separators; the constants below are their
# centres.
click_entry() {
  local per_mille="$1" mx my mw mh
  read -r mx my mw mh <<<"$(menu_geometry)"
  xdotool mousemove $((mx + mw / 3)) $((my + mh * per_mille / 1000))
  xdotool click 1
  wait_until 10 menu_is_closed || fail "the menu did not close after choosing an entry"
}
MENU_DISALLOWED_APPLICATIONS=50
MENU_LOCK_ALL=246
MENU_RESTART_ALL=342
MENU_MANAGE_CLIENTS=553
MENU_SEND_SCREEN=640
MENU_STOP_SCREEN=736
MENU_EXIT=948

# Copies the program into its own application folder $1 and writes an Options.ini there
# for 127.0.0.1 and port $2 (only when the folder has none).
prepare_app_folder() {
  local app="$1" port="$2" exe="${3:-$TAVELCAST_EXE}"
  mkdir -p "$app"
  cp "$exe" "$app/Tavelcast"
  if [ ! -f "$app/Options.ini" ]; then
    printf '[IniSettings]\nSIP=127.0.0.1\nSPort=%s\n' "$port" >"$app/Options.ini"
  fi
}

listening_on() { ss -ltn 2>/dev/null | grep -q "127.0.0.1:$1 "; }

# The virtual desktop of an end-to-end test: Xvfb of size $1 and a tray host.
e2e_desktop() {
  unset DBUS_SESSION_BUS_ADDRESS # the icon goes to the XEmbed tray host, not a D-Bus one
  start_xvfb "$1"
  PIDS+=("$XVFB_PID")
  start_trayer
}

# Starts the program in its own application folder $WORK/app (with its own autostart
# folder) on a free port, and waits for its icon in the tray. Sets APP, PORT and
# TAVELCAST_PID; the program's output goes to $ARTIFACTS_DIR/${1:-tavelcast}.log.
e2e_start_tavelcast() {
  APP="$WORK/app"
  PORT=$(free_port)
  prepare_app_folder "$APP" "$PORT"
  HOME="$WORK" XDG_CONFIG_HOME="$WORK/config" QT_QPA_PLATFORM=xcb \
    "$APP/Tavelcast" >"$ARTIFACTS_DIR/${1:-tavelcast}.log" 2>&1 &
  TAVELCAST_PID=$!
  PIDS+=("$TAVELCAST_PID")
  wait_until 20 icon_is_docked || fail "the icon never docked in the tray"
}

# Starts simulated pupils recording every line they receive in $WORK/record.txt, and waits
# until all are connected. $1 names the summary files in $ARTIFACTS_DIR; the rest are
# further tavelseats-sim options (--clients N, ...). Sets SIM_PID.
e2e_start_pupils() {
  local name="$1"
  shift
  "$TAVELSEATS_SIM_EXE" --port "$PORT" --record "$WORK/record.txt" --ready-file "$WORK/ready" \
    --exit-when-closed --duration 240 --json "$@" \
    >"$ARTIFACTS_DIR/$name.json" 2>"$ARTIFACTS_DIR/$name.log" &
  SIM_PID=$!
  PIDS+=("$SIM_PID")
  wait_until 20 test -e "$WORK/ready" || fail "the pupils did not connect"
}
