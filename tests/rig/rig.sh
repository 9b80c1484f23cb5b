# Test rig for running the real program headless: an X server (Xvfb) and a private
# PulseAudio daemon whose null sink records the input (left) and the program's
# output (right) on one time base. Source this file from bash; it only defines functions.
#
#   . tests/rig/rig.sh
#   rig_x_start                 # Xvfb on a free display; exports DISPLAY
#   rig_pulse_start             # private daemon + sinks; exports XDG_RUNTIME_DIR etc.
#   rig_record_start out.raw    # stereo s16le 44100 Hz: left = input, right = output
#   ...start the program (default sink = its output, default source = the input)...
#   rig_play input.wav          # plays into the input channel, returns when done
#   rig_record_stop
#   rig_pulse_stop; rig_x_stop  # or: trap rig_stop_all EXIT
#
# RIG_SERVER=pipewire (before rig_pulse_start) runs PipeWire with WirePlumber and
# pipewire-pulse instead of PulseAudio, with the same devices; RIG_SDL_DRIVER is the SDL
# driver the program should use (pulseaudio, or pipewire for SDL's native one);
# RIG_PW_DEVICES=linked builds PipeWire's devices as null devices linked in its graph, which
# add no delay of their own (see rig_device_add).
# Every process it starts is stopped by its own pid. State lives in RIG_DIR (a fresh
# temporary folder, removed by rig_stop_all, unless set before rig_pulse_start/rig_x_start).
# Needs: Xvfb, xdpyinfo, pulseaudio, pactl, pacat, parec, paplay, ImageMagick's import,
# and a python3 with numpy, scipy, aubio and Pillow (RIG_PY; rig_need checks them all).
# Every wait is for a condition (a picture, a stream, data in the recording), with a
# generous limit, never for a fixed time.

RIG_RATE=44100
RIG_SERVER=${RIG_SERVER:-pulseaudio}
RIG_SDL_DRIVER=${RIG_SDL_DRIVER:-pulseaudio}
# PipeWire makes the smallest latency any stream asks for the whole graph's quantum: the
# rig's own streams ask for a roomy one there, so that they never starve themselves.
RIG_LATENCY_MS=10
[ "$RIG_SERVER" = pipewire ] && RIG_LATENCY_MS=100
RIG_PW_PIDS=()

RIG_DIR_SELF=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

rig_log() { printf 'rig: %s\n' "$*" >&2; }

# The measurements' interpreter: Debian's python3 has the packages script/bootstrap
# installs; a python3 earlier on the PATH (pyenv, a virtualenv) may lack them.
RIG_PY=""
for _py in /usr/bin/python3 "$(command -v python3 2>/dev/null)"; do
  if [ -x "$_py" ] && "$_py" -c 'import numpy, scipy, aubio, PIL' 2>/dev/null; then RIG_PY=$_py; break; fi
done
unset _py
RIG_ANALYZE="$RIG_PY $RIG_DIR_SELF/analyze.py"

# rig_need TOOL...: exits 77 (skipped) when a tool, or the measurements' python, is missing.
rig_need() {
  local tool more=()
  [ "$RIG_SERVER" = pipewire ] && more=(pipewire wireplumber pipewire-pulse pw-cli pw-link pw-metadata dbus-daemon)
  for tool in "$@" "${more[@]}"; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (script/bootstrap installs it)"; exit 77; }
  done
  [ -n "$RIG_PY" ] || { echo "SKIP: no python3 with numpy, scipy, aubio and Pillow (script/bootstrap installs them)"; exit 77; }
}

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
  local i
  if [ "$RIG_SERVER" = pipewire ]; then
    rig_pipewire_up || return 1
  else
    # At debug level the log names each stream the server found empty (rig_pulse_underruns).
    pulseaudio -D -n --exit-idle-time=-1 --disallow-exit --log-level=debug \
      --load="module-native-protocol-unix" --log-target="file:$RIG_DIR/pa.log" --log-time=1 2>>"$RIG_DIR/pa.err" || {
      rig_log "pulseaudio did not start (see $RIG_DIR/pa.log)"; return 1; }
    for i in $(seq 1 50); do
      pactl info >/dev/null 2>&1 && break
      sleep 0.1
    done
    RIG_PULSE_PID=$(cat "$XDG_RUNTIME_DIR/pulse/pid" 2>/dev/null)
  fi
  # A server still setting up: it answers, but has no device (so no default) yet.
  sleep "${RIG_PULSE_SETUP_DELAY:-0}"
  pactl load-module module-null-sink sink_name=rec rate=$RIG_RATE channels=2 format=s16le >/dev/null &&
  rig_device_add inL && rig_device_add spk && rig_device_add mic || {
    rig_log "could not set up the null sinks"; rig_pulse_stop; return 1; }
  "${RIG_NICE[@]}" pacat -p --raw --rate=$RIG_RATE --channels=1 --format=s16le --latency-msec=$RIG_LATENCY_MS \
    -d spk </dev/zero &
  RIG_KEEP_OUT_PID=$!
  "${RIG_NICE[@]}" parec --latency-msec=$RIG_LATENCY_MS -d mic >/dev/null &
  RIG_KEEP_IN_PID=$!
  rig_wait_running || { rig_log "the rig's null sink never ran"; return 1; }
  rig_log "$RIG_SERVER rig up (server pid $RIG_PULSE_PID, $XDG_RUNTIME_DIR)"
}

# rig_device_add inL|spk|mic: puts one of the rig's devices (see rig_pulse_start) on the
# server; spk and mic become the defaults. They are remapped views of rec, rendered in its
# own pass on PulseAudio. On PipeWire those modules are loopback streams, and input and
# output on one device make a loop the graph breaks by a whole quantum (10.7 ms at 512
# frames), a delay no user's machine has. RIG_PW_DEVICES=linked makes each a null device of
# its own there, linked into rec (and inL into mic) in the graph, which adds nothing: the
# rig for reading the delay. Not the default yet: on it a start on SDL's native driver had
# a gap of about a period now and then (3 in 220 here, 1 in 5 on a fresh machine), mostly
# the stream misreading its delay as the voice begins (README, Start and close).
RIG_PW_DEVICES=${RIG_PW_DEVICES:-loopback}
rig_device_add() {
  if [ "$RIG_SERVER" = pipewire ] && [ "$RIG_PW_DEVICES" = linked ]; then
    local class=() from=$1:monitor_MONO to
    case "$1" in
      inL) to=rec:playback_FL ;;
      spk) to=rec:playback_FR ;;
      mic) class=(sink_properties=media.class=Audio/Source/Virtual) from=inL:monitor_MONO to=mic:input_MONO ;;
    esac
    pactl load-module module-null-sink sink_name="$1" rate=$RIG_RATE channels=1 channel_map=mono \
      "${class[@]}" >/dev/null || return 1
    rig_pw_link "$from" "$to" || return 1
  else
    case "$1" in
      inL) pactl load-module module-remap-sink sink_name=inL master=rec channels=1 channel_map=mono \
             master_channel_map=front-left remix=no >/dev/null ;;
      spk) pactl load-module module-remap-sink sink_name=spk master=rec channels=1 channel_map=mono \
             master_channel_map=front-right remix=no >/dev/null ;;
      mic) pactl load-module module-remap-source source_name=mic master=rec.monitor channels=1 \
             channel_map=mono master_channel_map=front-left remix=no >/dev/null ;;
    esac || return 1
  fi
  case "$1" in
    spk) pactl set-default-sink spk ;;
    mic) pactl set-default-source mic ;;
  esac
}

# rig_device_remove inL|spk|mic: takes the device off the server, as unplugging it would.
rig_device_remove() {
  local id
  id=$(pactl list short modules | awk -v n="$1" '$0 ~ "(sink|source)_name=" n "([ \t]|$)" {print $1; exit}')
  [ -n "$id" ] && pactl unload-module "$id"
}

# rig_pw_link OUT IN: links two ports in the PipeWire graph once both are there (a module's
# node shows its ports a moment after pactl returns).
rig_pw_link() {
  local i
  for i in $(seq 1 100); do
    pw-link "$1" "$2" 2>/dev/null && return 0
    sleep 0.05
  done
  rig_log "could not link $1 to $2"
  return 1
}

# rig_pipewire_up: a session bus, PipeWire, WirePlumber and pipewire-pulse on the rig's
# XDG_RUNTIME_DIR, with private configuration and state; returns once the defaults are set.
# RIG_PULSE_PID is PipeWire's own pid (the server a test stops or kills).
rig_pipewire_up() {
  export XDG_CONFIG_HOME="$RIG_DIR/config" XDG_STATE_HOME="$RIG_DIR/state"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME"
  local i bus
  if [ -z "${RIG_DBUS_PID:-}" ] || ! kill -0 "$RIG_DBUS_PID" 2>/dev/null; then
    rm -f "$XDG_RUNTIME_DIR/bus"
    dbus-daemon --session --fork --address="$DBUS_SESSION_BUS_ADDRESS" --print-pid=3 3>"$RIG_DIR/dbus.pid" ||
      { rig_log "no session bus"; return 1; }
    RIG_DBUS_PID=$(cat "$RIG_DIR/dbus.pid")
  fi
  pipewire >>"$RIG_DIR/pw.log" 2>&1 &
  RIG_PULSE_PID=$!
  for i in $(seq 1 100); do pw-cli info 0 >/dev/null 2>&1 && break; sleep 0.05; done
  wireplumber >>"$RIG_DIR/wp.log" 2>&1 &
  RIG_PW_PIDS=($!)
  pipewire-pulse >>"$RIG_DIR/pw-pulse.log" 2>&1 &
  RIG_PW_PIDS+=($!)
  for i in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && pw-metadata -n default 2>/dev/null | grep -q Found && return 0
    sleep 0.05
  done
  rig_log "PipeWire did not come up (see $RIG_DIR/pw*.log)"
  return 1
}

# rig_running PID: the process is there and has not ended. A daemon's parent is init,
# which may reap it seconds after it exited: its zombie counts as ended.
rig_running() {
  local line
  read -r line 2>/dev/null <"/proc/$1/stat" || return 1
  line=${line##*) }
  [ "${line%% *}" != Z ]
}

# rig_server_kill: kills the sound server outright (as a crash would) and waits until it is
# gone; the rig's own streams go with it. rig_pulse_start brings up a new one.
rig_server_kill() {
  local p
  for p in "${RIG_PW_PIDS[@]}" "${RIG_PULSE_PID:-}"; do
    [ -n "$p" ] || continue
    # In a group, so that the shell's "Killed" notice goes where its output goes.
    { kill -KILL "$p"; for _ in $(seq 1 50); do rig_running "$p" || break; sleep 0.02; done; wait "$p"; } 2>/dev/null
  done
  RIG_PW_PIDS=()
  rm -f "$XDG_RUNTIME_DIR/pulse/pid"
  kill "${RIG_KEEP_OUT_PID:-}" "${RIG_KEEP_IN_PID:-}" "${RIG_REC_PID:-}" 2>/dev/null
  RIG_REC_PID=""
}

# rig_pulse_underruns FROM_LINE TO_LINE: what the PulseAudio rig's server logged as found
# empty in that part of its log, "PROGRAM RIG": the program's playback (the sink inputs its
# client made) and the rig's own streams.
rig_pulse_underruns() {
  $RIG_ANALYZE pulse-log "$RIG_DIR/pa.log" underruns --from-line "$1" --to-line "$2"
}

# rig_pulse_mark: leaves a line on the PulseAudio rig's server log at a known time, and
# prints that time (epoch seconds): the client "qm-mark" is freed just before pactl returns.
# rig_pulse_catchups reads the log's clock off it.
rig_pulse_mark() {
  pactl -n qm-mark stat >/dev/null 2>&1
  date +%s.%N
}

# rig_pulse_catchups MARK_EPOCH TO_LINE: the times (epoch seconds, one a line) at which the
# PulseAudio rig's server found the program's playback and one of the rig's own streams,
# always fed, empty in the same moment, up to that line of its log and after the last mark
# (rig_pulse_mark). Then the sink itself came late and asked every client for what it
# missed at once: a stall of the machine or of the server that no client's buffer is sure
# to ride out, which the machine's own stall log does not always show.
rig_pulse_catchups() {
  $RIG_ANALYZE pulse-log "$RIG_DIR/pa.log" catchups --mark "$1" --to-line "$2"
}

# rig_pulse_empties MARK_EPOCH TO_LINE: as rig_pulse_catchups, every time the server found
# the program's playback empty, the rig's streams or not.
rig_pulse_empties() {
  $RIG_ANALYZE pulse-log "$RIG_DIR/pa.log" empties --mark "$1" --to-line "$2"
}

# rig_catchups_start / rig_catchups_stop REC: around a recording on the PulseAudio rig, the
# moments its sink came late go to REC.server (rig_pulse_catchups), where the analysis sets a
# gap beside them aside as beside the machine's stalls, and every moment it found the
# program's playback empty to REC.client (rig_pulse_empties). Nothing on PipeWire.
rig_catchups_start() {
  RIG_MARK=""
  [ -f "${RIG_DIR:-}/pa.log" ] && RIG_MARK=$(rig_pulse_mark)
  return 0
}
rig_catchups_stop() {
  local lines
  rm -f "$1.server" "$1.client"
  [ -n "${RIG_MARK:-}" ] && [ -f "$RIG_DIR/pa.log" ] || return 0
  lines=$(wc -l <"$RIG_DIR/pa.log")
  rig_pulse_catchups "$RIG_MARK" "$lines" >"$1.server"
  rig_pulse_empties "$RIG_MARK" "$lines" >"$1.client"
  return 0
}

# rig_pulse_realtime: every thread of the rig's server (and pipewire-pulse) real-time (round robin 10), above the
# program's sound threads. A desktop's server runs only its device threads so; its main
# thread, which carries each client's data, at nice -11 was late past SDL's buffer about
# once a minute beside two busy loops. Tests of something other than that limit use this.
# PipeWire's data thread runs real-time already, higher: only ordinary threads are raised.
rig_pulse_realtime() {
  local p t
  for p in "${RIG_PULSE_PID:-}" "${RIG_PW_PIDS[@]}"; do
    for t in /proc/$p/task/*; do
      chrt -p "${t##*/}" 2>/dev/null | grep -q SCHED_OTHER && chrt -r -p 10 "${t##*/}" 2>/dev/null
    done
  done
  return 0
}

# rig_wait_running [SECONDS]: waits (default 10 s) until the keep-alive streams are
# flowing: the null sink and the microphone running, not idle or suspended. A device
# opened before that stalls for seconds after its first data.
rig_wait_running() {
  local i
  for i in $(seq 1 $(( ${1:-10} * 20 ))); do
    pactl list short sinks 2>/dev/null | awk '$2 == "rec" && $NF == "RUNNING" {ok = 1} END {exit !ok}' &&
      pactl list short sources 2>/dev/null | awk '$2 == "mic" && $NF == "RUNNING" {ok = 1} END {exit !ok}' &&
      return 0
    sleep 0.05
  done
  return 1
}

# rig_stream_count KIND [PID]: the server's sink-inputs or source-outputs of process PID,
# or without PID of any client but the rig's own players and recorders.
rig_stream_count() {
  if [ "$RIG_SERVER" = pipewire ]; then
    # SDL's native PipeWire streams carry the process only on their client.
    pw-dump 2>/dev/null | "$RIG_PY" -c '
import json, sys
kind, pid = sys.argv[1], sys.argv[2]
objs = json.load(sys.stdin)
props = lambda o: (o.get("info") or {}).get("props") or {}
clients = {o["id"]: props(o) for o in objs if o.get("type", "").endswith("Client")}
cls = "Stream/Output/Audio" if kind == "sink-inputs" else "Stream/Input/Audio"
n = 0
for o in objs:
    p = props(o)
    if not o.get("type", "").endswith("Node") or p.get("media.class") != cls:
        continue
    c = clients.get(p.get("client.id"), {})
    owner, binary = str(c.get("application.process.id", "")), c.get("application.process.binary", "")
    if (pid and owner == pid) or (not pid and owner and binary not in ("pacat", "parec", "paplay", "pipewire", "pipewire-pulse", "wireplumber")):
        n += 1
print(n)' "$1" "${2:-}"
    return
  fi
  pactl list "$1" 2>/dev/null | awk -v pid="${2:-}" '
    $1 == "application.process.id" { v = $3; gsub(/"/, "", v); if (pid != "" && v == pid) n++ }
    $1 == "application.process.binary" { b = $3; gsub(/"/, "", b)
      if (pid == "" && b != "pacat" && b != "parec" && b != "paplay") n++ }
    END { print n + 0 }'
}

# rig_wait_streams [PID] [SECONDS]: waits (default 15 s) until the program (PID, or any
# client not the rig's) has its playback and its capture stream on the server.
rig_wait_streams() {
  local i
  for i in $(seq 1 $(( ${2:-15} * 20 ))); do
    [ "$(rig_stream_count sink-inputs "${1:-}")" -ge 1 ] &&
      [ "$(rig_stream_count source-outputs "${1:-}")" -ge 1 ] && return 0
    sleep 0.05
  done
  rig_log "no playback and capture stream of ${1:-the program} after ${2:-15} s"
  return 1
}

# rig_record_start FILE: raw stereo s16le at 44100 Hz, left = input, right = output.
rig_record_start() {
  rig_watch_start "$1.stalls"
  RIG_REC_FILE=$1
  # Not moved when the default sink changes (PipeWire's session manager would move it).
  "${RIG_NICE[@]}" parec --latency-msec=$RIG_LATENCY_MS --property=node.dont-reconnect=true -d rec.monitor \
    --rate=$RIG_RATE --channels=2 --format=s16le --raw >"$1" &
  RIG_REC_PID=$!
}

# rig_watch_start FILE: logs the machine's own stalls beside a recording: cyclictest wakes a
# thread on each core every millisecond, above every sound thread, and each wake-up 3 ms or
# more late goes to FILE ("CORE CYCLE LATENESS_US", after a line "watch EPOCH" taken as
# cycle 0). On a virtual machine the host stops both cores for up to 40 ms now and then; a
# sink catching up after that takes more than a client's cushion at the server holds.
# Without cyclictest (rt-tests) nothing is logged, and nothing is excused.
rig_watch_start() {
  rig_watch_stop
  command -v cyclictest >/dev/null 2>&1 || return 0
  echo "watch $(date +%s.%N)" >"$1"
  cyclictest -m -t2 -a -d0 -p90 -i1000 -v -q --laptop 2>/dev/null \
    > >(awk '$3 + 0 >= 3000 { print $1 + 0, $2 + 0, $3 + 0; fflush() }' >>"$1") &
  RIG_WATCH_PID=$!
}

rig_watch_stop() {
  if [ -n "${RIG_WATCH_PID:-}" ]; then
    kill "$RIG_WATCH_PID" 2>/dev/null; wait "$RIG_WATCH_PID" 2>/dev/null
    RIG_WATCH_PID=""
  fi
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
    # The recording's clock: its last sample is now (its first is late by the recorder's start).
    [ -n "${RIG_WATCH_PID:-}" ] && echo "stop $(date +%s.%N)" >>"$RIG_REC_FILE.stalls"
    kill "$RIG_REC_PID" 2>/dev/null; wait "$RIG_REC_PID" 2>/dev/null
    RIG_REC_PID=""
  fi
  rig_watch_stop
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
  local i
  for p in "${RIG_PW_PIDS[@]}" "${RIG_PULSE_PID:-}" "${RIG_DBUS_PID:-}"; do
    [ -n "$p" ] || continue
    kill "$p" 2>/dev/null
    for i in $(seq 1 60); do rig_running "$p" || break; sleep 0.05; done
  done
  RIG_PULSE_PID=""; RIG_PW_PIDS=(); RIG_DBUS_PID=""
}

rig_stop_all() {
  rig_pulse_stop
  rig_x_stop
  if [ "${RIG_DIR_OWNED:-0}" = 1 ] && [ -n "${RIG_DIR:-}" ]; then
    rm -rf "$RIG_DIR"
    RIG_DIR=""; RIG_DIR_OWNED=0
  fi
}

# rig_voice WORK: the fed voice, WORK/voice.wav: RIG_VOICE_BURSTS (3) bursts of 150 Hz.
RIG_VOICE_BURSTS=3
rig_voice() {
  $RIG_ANALYZE voice "$1/voice.wav" --f0 150 --bursts "$RIG_VOICE_BURSTS" >/dev/null
}

# rig_measure WORK NAME LABEL REPORT-ARGS...: plays WORK/voice.wav into the rig's input,
# records both channels until the output of the last burst is in, and checks every
# burst (analyze.py report, its lines printed after "LABEL: NAME: "); returns 1 when
# the report finds a fault, 77 when the machine's stalls spoilt every attempt (counted in
# RIG_UNJUDGED: see rig_unjudged_exit).
RIG_UNJUDGED=0
rig_measure() {
  local work=$1 name=$2 label=$3 rc attempt
  shift 3
  # A measurement spoilt by the machine's own stall (report's exit 3) is made again.
  for attempt in 1 2 3; do
    rc=0
    rig_record_start "$work/$name.raw"
    $RIG_ANALYZE wait-recording "$work/$name.raw" --seconds 0.3 --timeout 10 || rc=1
    rig_catchups_start
    rig_play "$work/voice.wav"
    $RIG_ANALYZE wait-recording "$work/$name.raw" --past-input 0.8 --bursts "$RIG_VOICE_BURSTS" --timeout 15 || rc=1
    rig_record_stop
    rig_catchups_stop "$work/$name.raw"
    $RIG_ANALYZE report "$work/$name.raw" --bursts "$RIG_VOICE_BURSTS" "$@" >"$work/$name.json" 2>"$work/$name.log" ||
      rc=$?
    sed "s/^/$label: $name: /" "$work/$name.log"
    [ $rc = 3 ] || return $rc
    echo "$label: $name: measured again (attempt $attempt spoilt by the machine's stall)"
  done
  echo "$label: $name: not judged, the host stopped this machine too often in all three attempts"
  RIG_UNJUDGED=$((RIG_UNJUDGED + 1))
  return 77
}

# rig_unjudged_exit LABEL: a test whose every other check passed but which could not judge
# the sound (rig_measure's 77) is skipped, never passed.
rig_unjudged_exit() {
  [ "$RIG_UNJUDGED" = 0 ] && return 0
  echo "$1: SKIP: $RIG_UNJUDGED measurement(s) of the sound not judged (the machine's stalls)"
  exit 77
}

# rig_check_pad WID SHOT ANALYZE-PAD-ARGS...: screenshots of the window into SHOT until
# the pad shows what the arguments expect (up to 5 s); prints the pad's JSON.
rig_check_pad() {
  local wid=$1 shot=$2
  shift 2
  $RIG_ANALYZE pad "$shot" --window "$wid" --wait 5 "$@"
}

# rig_pad_origin JSON: the pad's origin in the window, "X Y".
rig_pad_origin() {
  "$RIG_PY" -c 'import json,sys; print(*json.loads(sys.argv[1])["origin"])' "$1"
}
