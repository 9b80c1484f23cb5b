#!/usr/bin/env bash
# The window demo under Xvfb: a real pointer drag (xdotool), then closing from the
# close button (WM_DELETE_WINDOW, as a window manager sends it), then with SIGINT.
# Exit 77 (skipped) when Xvfb, xdotool or a C compiler with Xlib is missing.
#   window_e2e.sh DEMO WM_DELETE_SOURCE
set -uo pipefail
demo=$1
closer_src=$2
for tool in Xvfb xdotool xdpyinfo cc; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (script/bootstrap installs it)"
    exit 77
  fi
done

tmp=$(mktemp -d)
xvfb=""
pid=""
cleanup() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- demo stdout"; cat "$tmp/out" 2>/dev/null; echo "--- demo stderr"; cat "$tmp/err" 2>/dev/null; exit 1; }

if ! cc -o "$tmp/wm_delete" "$closer_src" -lX11 2>"$tmp/cc.log"; then
  echo "SKIP: cannot build the Xlib close helper: $(head -1 "$tmp/cc.log")"
  exit 77
fi

display=""
for n in $(seq 91 150); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || fail "no free X display number"
# -noreset: a server that resets after its last client refuses connections meanwhile.
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp -noreset >"$tmp/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 100); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo -display "$display" >/dev/null 2>&1 || fail "Xvfb did not start"
export DISPLAY=$display
unset SDL_VIDEODRIVER WAYLAND_DISPLAY

start_demo() {
  : >"$tmp/out"
  set -m  # a background job keeps SIGINT only with job control on
  "$demo" >"$tmp/out" 2>"$tmp/err" &
  pid=$!
  set +m
  wid=""
  # mapped, not only created: moves sent to a window not yet shown are lost
  for _ in $(seq 100); do
    wid=$(xdotool search --onlyvisible --name '^Quillmorph$' 2>/dev/null | head -1)
    [ -n "$wid" ] && break
    sleep 0.1
  done
  [ -n "$wid" ] || fail "the window did not appear"
}

wait_for_line() {
  for _ in $(seq 100); do grep -qx "$1" "$tmp/out" && return 0; sleep 0.1; done
  fail "expected the line '$1'"
}

finish_demo() {
  local waited=0
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do sleep 0.1; waited=$((waited + 1)); done
  kill -0 "$pid" 2>/dev/null && fail "the demo did not exit after $1"
  wait "$pid"
  local rc=$?
  pid=""
  [ $rc -eq 0 ] || fail "exit code $rc after $1"
  grep -qx close "$tmp/out" || fail "no close reported after $1"
  echo "ok: $1 closes the window and the program exits 0"
}

# 1. Drag inside, then beyond the window (the canvas holds the capture), then close button.
start_demo
# Moves still waiting for the window merge into the newest, so each is awaited before the next.
xdotool mousemove --window "$wid" 200 200 mousedown 1 mousemove --window "$wid" 300 100
wait_for_line "drag 300 100"
xdotool mousemove --window "$wid" 450 -20 mouseup 1
wait_for_line "drag 450 -20"
xdotool mousemove --window "$wid" 100 300 mousedown 1 mousemove --window "$wid" 120 310 mouseup 1
wait_for_line "drag 120 310"
# The last drag is on screen: its crosshair row is grey. The screen follows a paint within
# one update interval (16 ms), not at once: shots are taken until it shows, up to 5 s.
if command -v import >/dev/null 2>&1; then
  shown=""
  for _ in $(seq 100); do
    import -window "$wid" "$tmp/shot.png" 2>/dev/null
    pixel=$(/usr/bin/convert "$tmp/shot.png" -format '%[pixel:p{50,310}]' info: 2>/dev/null)
    case "$pixel" in
      *"100,100,100"*|"gray(100)"|"grey(100)"|*"39.2157%"*) shown=1; break ;;
    esac
    sleep 0.05
  done
  [ -n "$shown" ] || fail "pixel (50,310) is $pixel, expected the grey crosshair"
  echo "ok: the drawn crosshair shows on screen ($pixel)"
fi
echo "ok: real pointer drags reach the canvas, also beyond the window"
"$tmp/wm_delete" "$wid" || fail "could not send WM_DELETE_WINDOW"
finish_demo "the close button"

# 2. SIGINT from the terminal.
start_demo
kill -INT "$pid"
finish_demo "SIGINT"
