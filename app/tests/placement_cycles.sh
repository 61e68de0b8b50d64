#!/usr/bin/env bash
# The window's placement must survive start and close: ten cycles of the real program under a real
# window manager (Xvfb and openbox) leave [FORM] of setting.ini as the first cycle wrote it, in the
# normal and the maximized state and for a size below the window's minimum, from the first close on.
# The normal placement comes back exactly as it was stored: the stored size is the outer size, frame
# included, and the frame is on the screen where [FORM] says, as the X server and the window manager
# report it.
# Usage: placement_cycles.sh SHELVIO FLS_DIR
set -euo pipefail
program=$(realpath "$1")
fls=$(realpath "$2")

if [ -z "${PLACEMENT_DISPLAY_READY:-}" ]; then
  for tool in xvfb-run xauth openbox wmctrl xwininfo xprop; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: scripts/setup.sh installs it" >&2; exit 1; }
  done
  PLACEMENT_DISPLAY_READY=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$program" "$fls"
fi

work=$(mktemp -d)
wm=""
cleanup() {
  [ -n "$wm" ] && kill "$wm" 2>/dev/null && wait "$wm" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p -m 0700 "$work/run" "$work/state" "$work/config" "$work/app"
export XDG_RUNTIME_DIR=$work/run XDG_STATE_HOME=$work/state XDG_CONFIG_HOME=$work/config
# A portable copy: setting.ini beside the program.
cp "$program" "$work/app/shelvio"
ln -s "$fls" "$work/app/fls"
settings=$work/app/setting.ini

openbox >"$work/openbox.log" 2>&1 & wm=$!
for _ in $(seq 600); do wmctrl -m >/dev/null 2>&1 && break; sleep 0.1; done
wmctrl -m >/dev/null 2>&1 || { echo "openbox did not start:" >&2; cat "$work/openbox.log" >&2; exit 1; }

# Starts the program, waits until its window is managed and settled, closes it the way the window
# manager's close button does and waits for the program to end.
cycle() {
  (cd "$work" && exec "$work/app/shelvio") >/dev/null 2>&1 & local pid=$!
  local shown=""
  for _ in $(seq 300); do
    if wmctrl -l | grep -q ' Shelvio$'; then shown=1; break; fi
    sleep 0.1
  done
  [ -n "$shown" ] || { echo "the window did not appear" >&2; kill "$pid"; return 1; }
  # Settled: the same geometry for a second, and at least two seconds after it appeared (a busy
  # machine may frame the window late).
  local last="" same=0
  for _ in $(seq 300); do
    sleep 0.2
    local now
    now=$(wmctrl -lG | grep ' Shelvio$' || true)
    if [ "$now" = "$last" ]; then same=$((same + 1)); else same=0; last=$now; fi
    [ "$same" -ge 10 ] && break
  done
  # The frame on the screen: the client's corner less the frame the window manager states.
  local id corner extents
  id=$(wmctrl -l | awk '/ Shelvio$/ { print $1; exit }')
  corner=$(xwininfo -id "$id" | awk -F: '/Absolute upper-left X/ { x = $2 } /Absolute upper-left Y/ { y = $2 }
    / Width:/ { w = $2 } / Height:/ { h = $2 } END { print x + 0, y + 0, w + 0, h + 0 }')
  extents=$(xprop -id "$id" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
  # shellcheck disable=SC2086
  screen_frame=$(set -- $corner $extents && echo "Width=$(($3 + $5 + $6)) Height=$(($4 + $7 + $8)) Left=$(($1 - $5)) Top=$(($2 - $7)) ")
  wmctrl -c Shelvio
  for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then echo "the program did not end on close" >&2; kill "$pid"; return 1; fi
  wait "$pid"
}

form() { sed -n '/^\[FORM\]/,/^\[/{/^\[/d;p}' "$settings" | tr '\n' ' '; }

failures=0
# name | [FORM] before the first start | a pattern that every close must write, the first one included
check() {
  local name=$1 initial=$2 expected=$3
  printf '[FORM]\n%b[USER]\nActivePage=1\n' "$initial" >"$settings"
  local first="" now
  for i in $(seq 10); do
    cycle
    now=$(form)
    if ! [[ "$now" =~ ^$expected$ ]]; then
      echo "FAIL $name: close $i wrote [$now], expected [$expected]"
      failures=$((failures + 1))
      return
    fi
    if [ "$i" = 1 ]; then first=$now; fi
    if [ "$now" != "$first" ]; then
      echo "FAIL $name: close $i wrote [$now], close 1 wrote [$first]"
      failures=$((failures + 1))
      return
    fi
    # A normal window was on the screen where [FORM] puts it.
    if [[ "$now" == *WinState=1* ]] && [ "$now" != "${screen_frame}WinState=1 " ]; then
      echo "FAIL $name: close $i wrote [$now], the frame was at [$screen_frame]"
      failures=$((failures + 1))
      return
    fi
  done
  echo "ok   $name: [$first] ten times"
}

check "normal" 'Width=1000\nHeight=800\nLeft=50\nTop=50\nWinState=1\n' \
  "Width=1000 Height=800 Left=50 Top=50 WinState=1 "
check "another size and place" 'Width=900\nHeight=700\nLeft=120\nTop=80\nWinState=1\n' \
  "Width=900 Height=700 Left=120 Top=80 WinState=1 "
check "maximized" 'Width=900\nHeight=700\nLeft=120\nTop=80\nWinState=0\n' \
  "Width=900 Height=700 Left=120 Top=80 WinState=0 "
# The window cannot be smaller than its minimum: it opens at its minimum size with its frame at the
# stored corner, and every close writes that.
check "below the minimum" 'Width=200\nHeight=150\nLeft=70\nTop=60\nWinState=1\n' \
  "Width=[0-9]{3,4} Height=[0-9]{3,4} Left=70 Top=60 WinState=1 "

exit $((failures > 0))
