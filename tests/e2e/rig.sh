# Test rig for running the real program headless: an X server (Xvfb) and a private
# PulseAudio daemon whose null sink records the input (left) and the program's
# output (right) on one time base. Source this file from bash; it only defines functions.
#
#   . tests/e2e/rig.sh
#   rig_x_start                 # Xvfb on a free display; exports DISPLAY
#   rig_pulse_start             # private daemon + sinks; exports XDG_RUNTIME_DIR etc.
#   rig_record_start out.raw    # stereo s16le 44100 Hz: left = input, right = output
#   ...start the program (default sink = its output, default source = the input)...
#   rig_play input.wav          # plays into the input channel, returns when done
#   rig_record_stop
#   rig_pulse_stop; rig_x_stop  # or: trap rig_stop_all EXIT
#
# Every process it starts is stopped by its own pid. State lives in RIG_DIR (a fresh
# temporary folder, removed by rig_stop_all, unless set before rig_pulse_start/rig_x_start).
# Needs: Xvfb, xdpyinfo, pulseaudio, pactl, pacat, parec, paplay.

RIG_RATE=44100
RIG_E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

rig_log() { printf 'rig: %s\n' "$*" >&2; }

# The rig's own players and recorders run above ordinary work where the user may raise
# them (root): beside busy loops a starved player would put gaps into the input itself.
RIG_NICE=()
if nice -n -15 true 2>/dev/null; then RIG_NICE=(nice -n -15); fi

rig_dir() {
  if [ -z "${RIG_DIR:-}" ]; then
    RIG_DIR=$(mktemp -d /tmp/qm-rig.XXXXXX)
    RIG_DIR_OWNED=1
  fi
  mkdir -p "$RIG_DIR"
  chmod 700 "$RIG_DIR"
}

# rig_x_start [WIDTHxHEIGHTxDEPTH]: starts Xvfb on a display it picks itself (-displayfd,
# so rigs started at the same time never share one). -noreset: by default the server
# resets when its last client leaves and refuses connections meanwhile, so a program
# started right after another one exits could find no display.
rig_x_start() {
  local screen=${1:-1024x768x24} i n=""
  rig_dir
  : >"$RIG_DIR/display"
  Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset 3>"$RIG_DIR/display" >"$RIG_DIR/xvfb.log" 2>&1 &
  RIG_XVFB_PID=$!
  for i in $(seq 1 100); do
    n=$(head -1 "$RIG_DIR/display" 2>/dev/null)
    if [ -n "$n" ] && DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
      export DISPLAY=":$n"
      rig_log "Xvfb on $DISPLAY (pid $RIG_XVFB_PID)"
      return 0
    fi
    kill -0 "$RIG_XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  rig_log "could not start Xvfb (see $RIG_DIR/xvfb.log)"
  rig_x_stop
  return 1
}

rig_x_stop() {
  if [ -n "${RIG_XVFB_PID:-}" ]; then
    kill "$RIG_XVFB_PID" 2>/dev/null; wait "$RIG_XVFB_PID" 2>/dev/null
    RIG_XVFB_PID=""
  fi
}

# rig_pulse_start: a private PulseAudio daemon (own XDG_RUNTIME_DIR) with
#   rec  stereo null sink (recorded through its monitor)
#   inL  mono sink onto rec's left channel    (where rig_play puts the input)
#   spk  mono sink onto rec's right channel   (default sink: the program's output)
#   mic  mono source from rec's left channel  (default source: the program's input)
# plus the two keep-alive streams without which new streams on a null sink stall.
rig_pulse_start() {
  rig_dir
  export XDG_RUNTIME_DIR="$RIG_DIR/run"
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
  unset PULSE_SINK PULSE_SOURCE
  mkdir -p "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  pulseaudio -D -n --exit-idle-time=-1 --disallow-exit \
    --load="module-native-protocol-unix" --log-target="file:$RIG_DIR/pa.log" 2>>"$RIG_DIR/pa.err" || {
    rig_log "pulseaudio did not start (see $RIG_DIR/pa.log)"; return 1; }
  local i
  for i in $(seq 1 50); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  RIG_PULSE_PID=$(cat "$XDG_RUNTIME_DIR/pulse/pid" 2>/dev/null)
  # A server still setting up: it answers, but has no device (so no default) yet.
  sleep "${RIG_PULSE_SETUP_DELAY:-0}"
  pactl load-module module-null-sink sink_name=rec rate=$RIG_RATE channels=2 format=s16le >/dev/null &&
  pactl load-module module-remap-sink sink_name=inL master=rec channels=1 channel_map=mono \
    master_channel_map=front-left remix=no >/dev/null &&
  pactl load-module module-remap-sink sink_name=spk master=rec channels=1 channel_map=mono \
    master_channel_map=front-right remix=no >/dev/null &&
  pactl load-module module-remap-source source_name=mic master=rec.monitor channels=1 channel_map=mono \
    master_channel_map=front-left remix=no >/dev/null &&
  pactl set-default-sink spk && pactl set-default-source mic || {
    rig_log "could not set up the null sinks"; rig_pulse_stop; return 1; }
  "${RIG_NICE[@]}" pacat -p --raw --rate=$RIG_RATE --channels=1 --format=s16le --latency-msec=10 -d spk </dev/zero &
  RIG_KEEP_OUT_PID=$!
  "${RIG_NICE[@]}" parec --latency-msec=10 -d mic >/dev/null &
  RIG_KEEP_IN_PID=$!
  rig_log "PulseAudio rig up (daemon pid $RIG_PULSE_PID, $XDG_RUNTIME_DIR)"
}

# rig_record_start FILE: raw stereo s16le at 44100 Hz, left = input, right = output.
rig_record_start() {
  "${RIG_NICE[@]}" parec --latency-msec=10 -d rec.monitor --rate=$RIG_RATE --channels=2 --format=s16le --raw >"$1" &
  RIG_REC_PID=$!
}

# rig_wait_window [SECONDS]: waits (default 10 s) for the window titled Quillmorph and
# sets RIG_WID to its id; returns 1 when none appeared.
rig_wait_window() {
  local i tries=$(( ${1:-10} * 20 ))
  RIG_WID=""
  for i in $(seq 1 "$tries"); do
    RIG_WID=$(xdotool search --name '^Quillmorph$' 2>/dev/null | head -1)
    [ -n "$RIG_WID" ] && return 0
    sleep 0.05
  done
  return 1
}

rig_record_stop() {
  if [ -n "${RIG_REC_PID:-}" ]; then
    kill "$RIG_REC_PID" 2>/dev/null; wait "$RIG_REC_PID" 2>/dev/null
    RIG_REC_PID=""
  fi
}

# rig_play FILE.wav: plays a mono 44100 Hz file into the input channel (blocks). A roomy
# buffer: its latency comes before the recorded input, and a tight one starves under load.
rig_play() {
  "${RIG_NICE[@]}" paplay --latency-msec=100 -d inL "$1"
}

rig_pulse_stop() {
  rig_record_stop
  local p
  for p in "${RIG_KEEP_OUT_PID:-}" "${RIG_KEEP_IN_PID:-}"; do
    [ -n "$p" ] && { kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; }
  done
  RIG_KEEP_OUT_PID=""; RIG_KEEP_IN_PID=""
  if [ -n "${RIG_PULSE_PID:-}" ]; then
    kill "$RIG_PULSE_PID" 2>/dev/null
    local i
    for i in $(seq 1 30); do kill -0 "$RIG_PULSE_PID" 2>/dev/null || break; sleep 0.1; done
    RIG_PULSE_PID=""
  fi
}

rig_stop_all() {
  rig_pulse_stop
  rig_x_stop
  if [ "${RIG_DIR_OWNED:-0}" = 1 ] && [ -n "${RIG_DIR:-}" ]; then
    rm -rf "$RIG_DIR"
    RIG_DIR=""; RIG_DIR_OWNED=0
  fi
}

# rig_measure WORK NAME LABEL REPORT-ARGS...: plays WORK/voice.wav into the rig's input,
# records both channels and checks the output (analyze.py report, its lines printed
# after "LABEL: NAME: "); returns 1 when the report finds a fault.
rig_measure() {
  local work=$1 name=$2 label=$3 rc=0
  shift 3
  rig_record_start "$work/$name.raw"
  sleep 0.3
  rig_play "$work/voice.wav"
  sleep 0.8
  rig_record_stop
  python3 "$RIG_E2E_DIR/analyze.py" report "$work/$name.raw" "$@" >"$work/$name.json" 2>"$work/$name.log" || rc=1
  sed "s/^/$label: $name: /" "$work/$name.log"
  return $rc
}
