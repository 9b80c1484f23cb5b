#!/usr/bin/env bash
# Measures the real program under a pointer flood: Xvfb, a private PulseAudio daemon
# with sound flowing, the left button held on the pad, MOVES pointer moves.
#   tests/rig/pad_flood.sh PROGRAM [MOVES] [RUNS]
# For each run it prints, per scenario, the program's CPU share while idle with sound
# flowing and during the flood (share of one core: all its threads' CPU time over the
# wall time from the first move until the crosshair stood on the last), how long after
# the last move the crosshair got there, and, for the backlog case, how long a close
# request sent right after the flood took to be served (from the request until the
# process had ended; polled every 5 ms). The flood's share is also given per thread:
# window (the program's first thread, which runs the window loop) and the others by name
# (SDL's audio threads, the stream's notification thread, the sound client's).
#   paced    one move per millisecond (a 1 kHz mouse)
#   burst    as fast as X takes them (CPU counted over the second after the first move)
#   close    a burst, then at once the close button's request
#   xdotool  one xdotool process per move in a tight loop, as by hand
# Figures, not assertions: timings on a shared machine are noisy.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$(realpath "$1")
moves=${2:-2000}
runs=${3:-3}
. "$here/rig.sh"
trap 'stop_program; rig_stop_all' EXIT

pid=""
stop_program() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
  fi
}

# CPU time of each thread of a process so far: "tid name ns" lines, from the scheduler's
# own count (nanoseconds; the clock-tick figures of /proc/PID/stat are 10 ms coarse).
threads_ns() {
  local t name
  for t in /proc/"$1"/task/*; do
    name=$(cat "$t/comm" 2>/dev/null) || continue
    set -- "$1" $(cat "$t/schedstat" 2>/dev/null || echo 0)
    echo "${t##*/} ${name// /_} $2"
  done
}
cpu_ns() { threads_ns "$1" | awk '{ s += $3 } END { printf "%d\n", s }'; }
# per_thread PID BEFORE AFTER WALL_NS: "window:S,NAME:S,..." shares of one core between two
# threads_ns readings; the first thread (tid = pid) is the window thread.
per_thread() {
  awk -v pid="$1" -v w="$4" '
    FNR == NR { before[$1] = $3; next }
    { n = ($1 == pid ? "window" : $2); d[n] += $3 - ($1 in before ? before[$1] : 0); if (!(n in seen)) { seen[n] = 1; order[++k] = n } }
    END { for (i = 1; i <= k; ++i) printf "%s%s:%.1f", (i > 1 ? "," : ""), order[i], (w > 0 ? 100 * d[order[i]] / w : 0); printf "\n" }' \
    <(echo "$2") <(echo "$3")
}
now_ns() { date +%s%N; }
share() { awk -v c="$1" -v w="$2" 'BEGIN { printf "%.1f", (w > 0 ? 100 * c / w : 0) }'; }

rig_x_start
rig_pulse_start
cc -O2 -o "$RIG_DIR/pad_flood" "$here/pad_flood.c" -lX11
cc -O2 -o "$RIG_DIR/wm_delete" "$here/wm_delete.c" -lX11
work="$RIG_DIR/work"
mkdir -p "$work"
cp "$(dirname "$program")/back.bmp" "$work/" 2>/dev/null || true

start_program() {
  (cd "$work" && SDL_AUDIODRIVER=pulseaudio exec "$program" >"$RIG_DIR/program.log" 2>&1) &
  pid=$!
  wid=$(timeout 10 xdotool search --sync --name '^Quillmorph$' | head -1)
  sleep 1  # sound up and the first paint done
  xdotool mousemove --window "$wid" 200 200 mousedown 1
  sleep 0.3
}

for run in $(seq 1 "$runs"); do
  for scenario in paced burst close xdotool; do
    start_program
    c0=$(cpu_ns "$pid"); t0=$(now_ns)
    sleep 2
    idle=$(share $(($(cpu_ns "$pid") - c0)) $(($(now_ns) - t0)))
    period=0; extra=""
    [ "$scenario" = paced ] && period=1000
    [ "$scenario" = close ] && extra=nowait
    th0=$(threads_ns "$pid"); c0=$(cpu_ns "$pid"); t0=$(now_ns)
    if [ "$scenario" = xdotool ]; then
      for i in $(seq 1 "$moves"); do xdotool mousemove --window "$wid" $((20 + i * 7 % 360)) $((20 + i * 13 % 360)); done
      out="moves=$moves sent_ms=$(( ($(now_ns) - t0) / 1000000 ))"
    else
      out=$("$RIG_DIR/pad_flood" "$wid" "$moves" "$period" $extra || true)
    fi
    # A burst is over in milliseconds: its cost is counted over the second after it.
    [ "$scenario" = burst ] && sleep 1
    th1=$(threads_ns "$pid"); c1=$(cpu_ns "$pid"); t1=$(now_ns)
    if [ "$scenario" = close ]; then
      asked=$(now_ns)
      "$RIG_DIR/wm_delete" "$wid"
      for i in $(seq 1 2000); do kill -0 "$pid" 2>/dev/null || break; sleep 0.005; done
      close_ms=$(( ($(now_ns) - asked) / 1000000 ))
      alive=$(kill -0 "$pid" 2>/dev/null && echo yes || echo no)
      code=0; wait "$pid" 2>/dev/null || code=$?
      pid=""
      xdotool mouseup 1  # the button went down on a window that is gone
      echo "run=$run scenario=$scenario idle_cpu=${idle}% $out close_ms=$close_ms still_running=$alive exit=$code"
    else
      busy=$(share $((c1 - c0)) $((t1 - t0)))
      xdotool mouseup 1
      echo "run=$run scenario=$scenario idle_cpu=${idle}% flood_cpu=${busy}% cpu_ms=$(((c1 - c0) / 1000000)) over_ms=$(((t1 - t0) / 1000000)) $out threads=$(per_thread "$pid" "$th0" "$th1" $((t1 - t0)))"
      stop_program
    fi
  done
done
