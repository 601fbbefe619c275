#!/usr/bin/env bash
# Starts the real program as a user would, in an empty folder, and stops it
# with SIGTERM: the log must hold exactly the start-up lines, then the
# finishing line, with CR LF ends, and the program must end with status 0.
set -euo pipefail
sentrel=$1
work=$(mktemp -d)
pid=
# Whatever way the script ends, the program it started is not left running.
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
export QT_QPA_PLATFORM=offscreen

fail() { echo "FAIL: $*" >&2; cat -A status.log >&2 || true; exit 1; }

# Waits until the log has n lines (at most 20 s).
wait_lines() {
  for _ in $(seq 200); do
    [ -f status.log ] && [ "$(grep -c '' status.log)" -ge "$1" ] && return 0
    sleep 0.1
  done
  fail "the log never reached $1 lines"
}

# Checks one line: marker, then a date and time, then "QZ  " and the text.
check_line() {
  local n=$1 marker=$2 text=$3 line
  line=$(sed -n "${n}p" status.log)
  [[ "$line" =~ ^"$marker "[0-1][0-9]-[0-3][0-9]-[0-9]{4}"  "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]"  QZ  $text"$'\r'$ ]] \
    || fail "line $n is '$line', expected '$marker ... QZ  $text'"
}

run() {
  "$sentrel" "$@" > out.txt 2>&1 &
  pid=$!
}

stop() {
  kill -TERM "$pid"
  local status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
}

# No settings file: the header and "Logging connectivity"; SIGTERM adds the finish.
run
wait_lines 2
[[ "$(sed -n 1p status.log)" =~ ^"----------------------  "[0-1][0-9]-[0-3][0-9]-[0-9]{4}"  QZ  Kvo Sentrel"$'\r'$ ]] \
  || fail "bad header line"
check_line 2 - "Logging connectivity"
stop
[ "$(grep -c '' status.log)" -eq 3 ] || fail "expected 3 lines"
check_line 3 . "Finished logging connectivity"

# Start check on load: monitoring goes on at once, and no check runs.
rm status.log
printf '[main]\r\nautostart=1\r\nserver1active=0\r\n' > sentrel.ini
run
wait_lines 4
sleep 0.3
check_line 3 '>' "Starting automatic monitoring"
check_line 4 '@' "Monitoring now on"
stop
[ "$(grep -c '' status.log)" -eq 5 ] || fail "expected 5 lines"
check_line 5 . "Finished logging connectivity"

# Started by a next-log-on entry: that entry goes, the every-log-on one stays.
export XDG_CONFIG_HOME="$work/config"
mkdir -p config/autostart
printf '[Desktop Entry]\nExec=x\n' > config/autostart/KvoSentrel.once.desktop
cp config/autostart/KvoSentrel.once.desktop config/autostart/KvoSentrel.desktop
rm status.log
run --remove-autostart-entry "$work/config/autostart/KvoSentrel.once.desktop"
wait_lines 2
stop
[ ! -e config/autostart/KvoSentrel.once.desktop ] || fail "the next-log-on entry is still there"
[ -e config/autostart/KvoSentrel.desktop ] || fail "the every-log-on entry went too"

# SIGTERM while the window's placement cannot be saved (the settings file is
# a link into a missing folder): the error goes to stderr, no box waits for
# a click, and the program ends at once.
unset XDG_CONFIG_HOME
rm -f status.log sentrel.ini
ln -s missing/sentrel.ini sentrel.ini
run
wait_lines 2
kill -TERM "$pid"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "still running 10 s after SIGTERM"
wait "$pid" || true
pid=
grep -q 'Unable to write to' out.txt || fail "the failed save was not reported on stderr: $(cat out.txt)"
echo "start and stop: ok"
