#!/usr/bin/env bash
# End-to-end run of the real Windows program under Wine, Xvfb and the PulseAudio rig.
#   tests/rig/windows-e2e.sh PROGRAM_DIR [WORK_DIR]
# PROGRAM_DIR holds quillmorph.exe and back.bmp (the build folder or the unpacked zip);
# the program runs with it as current directory. WORK_DIR (default: a temporary folder)
# receives screenshots, recordings and e2e-summary.json.
#   WINEPREFIX          prefix to use (default WORK_DIR/wineprefix, prepared here)
#   QM_E2E_LINUX_SHOT   a screenshot of the Linux program to compare the window with, or
#   QM_E2E_LINUX_EXE    the Linux program, to take that screenshot here (run from its own
#                       folder, where back.bmp lies, with SDL's dummy sound driver)
#   QM_E2E_CLOSE_LIMIT  seconds allowed from the close request to the exit (default 5:
#                       the program should take under 2, the rest is margin for a busy machine)
# Checks: the window appears with a 400x400 pad and the crosshair at its centre; a fed
# voice comes out resynthesised at the input's pitch; a real pointer drag to the top
# edge raises it two octaves; WM_DELETE_WINDOW ends the program with code 0. Prints the
# measured input-to-output delay and close time. Exit code 0 when every check passed.
# Wine's own stream at the server holds 30 ms, topped up every 10 ms by a thread at ordinary
# priority (Wine 8 maps no Windows priority onto Linux), below the program's queue of two
# blocks: a gap where the server found that stream empty is Wine's when the program, by its
# own count at exit, never ran dry, and the program's when it did.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] || { sed -n '2,14p' "$0"; exit 2; }
prog_dir=$(cd "$1" && pwd)
work=${2:-$(mktemp -d /tmp/qm-win-e2e.XXXXXX)}
mkdir -p "$work"; work=$(cd "$work" && pwd)
close_limit=${QM_E2E_CLOSE_LIMIT:-5}

failures=()
fail() { failures+=("$*"); echo "FAIL: $*" >&2; }
note() { printf 'e2e: %s\n' "$*"; }
since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }'; }

. "$here/rig.sh"
for tool in wine Xvfb xdotool import pulseaudio pactl parec paplay cc; do
  command -v "$tool" >/dev/null || { echo "e2e: missing $tool (run script/bootstrap)" >&2; exit 1; }
done
[ -n "$RIG_PY" ] || { echo "e2e: no python3 with numpy, scipy, aubio and Pillow (run script/bootstrap)" >&2; exit 1; }
[ -f "$prog_dir/quillmorph.exe" ] || { echo "e2e: no quillmorph.exe in $prog_dir" >&2; exit 1; }
wine_pid=""
cleanup() {
  # ends the program too if it is still running: it belongs to this prefix's wineserver
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null; fi
  if [ -n "$wine_pid" ]; then wait "$wine_pid" 2>/dev/null; fi
  rig_stop_all
}
trap cleanup EXIT

cc -O2 -o "$work/wm_delete" "$here/wm_delete.c" -lX11 || { echo "e2e: cannot build wm_delete" >&2; exit 1; }
rig_voice "$work" || exit 1

export WINEDEBUG=-all
export WINEDLLOVERRIDES=winemenubuilder.exe=d  # no menu entries or file associations in $HOME
export WINEPREFIX=${WINEPREFIX:-$work/wineprefix}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  note "preparing Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
fi
# Without a window manager Wine waits two seconds for one whenever a managed window
# goes away; unmanaged, Wine draws the frame itself, as Windows would.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f >/dev/null 2>&1

rig_x_start || exit 1
rig_pulse_start || exit 1

note "starting quillmorph.exe in $prog_dir"
t_start=$(date +%s.%N)
rm -f "$work/exit_code"
# the subshell records the exit code: a finished child stays signalable until reaped
(cd "$prog_dir" && QUILLMORPH_AUDIO_STATS=1 wine ./quillmorph.exe >"$work/wine.log" 2>&1; echo $? >"$work/exit_code") &
wine_pid=$!

wid=""
for _ in $(seq 1 600); do  # hang guard: Wine's first start can be slow on a busy machine
  wid=$(xdotool search --name '^Quillmorph$' 2>/dev/null | head -1)
  [ -n "$wid" ] && break
  [ -f "$work/exit_code" ] && break
  sleep 0.1
done
if [ -z "$wid" ]; then
  fail "no window titled Quillmorph appeared"
  cat "$work/wine.log" >&2
  exit 1
fi
note "window $wid after $(since "$t_start") s"
rig_wait_streams "" 30 || fail "the program's sound streams did not open"

# --- the window ---------------------------------------------------------------
xwininfo -id "$wid" | grep -E 'Width|Height' | tr -s ' ' | sed 's/^/e2e: X window/'
pad_json=$(rig_check_pad "$wid" "$work/window.png" --expect-size 400x400 --expect-crosshair 200,200 --expect-circle) ||
  fail "window picture: $pad_json"
note "pad: $pad_json"
if [ -z "${QM_E2E_LINUX_SHOT:-}" ] && [ -n "${QM_E2E_LINUX_EXE:-}" ] && [ -x "$QM_E2E_LINUX_EXE" ]; then
  linux_dir=$(cd "$(dirname "$QM_E2E_LINUX_EXE")" && pwd)
  (cd "$linux_dir" && SDL_AUDIODRIVER=dummy exec "./$(basename "$QM_E2E_LINUX_EXE")") >"$work/linux.log" 2>&1 &
  linux_pid=$!
  lwid=""
  for _ in $(seq 1 100); do
    # the Wine window carries the same title; take the other one
    lwid=$(xdotool search --name '^Quillmorph$' 2>/dev/null | grep -vx "$wid" | head -1)
    [ -n "$lwid" ] && break
    sleep 0.1
  done
  if [ -n "$lwid" ]; then
    rig_check_pad "$lwid" "$work/window-linux.png" --expect-size 400x400 --expect-crosshair 200,200 \
      --expect-circle >/dev/null && QM_E2E_LINUX_SHOT=$work/window-linux.png
  else
    fail "the Linux program showed no window"
  fi
  kill -TERM "$linux_pid" 2>/dev/null; wait "$linux_pid" 2>/dev/null
fi
if [ -n "${QM_E2E_LINUX_SHOT:-}" ] && [ -f "$QM_E2E_LINUX_SHOT" ]; then
  $RIG_ANALYZE compare "$work/window.png" "$QM_E2E_LINUX_SHOT" >"$work/compare.json" ||
    fail "window differs from the Linux one: $(cat "$work/compare.json")"
  note "compared with $QM_E2E_LINUX_SHOT"
fi
read -r ox oy < <(rig_pad_origin "$pad_json")

# --- the voice at the centre ----------------------------------------------------
rig_measure "$work" centre e2e --expect-ratio 1 --tolerance 0.03 --expect-changed --min-level 0.1 --max-level 0.9 \
  --empties-aside ||
  [ $? = 77 ] || fail "voice at the centre (details above)"

# --- a real drag to the top edge ------------------------------------------------
xdotool mousemove --window "$wid" $((ox + 200)) $((oy + 200)) mousedown 1 \
        mousemove --window "$wid" $((ox + 200)) $((oy + 100)) \
        mousemove --window "$wid" $((ox + 200)) $((oy + 0)) mouseup 1
top_json=$(rig_check_pad "$wid" "$work/window-top.png" --expect-crosshair 200,0) ||
  fail "crosshair did not follow the drag: $top_json"
note "after the drag: $top_json"
rig_measure "$work" top e2e --expect-ratio 4 --tolerance 0.02 --empties-aside || [ $? = 77 ] ||
  fail "voice after the drag to the top (details above)"

# --- closing ----------------------------------------------------------------------
t0=$(date +%s.%N)
"$work/wm_delete" "$wid" || fail "could not send WM_DELETE_WINDOW"
rc=""
for _ in $(seq 1 1500); do  # hang guard 30 s
  [ -s "$work/exit_code" ] && break
  sleep 0.02
done
close_s=$(since "$t0")
if [ -s "$work/exit_code" ]; then
  rc=$(cat "$work/exit_code"); wait "$wine_pid" 2>/dev/null; wine_pid=""
else
  fail "still running 30 s after the close request"
fi
[ "$rc" = 0 ] || fail "exit code $rc after the close request (expected 0)"
if awk -v t="$close_s" -v l="$close_limit" 'BEGIN { exit !(t > l) }'; then
  fail "took $close_s s to exit after the close request (limit $close_limit s)"
fi
xdotool search --name '^Quillmorph$' >/dev/null 2>&1 && fail "window still there after exit"

# --- Wine's gaps or the program's --------------------------------------------------
stats=$(grep '^sound: ' "$work/wine.log" | tail -1)
note "${stats:-no sound statistics at exit}"
dry=$(sed -n 's/^sound: \([0-9][0-9]*\) underruns.*/\1/p' <<<"$stats")
[ -n "$dry" ] || fail "the program printed no count of its underruns at exit (QUILLMORPH_AUDIO_STATS=1)"
wine_gaps=$(cat "$work"/centre.json "$work"/top.json 2>/dev/null | grep -o '"client_gaps_ms": \[[^]]*\]' | tr '\n' ' ')
if [ -n "$wine_gaps" ]; then
  if [ "${dry:-1}" = 0 ]; then
    note "gaps where the server found Wine's stream empty, the program's queue never dry: $wine_gaps"
  else
    fail "the program's queue ran dry $dry times, so the gaps where the server found its stream empty count: $wine_gaps"
  fi
fi

# --- summary ------------------------------------------------------------------------
python3 - "$work" "$rc" "$close_s" <<'PY'
import json, sys
work, rc, close_s = sys.argv[1:4]
def load(name):
    try:
        return json.load(open(f"{work}/{name}.json"))
    except Exception:
        return {}
c, t = load('centre'), load('top')
def pitches(r):
    b = [x for x in r.get('bursts', []) if 'out_pitch_hz' in x]
    return [x['in_pitch_hz'] for x in b], [x['out_pitch_hz'] for x in b]
ci, co = pitches(c)
ti, to = pitches(t)
summary = {'centre': c, 'top': t, 'exit_code': rc, 'close_seconds': float(close_s)}
json.dump(summary, open(f"{work}/e2e-summary.json", 'w'), indent=1)
print(f"e2e: input pitch {ci} Hz; output at the centre {co} Hz; after the drag to the top {to} Hz")
print(f"e2e: input-to-output delay (median) {c.get('median_delay_ms')} ms at the centre,"
      f" {t.get('median_delay_ms')} ms after the drag")
print(f"e2e: exit code {rc}, {close_s} s after WM_DELETE_WINDOW")
PY
note "artefacts in $work"
if [ ${#failures[@]} -gt 0 ]; then
  printf 'e2e: %d check(s) failed\n' "${#failures[@]}" >&2
  exit 1
fi
rig_unjudged_exit e2e
note "all checks passed"
