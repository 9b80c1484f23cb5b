# Shared by the desktop tests (package.sh, virtual_mic.sh): the rig, the fed voice,
# and the checks on the window and the changed voice. Source from bash after
# setting work (a scratch folder); defines functions, and desk_fail counts failures.

desk_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
desk_rig=$(cd "$desk_here/../rig" && pwd)
failures=0

fail() { failures=$((failures + 1)); echo "FAIL: $*" >&2; }
note() { printf '%s: %s\n' "$desk_name" "$*"; }

. "$desk_rig/rig.sh"

# desk_need TOOL...: exits 77 (skipped) when one, or the measurements' python, is missing.
desk_need() { rig_need "$@"; }

# desk_rig_start: Xvfb, the PulseAudio rig (real-time, as the live runs have it: these
# tests are about installing and routing, not about a starved server), the close-button
# sender and the voice.
desk_rig_start() {
  cc -O2 -o "$work/wm_delete" "$desk_rig/wm_delete.c" -lX11 || exit 1
  rig_voice "$work" || exit 1
  rig_x_start || exit 1
  rig_pulse_start || exit 1
  rig_pulse_realtime
}

# desk_check_window WID BACK_BMP: the pad is shown, 400 x 400, crosshair and circle
# at the centre, over the background picture. Sets pad_x, pad_y (its origin).
desk_check_window() {
  local pad
  pad=$(rig_check_pad "$1" "$work/window.png" --expect-size 400x400 --expect-crosshair 200,200 --expect-circle \
        --expect-picture "$2") || fail "window picture: $pad"
  read -r pad_x pad_y < <(rig_pad_origin "$pad")
}

# desk_drag_top WID: a real pointer drag from the centre past the top edge (two
# octaves up), checked on the screen.
desk_drag_top() {
  xdotool mousemove --window "$1" $((pad_x + 200)) $((pad_y + 200)) mousedown 1 \
          mousemove --window "$1" $((pad_x + 200)) $((pad_y + 100)) \
          mousemove --window "$1" $((pad_x + 200)) $((pad_y - 30)) mouseup 1
  rig_check_pad "$1" "$work/window-top.png" --expect-crosshair 200,0 >/dev/null || fail "the crosshair did not follow the drag"
}

# desk_measure NAME REPORT-ARGS...: plays the voice into the rig's input and checks
# what comes out on its output channel, every burst (tests/rig/analyze.py report).
desk_measure() {
  rig_measure "$work" "$1" "$desk_name" "${@:2}" || [ $? = 77 ] || fail "voice, $1"
}

# desk_wait_gone PID SECONDS: 0 once the process has ended, 1 if it still runs.
desk_wait_gone() {
  local i
  for i in $(seq 1 $(( $2 * 20 ))); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.05; done
  ! kill -0 "$1" 2>/dev/null
}
