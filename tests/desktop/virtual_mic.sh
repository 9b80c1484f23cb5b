#!/usr/bin/env bash
# script/virtual-mic on Xvfb and the PulseAudio rig (tests/rig/rig.sh). The program's
# playback goes into the Quillmorph-Mic it makes and nowhere else, its capture stays
# on the microphone that was the default; a recording from Quillmorph-Mic carries the
# changed voice (two octaves up after a drag to the top); a second instance refuses to
# start and leaves the first one's devices alone; with no sound server it says so.
# After the close button, SIGINT to its process group (Ctrl-C), SIGTERM or SIGHUP no
# module of ours is loaded and the program is gone; after SIGKILL, --cleanup removes them.
#   tests/desktop/virtual_mic.sh PROGRAM [WORK_DIR]
# QM_VM_VOICE=0: all but the recording from Quillmorph-Mic.
# Exit 77 (skipped) when the rig's tools are missing.
set -uo pipefail

[ $# -ge 1 ] || { sed -n '2,10p' "$0"; exit 2; }
program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=${2:-$(mktemp -d /tmp/qm-virtual-mic.XXXXXX)}
mkdir -p "$work"
desk_name=virtual-mic
. "$(dirname "$0")/common.sh"
script=$(cd "$desk_here/../../script" && pwd)/virtual-mic
desk_need Xvfb xdpyinfo xdotool import pulseaudio pactl parec pacat paplay cc python3 pgrep

vm_pid="" prog_pid="" feed_pids=()
cleanup() {
  local p
  for p in "$vm_pid" "$prog_pid" "${feed_pids[@]}"; do
    [ -n "$p" ] && kill -KILL "$p" 2>/dev/null
  done
  rig_stop_all
}
trap cleanup EXIT

ours() { pactl list short modules | grep -c quillmorph; }
index_of() { pactl list short "$1" | awk -v n="$2" '$2 == n { print $1 }'; }
# stream_device KIND PID: the device index of PID's stream (sink-inputs or source-outputs).
stream_device() {
  local dev=Sink
  [ "$1" = source-outputs ] && dev=Source
  pactl list "$1" | awk -v pid="$2" -v dev="$dev" '
    $1 == dev ":" { d = $2 }
    $1 == "application.process.id" { v = $3; gsub(/"/, "", v); if (v == pid) print d }' | head -1
}

# start_vm: the script in its own process group, as a terminal runs it; sets vm_pid,
# prog_pid and wid.
start_vm() {
  set -m
  "$script" --program "$program" >"$work/vm.log" 2>&1 &
  vm_pid=$!
  set +m
  if ! rig_wait_window; then
    fail "no window titled Quillmorph"; cat "$work/vm.log" >&2; return 1
  fi
  wid=$RIG_WID
  prog_pid=$(pgrep -P "$vm_pid" | head -1)
}

# stopped_cleanly LABEL RC: the script ended with RC, took the program with it and
# left no module of ours.
stopped_cleanly() {
  local rc
  if ! desk_wait_gone "$vm_pid" 15; then fail "$1: the script still runs after 15 s"; return; fi
  wait "$vm_pid"; rc=$?; vm_pid=""
  [ "$rc" = "$2" ] || fail "$1: exit code $rc, expected $2"
  if [ -n "$prog_pid" ] && kill -0 "$prog_pid" 2>/dev/null; then fail "$1: the program still runs"; fi
  prog_pid=""
  local n; n=$(ours)
  [ "$n" = 0 ] || { fail "$1: $n module(s) of ours still loaded"; pactl list short modules | grep quillmorph >&2; }
  note "$1: exit code $rc, modules of ours left: $n"
}

desk_rig_start

out=$(PULSE_SERVER="unix:$work/no-server" "$script" --program "$program" 2>&1); rc=$?
[ "$rc" = 1 ] && grep -q "no PulseAudio server" <<<"$out" || fail "without a server: exit $rc, '$out'"

start_vm || exit 1
desk_check_window "$wid" "$(dirname "$program")/back.bmp"
pactl list sources | grep -q 'device.description = "Quillmorph-Mic"' || fail "no source described as Quillmorph-Mic"
[ "$(ours)" -ge 2 ] || fail "expected the sink and the source among the modules, found $(ours)"
defaults=$(pactl info | sed -n 's/^Default \(Sink\|Source\): //p' | tr '\n' ' ')
[ "$defaults" = "spk mic " ] || fail "the defaults changed: $defaults"
rig_wait_streams "$prog_pid" || fail "the program's sound streams did not open"
[ "$(stream_device sink-inputs "$prog_pid")" = "$(index_of sinks quillmorph_out)" ] ||
  fail "the program's playback is not on quillmorph_out"
[ "$(stream_device source-outputs "$prog_pid")" = "$(index_of sources mic)" ] ||
  fail "the program's capture is not on the default microphone"

out=$("$script" --program "$program" 2>&1); rc=$?
[ "$rc" = 1 ] && grep -q "exists already" <<<"$out" || fail "a second instance: exit $rc, '$out'"
[ "$(ours)" -ge 2 ] || fail "a second instance removed the first one's devices"

# What a call hears: Quillmorph-Mic recorded and played into the rig's output channel,
# on one time base with the input.
if [ "${QM_VM_VOICE:-1}" = 1 ]; then
  rm -f "$work/mic.fifo" && mkfifo "$work/mic.fifo"
  parec --latency-msec=50 -d quillmorph_mic --raw --rate=44100 --channels=1 --format=s16le >"$work/mic.fifo" &
  feed_pids+=($!)
  pacat -p --latency-msec=50 -d spk --raw --rate=44100 --channels=1 --format=s16le <"$work/mic.fifo" &
  feed_pids+=($!)
  desk_drag_top "$wid"
  desk_measure from-mic --expect-ratio 4 --tolerance 0.02
  kill "${feed_pids[@]}" 2>/dev/null; feed_pids=()
else
  note "the voice from Quillmorph-Mic not recorded (QM_VM_VOICE=0)"
fi

"$work/wm_delete" "$wid" || fail "could not send WM_DELETE_WINDOW"
stopped_cleanly "close button" 0

for sig in INT TERM HUP; do
  start_vm || continue
  # the script's traps are set before it starts the program
  rig_wait_streams "$prog_pid" || fail "SIG$sig: the program's sound streams did not open"
  if [ "$sig" = INT ]; then kill -INT -- "-$vm_pid"; else kill -"$sig" "$vm_pid"; fi
  stopped_cleanly "SIG$sig" $((128 + $(kill -l $sig)))
done

# SIGKILL cannot be trapped: --cleanup removes what such a run left.
start_vm && {
  kill -KILL "$vm_pid"; wait "$vm_pid" 2>/dev/null; vm_pid=""
  kill -TERM "$prog_pid"; desk_wait_gone "$prog_pid" 10; prog_pid=""
  left=$(ours)
  "$script" --cleanup >/dev/null 2>&1 || fail "--cleanup failed"
  [ "$(ours)" = 0 ] || fail "--cleanup left $(ours) module(s)"
  note "SIGKILL: $left module(s) left behind, $(ours) after --cleanup"
}

note "artefacts in $work"
[ $failures = 0 ] || { echo "$desk_name: $failures check(s) failed" >&2; exit 1; }
rig_unjudged_exit "$desk_name"
note "all checks passed"
