#!/usr/bin/env bash
# The real program on a real X desktop: Xvfb, openbox and a tray host
# (trayer). Minimised, its icon sits in the tray; a double click on the icon
# brings the window back and the program goes on (the second click of the
# double click must never land on the menu's "E&xit"); a single click opens
# the menu beside the pointer and a quick second click there chooses
# nothing. Then, started again with a host down and a window saved off the
# screen: the window comes back whole on the screen, frame and all; the
# first balloon (there is no notification service) points at the tray, not
# at the screen's corner; and the window's class is the one its menu entry
# names. Once the icon sits in the tray, the host's recovery shows its
# balloon by the tray at once. Skipped (77) when one of the tools is missing.
set -euo pipefail
sentrel=$1
entry=$(dirname "$0")/../data/sentrel.desktop.in
for tool in Xvfb openbox trayer xdotool xwininfo; do
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

# "X Y W H" of a window, by xwininfo.
geometry() {
  xwininfo -id "$1" | awk '/Absolute upper-left X:/{x=$4} /Absolute upper-left Y:/{y=$4}
    /Width:/{w=$2} /Height:/{h=$2} END{print x, y, w, h}'
}
# The window manager's frame around a client: its ancestor just below the root.
frame_of() {
  local w=$1 root parent
  root=$(xwininfo -root | awk '/Window id:/{print $4}')
  while parent=$(xwininfo -tree -id "$w" | awk '/Parent window id:/{print $4}') && [ "$parent" != "$root" ]; do
    w=$parent
  done
  echo "$w"
}
# The first of our windows straight under the root that is mapped and is
# not the main window's frame: the balloon.
balloon=
find_balloon() {
  local w
  for w in $(xwininfo -root -children | awk '/"Kvo Sentrel"\)/{print $1}'); do
    xwininfo -id "$w" | grep -q IsViewable && { balloon=$w; return 0; }
  done
  return 1
}

# A window saved half off the top right of this screen, and a host down.
screen_w=$(xdotool getdisplaygeometry | cut -d' ' -f1)
screen_h=$(xdotool getdisplaygeometry | cut -d' ' -f2)
# The host is a metrics listener of a second, headless monitor, started
# later: down until then.
port=$((20000 + RANDOM % 20000))
printf '[main]\r\nserver1name=http://127.0.0.1:%d/metrics\r\nserver1active=1\r\nautostart=1\r\nfrequency=1\r\n' \
  "$port" >sentrel.ini
printf '[form]\r\nPixelsPerInch=96\r\nNormPos(%dx%d)=%d,-50,%d,132\r\n' "$screen_w" "$screen_h" \
  $((screen_w - 300)) $((screen_w + 188)) >>sentrel.ini
DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent "$sentrel" >out.txt 2>&1 &
sentrel_pid=$!
pids+=("$sentrel_pid")
wait_for window_shown || fail "the window never showed again"
main=$(xdotool search --onlyvisible --name '^Sentrel$' | head -1)

# The window's class is its menu entry's StartupWMClass.
wm_class=$(sed -n 's/^StartupWMClass=//p' "$entry")
[ -n "$wm_class" ] || fail "the menu entry names no window class"
xdotool search --class "^$wm_class\$" | grep -qx "$main" || fail "the window's class is not \"$wm_class\""

# Once framed, the frame lies on the screen.
inside() {
  local x y w h
  read -r x y w h < <(geometry "$(frame_of "$main")")
  [ "$x" -ge 0 ] && [ "$y" -ge 0 ] && [ $((x + w)) -le "$screen_w" ] && [ $((y + h)) -le "$screen_h" ]
}
TRIES=50 wait_for inside || fail "the frame hangs off the screen: $(geometry "$(frame_of "$main")")"

# The down host's balloon stands by the tray at the bottom right.
wait_for find_balloon || fail "no balloon for the host down"
sleep 0.5
read -r bx by bw bh < <(geometry "$balloon")
[ $((bx + bw)) -gt $((screen_w / 2)) ] && [ $((by + bh)) -gt $((screen_h / 2)) ] ||
  fail "the balloon is not by the tray: $bx $by ${bw}x$bh"

# A click puts the balloon away; minimised, the icon has its place in the
# tray, and the recovery's balloon shows by it.
xdotool mousemove $((bx + bw / 2)) $((by + bh / 2)) click 1
no_balloon() { ! find_balloon; }
wait_for no_balloon || fail "the balloon did not go on a click"
minimise recovery
mkdir server
(cd server && printf '[main]\r\nserver1active=0\r\n' >sentrel.ini &&
  exec "$sentrel" --headless --metrics-listen "127.0.0.1:$port" >out.txt 2>&1) &
pids+=($!)
wait_for find_balloon || fail "no balloon for the recovery: $(tail -3 status.log)"
read -r bx by bw bh < <(geometry "$balloon")
[ $((bx + bw)) -gt $((screen_w / 2)) ] && [ $((by + bh)) -gt $((screen_h / 2)) ] ||
  fail "the recovery's balloon is not by the tray: $bx $by ${bw}x$bh"

kill -TERM "$sentrel_pid"
wait "$sentrel_pid" || fail "exit status $? after SIGTERM"
echo "tray on a desktop: ok"
