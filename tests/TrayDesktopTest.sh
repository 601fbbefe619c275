#!/usr/bin/env bash
# The real program on a real X desktop: Xvfb, openbox and a tray host
# (trayer). Minimised, its icon sits in the tray; a double click on the icon
# brings the window back and the program goes on (the second click of the
# double click must never land on the menu's "E&xit"); a single click opens
# the menu beside the pointer and a quick second click there chooses
# nothing. Skipped (77) when one of the tools is missing.
set -euo pipefail
sentrel=$1
for tool in Xvfb openbox trayer xdotool; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed: skipped"; exit 77; }
done
work=$(mktemp -d)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; cat out.txt >&2 2>/dev/null || true; exit 1; }

# Waits (at most 30 s, the machine may be busy, or $TRIES tenths of a
# second) until the command succeeds.
wait_for() {
  for _ in $(seq "${TRIES:-300}"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

# A display of our own: the server writes the number it took. Other X
# servers on a busy machine come and go, so a display that cannot be reached
# at once, or a tray that does not come up, is tried again.
start_desktop() {
  local x wm tray
  rm -f display.txt
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>display.txt 2>/dev/null &
  x=$!
  pids+=("$x")
  TRIES=100 wait_for test -s display.txt || return 1
  export DISPLAY=:$(cat display.txt)
  TRIES=100 wait_for xdotool getdisplaygeometry || { kill "$x"; return 1; }
  # The window manager reads its own settings, whatever the tests set for ours.
  XDG_CONFIG_DIRS=/etc/xdg XDG_CONFIG_HOME="$work/wm" XDG_DATA_DIRS=/usr/local/share:/usr/share \
    XDG_DATA_HOME="$work/wm" openbox >wm.txt 2>&1 &
  wm=$!
  pids+=("$wm")
  trayer --edge bottom --align right --widthtype request --height 24 --SetDockType true >tray.txt 2>&1 &
  tray=$!
  pids+=("$tray")
  # The tray is there before the program looks for it.
  TRIES=100 wait_for xdotool search --onlyvisible --class trayer && return 0
  kill "$tray" "$wm" "$x" 2>/dev/null
  return 1
}
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb
start_desktop || start_desktop || start_desktop || fail "no desktop: $(cat tray.txt wm.txt 2>/dev/null)"

printf '[main]\r\nserver1active=0\r\n' >sentrel.ini
"$sentrel" >out.txt 2>&1 &
sentrel_pid=$!
pids+=("$sentrel_pid")

window_shown() { xdotool search --onlyvisible --name '^Sentrel$'; }
window_gone() { ! xdotool search --onlyvisible --name '^Sentrel$'; }
running() { kill -0 "$sentrel_pid" 2>/dev/null; }

# The tray's largest window holds the icons: its middle, once it has grown
# around one.
icon_at=
find_icon() {
  local w geo best=0
  for w in $(xdotool search --onlyvisible --class trayer); do
    geo=$(xdotool getwindowgeometry --shell "$w")
    eval "$geo"
    if [ "$WIDTH" -ge 20 ] && [ $((WIDTH * HEIGHT)) -gt "$best" ]; then
      best=$((WIDTH * HEIGHT))
      icon_at="$((X + WIDTH - 12)) $((Y + HEIGHT / 2))"
    fi
  done
  [ "$best" -gt 0 ]
}

minimise() {
  # The window manager takes a moment to manage a window it has just mapped.
  sleep 0.5
  xdotool windowminimize "$(xdotool search --onlyvisible --name '^Sentrel$' | head -1)"
  wait_for window_gone || fail "the window did not minimise ($1): $(xdotool search --onlyvisible --name "^Sentrel$" getwindowname %@; pgrep -a openbox; cat wm.txt)"
  wait_for find_icon || fail "no icon in the tray ($1): $(xdotool search --class trayer getwindowgeometry %@)"
  sleep 0.5  # the tray maps the icon after it has grown
}

wait_for window_shown || fail "the window never showed: $(cat wm.txt)"

# A double click on the icon restores the window.
minimise first
# shellcheck disable=SC2086
xdotool mousemove $icon_at click --repeat 2 --delay 80 1
wait_for window_shown || fail "a double click on the icon did not bring the window back"
running || fail "a double click on the icon ended the program"

# A single click opens the menu, and a second click right after it lands on
# no item.
minimise again
# shellcheck disable=SC2086
xdotool mousemove $icon_at click 1
sleep 0.6
# shellcheck disable=SC2086
xdotool mousemove $icon_at click 1
sleep 0.6
running || fail "a second click beside the menu ended the program"
xdotool key Escape

kill -TERM "$sentrel_pid"
status=0
wait "$sentrel_pid" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
tail -c 40 status.log | grep -q "Finished logging connectivity" || fail "no finishing line"
echo "tray on a desktop: ok"
