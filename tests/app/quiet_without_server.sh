#!/usr/bin/env bash
# Started where no sound server answers (SDL falls back to ALSA, which finds no card),
# the program says so in its own words only: each device's "sound: cannot open ..."
# line, nothing from the libraries beneath it, also while it keeps trying. Then it
# closes on SIGTERM with exit code 0.
#   tests/app/quiet_without_server.sh PROGRAM
set -uo pipefail
program=$1
work=$(mktemp -d /tmp/qm-quiet.XXXXXX)
trap 'kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/run" && chmod 700 "$work/run"
cd "$work" || exit 1
# Under LeakSanitizer the program's exit would add its report to the lines judged here: the
# pad and the stream are not freed at exit (the main window leaves them to the process's end).
XDG_RUNTIME_DIR=$work/run PULSE_SERVER=unix:$work/run/none SDL_AUDIODRIVER= SDL_VIDEODRIVER=dummy \
  ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 "$program" 2>"$work/err" &
pid=$!
# both devices reported, and a few retries (every half second) made
for _ in $(seq 1 200); do [ "$(grep -c '^sound: cannot open' "$work/err")" -ge 2 ] && break; sleep 0.05; done
sleep 1.5
kill -TERM "$pid"; wait "$pid"; rc=$?
cat "$work/err"
[ "$(grep -c '^sound: cannot open the default' "$work/err")" = 2 ] || { echo "FAIL: expected one line per device"; exit 1; }
others=$(grep -v '^sound: ' "$work/err")
[ -z "$others" ] || { echo "FAIL: lines not of the program's own: $(wc -l <<<"$others")"; exit 1; }
[ "$rc" = 0 ] || { echo "FAIL: exit code $rc after SIGTERM"; exit 1; }
echo "ok: only the program's own lines, exit code 0"
