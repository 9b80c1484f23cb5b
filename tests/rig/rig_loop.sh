#!/usr/bin/env bash
# The PipeWire rig with linked devices (RIG_PW_DEVICES=linked) adds no delay of its own:
# with the microphone linked straight to the speaker in the program's place, each burst
# comes out at the input's own time. (Built as loopbacks of one shared sink, the default,
# its devices cost the graph a quantum, 10.7-21.3 ms, that every delay read on it carries.)
#   tests/rig/rig_loop.sh [WORK_DIR]
# Exit 77 (skipped) when the rig's tools are missing, or the machine's stalls left nothing
# to judge.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
RIG_SERVER=pipewire RIG_PW_DEVICES=linked
. "$here/rig.sh"
rig_need pactl parec paplay
work=${1:-$(mktemp -d /tmp/qm-rig-loop.XXXXXX)}
mkdir -p "$work"
trap rig_stop_all EXIT
rig_pulse_start || exit 1
"$RIG_PY" "$here/../live/live.py" signal "$work/voice.wav" --seconds 8 >/dev/null || exit 1
rig_pw_link mic:capture_MONO spk:playback_MONO || exit 1
# A run whose input the machine's stalls broke up says nothing of the rig: made again, three
# times at most, then skipped.
for attempt in 1 2 3; do
  rig_record_start "$work/rec.raw"
  $RIG_ANALYZE wait-recording "$work/rec.raw" --seconds 0.3 --timeout 10 || exit 1
  rig_play "$work/voice.wav"
  sleep 0.3
  rig_record_stop
  "$RIG_PY" "$here/../live/live.py" measure "$work/rec.raw" --json "$work/result.json" | tail -1
  "$RIG_PY" - "$work/result.json" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))['summary']['all']
fails = []
if s['bursts'] < 2 or s['missing']:
    fails.append(f"{s['bursts']} bursts, {s['missing']} missing")
elif s['delay_max_ms'] > 0.5 or s['delay_min_ms'] < -0.5:
    fails.append(f"the rig itself delays the voice {s['delay_min_ms']}..{s['delay_max_ms']} ms")
print('rig loop: ' + ('FAIL: ' + '; '.join(fails) if fails else 'no delay of its own'))
void = fails and not s['missing'] and s.get('input_broken')
sys.exit((3 if void else 1) if fails else 0)
PY
  rc=$?
  [ $rc = 3 ] || exit $rc
  echo "rig loop: the machine's stalls broke up the input (attempt $attempt)"
done
echo "rig loop: SKIP: not judged, the host stopped this machine too often in all three attempts"
exit 77
