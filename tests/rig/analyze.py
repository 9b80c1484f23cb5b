#!/usr/bin/env python3
"""Signals and measurements for the runs of the real program on the rig.

Signal work on numpy and scipy, pitch by aubio's tracker, pictures through Pillow.

  analyze.py voice OUT.wav [--f0 150] [--bursts 3] [--on 1.0] [--off 0.6]
      Writes the test input: mono 16-bit 44100 Hz, silence, then voiced bursts
      (a harmonic series with two formant peaks and fixed random phases).
  analyze.py pitch REC.raw [--channel left|right] [--start S] [--length S]
      Pitch (Hz) of a stretch of a stereo s16le 44100 Hz recording.
  analyze.py delay REC.raw
      Input-to-output delay per burst (input on the left, output on the right).
  analyze.py report REC.raw [--expect-ratio R] [--tolerance 0.05] ...
      Per burst: delay, input and output pitch, level ratio, dropouts, and how
      closely the output's waveform follows the input's. Prints JSON on the last
      line; exits 1 when any burst does not come out, has a dropout, is not at R
      times the input's pitch or (--expect-changed) is a plain copy of the input.
  analyze.py wait-recording REC.raw (--seconds S | --past-input S) [--timeout T]
      Waits until a recording that is being written holds S seconds, or S seconds
      past the end of the last input burst (its output has come out).
  analyze.py pad SHOT.png | --window WID [--wait S] [--expect-...]
      Finds the pad in a screenshot by its grey (100,100,100) crosshair: prints JSON
      with the pad's origin and size and the crosshair point relative to the pad.
      With --window it takes the screenshots itself (ImageMagick's import) until the
      picture shows what is expected or --wait seconds have passed.
      --expect-picture BMP: the pad's pixels off the crosshair must be BMP's.
  analyze.py compare A.png B.png
      The pads in two screenshots agree: size, crosshair, 98 % of the pixels.
  analyze.py selftest
      These measurements on signals with known answers (tests/rig/CMakeLists.txt
      also runs them on the real program's output).

A recording holds the input on the left channel and the program's output on the
right (tests/rig/rig.sh).
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import wave

import aubio
import numpy as np
from PIL import Image
from scipy import signal as sps

RATE = 44100
GREY = (100, 100, 100)
# The tracker's window: two periods of the lowest voice (70 Hz) and more.
TRACK_BUF, TRACK_HOP = 2048, 256
# How far the harmonic comb search looks beside the expected pitch (relative).
COMB_SPAN = 0.03


# ---- signals ----------------------------------------------------------------

def voiced(f0, seconds, seed=7):
    """Harmonics up to 4 kHz, 1/k roll-off, formant peaks near 700 and 1200 Hz,
    random phases so that a sine-phase resynthesis differs from it in shape."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * RATE)) / RATE
    k = np.arange(1, int(np.ceil(4000 / f0)))
    k = k[k * f0 < 4000]
    f = k * f0
    env = 1.0 + 2.0 * np.exp(-((f - 700) / 200.0) ** 2) + 1.5 * np.exp(-((f - 1200) / 250.0) ** 2)
    phases = rng.uniform(0, 2 * np.pi, len(k))
    out = np.zeros_like(t)
    for fk, ak, pk in zip(f, env / k, phases):
        out += ak * np.sin(2 * np.pi * fk * t + pk)
    return out / (np.max(np.abs(out)) or 1.0)


def bursts_signal(f0, bursts, on, off, lead, level=0.5):
    """int16 samples: lead silence, then bursts of a steady voice with 2 ms fades."""
    period = voiced(f0, round(f0 * 0.2) / f0)  # a whole number of periods
    n = round(on * RATE)
    ramp = int(0.002 * RATE)
    i = np.arange(n)
    gain = np.minimum(1.0, np.minimum(i / ramp, (n - 1 - i) / ramp))
    burst = (level * 32767 * gain * np.resize(period, n)).astype(np.int16)
    gap = np.zeros(round(off * RATE), np.int16)
    return np.concatenate([np.zeros(int(lead * RATE), np.int16)] + [burst, gap] * bursts)


def write_wav(path, samples):
    with wave.open(path, 'wb') as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(samples.astype('<i2').tobytes())


def cmd_voice(args):
    s = bursts_signal(args.f0, args.bursts, args.on, args.off, args.lead)
    write_wav(args.out, s)
    print(f"wrote {args.out}: {len(s) / RATE:.2f} s, f0 {args.f0} Hz, {args.bursts} bursts")


# ---- recordings -------------------------------------------------------------

def load_stereo(path):
    data = np.fromfile(path, dtype='<i2')
    data = data[:len(data) // 2 * 2].reshape(-1, 2)
    return data[:, 0].copy(), data[:, 1].copy()


def envelope(x, hop=44):
    n = len(x) // hop * hop
    return np.abs(x[:n].astype(np.int32)).reshape(-1, hop).max(axis=1)


def runs_of(mask):
    """(start, end) index ranges where the boolean array is True."""
    m = np.concatenate([[False], mask, [False]]).astype(np.int8)
    d = np.diff(m)
    return list(zip(np.flatnonzero(d == 1), np.flatnonzero(d == -1)))


def bursts(x, min_gap=0.2, min_len=0.2, hop=44):
    """(start, end) sample ranges where the channel is clearly active; the start is
    the first sample over a fifth of the channel's peak."""
    env = envelope(x, hop)
    if len(env) == 0 or env.max() < 200:
        return []
    thr = 0.2 * env.max()
    runs = runs_of(env >= thr)
    merged = []
    for s, e in runs:  # quiet stretches shorter than min_gap do not end a burst
        if merged and (s - merged[-1][1]) * hop < min_gap * RATE:
            merged[-1] = (merged[-1][0], e)
        else:
            merged.append((s, e))
    out = []
    ax = np.abs(x.astype(np.int32))
    for s, e in merged:
        if (e - s) * hop < min_len * RATE:
            continue
        lo = max(0, (s - 1) * hop)
        over = np.flatnonzero(ax[lo:(s + 1) * hop] >= thr)
        out.append((lo + int(over[0]) if len(over) else s * hop, e * hop))
    return out


def zero_runs(x, start, end, min_len):
    """(offset, length) of runs of exact zeros of at least min_len samples in x[start:end]."""
    return [(start + int(s), int(e - s)) for s, e in runs_of(x[start:end] == 0) if e - s >= min_len]


# A stall of the machine this long may empty the program's playback at the server: it holds
# 12-17 ms there (a 23 ms SDL period less what the sink reads ahead), and a sink catching up
# after a stall asks for all of it at once. Measured on the rig: stalls of 8-17 ms each left
# a gap of 2-22 ms, none of 6.5 ms did; a 5 ms gap came beside one of 7.9 ms.
STALL_MS = 6.0
# Where a stall's gap may fall in the recording, around the stall's time: cyclictest's first
# cycle comes about 90 ms after the time logged for it, and the recording's clock is taken
# from its length when it stopped, to the recorder's latency.
STALL_BEFORE_S, STALL_AFTER_S = 0.1, 0.3
# Stalls closer together than this are one episode, long by their sum: a host that takes the
# machine away for 3-5 ms every few ms drains the server's buffer as one long stall does
# (seen in CI: six of 3.5-5.7 ms within 50 ms, then a 3.7 ms gap).
STALL_EPISODE_GAP_S = 0.025
# A measurement that failed on dropouts while the machine stopped this long at once is made
# again (rig_measure, tests/live/run.sh): no buffer the program may hold rides it out.
VOID_STALL_MS = 20.0
# ... or while the host took this share of the machine's time in stalls: then the 4.5 ms
# quantum PipeWire runs at misses cycles in every client's stream, the rig's own included
# (seen on a bad day: 28-49 ms stalled in every second, 4-7 stalls a second, gaps of one or
# two quanta beside them and in the rig's own input; on an ordinary day CI's recordings had
# 0-5 ms, some 14-31, all clean).
VOID_STALLED_SHARE = 0.025


def stalls(rec, min_ms=STALL_MS):
    """The machine's stalls beside a recording (rig_watch_start's REC.stalls), as episodes
    (start_s, end_s) in recording time, those whose stalls add up to min_ms or more, and the
    moments the sound server's sink itself came late (REC.server); [] without the log."""
    spans = [(a, b) for a, b, stalled in stall_episodes(rec) if stalled * 1000.0 >= min_ms]
    return sorted(spans + server_catchups(rec))


def recording_start(rec):
    """The time (epoch seconds) of the recording's first sample, by its stall log's clock
    ('stop' is taken as its last); None without the log."""
    path = rec + '.stalls'
    if not os.path.exists(path):
        return None
    clock = {}
    with open(path) as f:
        for line in f:
            w = line.split()
            if len(w) == 2:
                clock[w[0]] = float(w[1])
    if 'watch' not in clock or 'stop' not in clock:
        return None
    return clock['stop'] - os.path.getsize(rec) / 4 / RATE


def logged_times(rec, suffix):
    """The epoch times (one a line) in REC+suffix, in recording time; [] without that file or
    the stall log's clock."""
    t0 = recording_start(rec)
    path = rec + suffix
    if t0 is None or not os.path.exists(path):
        return []
    with open(path) as f:
        return [float(w) - t0 for w in f.read().split()]


def server_catchups(rec):
    """When the PulseAudio rig's sink found the program's playback and the rig's own stream
    empty at once (rig_pulse_catchups' REC.server), as (t, t) in recording time."""
    return [(t, t) for t in logged_times(rec, '.server')]


# Where a gap falls against the moment the server logged the program's playback empty: the
# gap starts 11-24 ms before the logged time, and a second one of the same episode up to
# 12 ms after it (measured under Wine, 14 gaps in four recordings).
EMPTY_BEFORE_S, EMPTY_AFTER_S = 0.04, 0.03


def client_empties(rec):
    """When the PulseAudio rig's sink found the program's playback empty (rig_pulse_empties'
    REC.client), in recording time."""
    return logged_times(rec, '.client')


def stall_episodes(rec):
    """Every episode of the machine's stalls beside a recording: (start_s, end_s, stalled_s)
    in recording time, stalled_s what its stalls add up to (both cores' at once count once);
    [] without the log."""
    rec_t = recording_start(rec)
    if rec_t is None:
        return []
    watch = None
    spans = []
    with open(rec + '.stalls') as f:
        for line in f:
            w = line.split()
            if len(w) == 2 and w[0] == 'watch':
                watch = float(w[1])
            elif len(w) == 3:
                start = int(w[1]) / 1000.0
                spans.append((start, start + int(w[2]) / 1e6))
    merged = []
    for a, b in sorted(spans):
        if merged and a <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], b)
        else:
            merged.append([a, b])
    episodes = []  # [start, end, stalled seconds]
    for a, b in merged:
        if episodes and a - episodes[-1][1] < STALL_EPISODE_GAP_S:
            episodes[-1][1] = b
            episodes[-1][2] += b - a
        else:
            episodes.append([a, b, b - a])
    off = watch - rec_t
    return [(a + off, b + off, stalled) for a, b, stalled in episodes]


def worst_stall_ms(rec):
    """The longest the machine itself stopped at once while the recording ran, in ms."""
    return 1000.0 * max((st for _, b, st in stall_episodes(rec) if b >= 0), default=0.0)


def stalled_share(rec):
    """The share of the recording's time the machine itself was stopped (0 without the log)."""
    seconds = os.path.getsize(rec) / 4 / RATE
    return sum(st for _, b, st in stall_episodes(rec) if b >= 0) / seconds if seconds > 0 else 0.0


def machine_spoilt(worst_ms, share=0.0):
    """Whether a stall that long, or stalls taking that share of the time, rule a run's
    dropouts and delay out as the program's."""
    return worst_ms >= VOID_STALL_MS or share >= VOID_STALLED_SHARE


def stalls_over(t0, t1, spans):
    """The stalls (start_s, end_s) that may have broken what came out from t0 to t1 (s)."""
    return [(a, b) for a, b in spans if a - STALL_BEFORE_S <= t1 and t0 <= b + STALL_AFTER_S]


def stall_near(t, spans):
    """The stall (start_s, end_s) a gap at recording time t may come from, or None."""
    near = stalls_over(t, t, spans)
    return near[0] if near else None


def set_aside(gaps, spans):
    """Splits gaps ((offset, length) in samples) into those that count and those beside a
    stall of the machine (reported, not counted), with the stalls they are beside."""
    near = [stall_near(x / RATE, spans) for x, _ in gaps]
    counted = [g for g, st in zip(gaps, near) if st is None]
    aside = [g for g, st in zip(gaps, near) if st is not None]
    return counted, aside, sorted({st for st in near if st is not None})


def rms(x):
    return float(np.sqrt(np.mean(np.square(x.astype(np.float64))))) if len(x) else 0.0


def similarity(a, b):
    """Largest normalised cross-correlation of a against any stretch of b (len b >= len a)."""
    a = a.astype(np.float64)
    b = b.astype(np.float64)
    num = sps.correlate(b, a, mode='valid')
    energy = np.convolve(b * b, np.ones(len(a)), mode='valid')
    den = np.sqrt(np.maximum(energy, 1e-9) * np.dot(a, a))
    return float(np.max(np.abs(num) / den)) if np.dot(a, a) > 0 else 0.0


# ---- pitch ------------------------------------------------------------------

def track(x):
    """aubio's yinfft tracker over x, frame by frame: the frames' pitches (Hz), the
    first window's worth left out (the tracker is still filling)."""
    p = aubio.pitch('yinfft', TRACK_BUF, TRACK_HOP, RATE)
    p.set_unit('Hz')
    p.set_silence(-60)
    f = (x.astype(np.float32) / 32768.0)
    out = [p(f[i:i + TRACK_HOP])[0] for i in range(0, len(f) - TRACK_HOP + 1, TRACK_HOP)]
    return np.array(out[TRACK_BUF // TRACK_HOP:], dtype=np.float64)


def tracked_pitch(x):
    """Median of the tracker's voiced frames, 0 when none."""
    f = track(x)
    f = f[f > 0]
    return float(np.median(f)) if len(f) else 0.0


def power_spectrum(x):
    freqs, power = sps.periodogram(x.astype(np.float64), RATE, window='hann', nfft=max(65536, len(x)))
    return freqs, power


def comb_share(freqs, power, f0, top=5000.0):
    """Share of the power between 50 Hz and `top` that lies within 2 % of f0's harmonics."""
    band = (freqs >= 50) & (freqs <= top)
    total = power[band].sum()
    if total <= 0 or f0 <= 0:
        return 0.0
    k = np.round(freqs / f0)
    near = band & (k >= 1) & (np.abs(freqs - k * f0) <= 0.02 * k * f0 + 3.0)
    return float(power[near].sum() / total)


def harmonic_pitch(freqs, power, f0, span=COMB_SPAN):
    """The pitch near f0 whose harmonics carry the most power (a fine search over f0's
    comb, each harmonic read at its interpolated peak)."""
    cands = np.linspace(f0 * (1 - span), f0 * (1 + span), 601)
    top = min(5000.0, freqs[-1])
    scores = []
    for c in cands:
        hk = np.arange(1, int(top // c) + 1) * c
        scores.append(np.interp(hk, freqs, power).sum())
    return float(cands[int(np.argmax(scores))])


def relation(reading, expected):
    """'3 x' or '1/3 of' when the reading is a whole multiple or fraction of the
    expected pitch (within 3 %), else ''."""
    if reading <= 0 or expected <= 0:
        return ''
    r = reading / expected
    for n in range(2, 7):
        if abs(r / n - 1) <= 0.03:
            return f'{n} x'
        if abs(r * n - 1) <= 0.03:
            return f'1/{n} of'
    return ''


def judge_pitch(x, expected, tolerance):
    """(pitch, verdict note, ok) for a stretch expected near `expected` Hz. The tracker's
    reading counts when it is within the tolerance. When it is not, the spectrum
    decides: the expected pitch stands when its harmonics hold most of the power and
    the power is not all on every second of them (which would be an octave higher)."""
    reading = tracked_pitch(x)
    if reading > 0 and abs(reading / expected - 1) <= tolerance:
        return reading, '', True
    freqs, power = power_spectrum(x)
    near = harmonic_pitch(freqs, power, expected, max(COMB_SPAN, tolerance))
    share = comb_share(freqs, power, near)
    share_up = comb_share(freqs, power, 2 * near)
    rel = relation(reading, expected)
    said = f"the tracker read {reading:.1f} Hz" + (f" ({rel} the expected {expected:.1f} Hz)" if rel else '')
    if share >= 0.8 and share - share_up >= 0.1 and abs(near / expected - 1) <= tolerance:
        return near, f"{said}; the spectrum's harmonics lie at {near:.1f} Hz ({share:.0%} of the power)", True
    return reading, f"{said}; the harmonics of {near:.1f} Hz hold {share:.0%} of the power", False


# ---- the report on a recording ----------------------------------------------

# The pitch and level are read from this stretch of each burst, after its onset
# (past the resynthesis fading in) and within its length.
READ_FROM_S, READ_LEN_S = 0.25, 0.5
# Dropouts are looked for inside each output burst, its edges left out (the
# resynthesis fades in and out over a block).
EDGE_S = 0.1


def measure(path, expect_ratio=None, gap_ms=0.7, empties_aside=False):
    left, right = load_stereo(path)
    ins = bursts(left)
    outs = bursts(right)
    rows = []
    min_gap = max(1, int(gap_ms * RATE / 1000))
    machine = stalls(path)
    empties = client_empties(path) if empties_aside else []
    for s, e in ins:
        row = {'in_onset_s': round(s / RATE, 4), 'in_len_s': round((e - s) / RATE, 3)}
        a = s + min(int(READ_FROM_S * RATE), (e - s) // 4)
        n = min(int(READ_LEN_S * RATE), e - a - int(EDGE_S * RATE))
        row['in_pitch_hz'] = round(tracked_pitch(left[a:a + n]), 2)
        cand = [o for o in outs if s <= o[0] < s + RATE]
        if not cand:
            row['out'] = None
            rows.append(row)
            continue
        o = cand[0]
        delay = o[0] - s
        row['delay_ms'] = round(1000.0 * delay / RATE, 1)
        seg = right[a + delay:a + delay + n]
        expected = row['in_pitch_hz'] * expect_ratio if expect_ratio and row['in_pitch_hz'] > 0 else None
        if expected:
            pitch, note, ok = judge_pitch(seg, expected, 0.05)
            if note:
                row['pitch_note'] = note
        else:
            pitch = tracked_pitch(seg)
        row['out_pitch_hz'] = round(pitch, 2)
        row['level_ratio'] = round(rms(seg) / (rms(left[a:a + n]) or 1), 3)
        gaps = zero_runs(right, s + delay + int(EDGE_S * RATE), e + delay - int(EDGE_S * RATE), min_gap)
        # A gap where the whole machine stalled is the machine's: reported, not counted.
        gaps, aside, _ = set_aside(gaps, machine)
        if aside:
            row['stall_gaps_ms'] = [round(1000.0 * g / RATE, 1) for _, g in aside][:10]
        # Under Wine the program's stream at the server is Wine's, a 30 ms buffer topped up
        # every 10 ms by a thread at ordinary priority, below the program's own queue: a gap
        # where the server found it empty is reported apart, for the caller to judge by
        # whether the program's queue ran dry (its own count at exit).
        empty = [g for g in gaps if any(-EMPTY_BEFORE_S <= g[0] / RATE - x <= EMPTY_AFTER_S for x in empties)]
        if empty:
            gaps = [g for g in gaps if g not in empty]
            row['client_gaps_ms'] = [round(1000.0 * g / RATE, 1) for _, g in empty][:10]
        row['dropouts'] = len(gaps)
        if gaps:
            row['dropout_ms'] = [round(1000.0 * g / RATE, 1) for _, g in gaps][:10]
        # a copy of the input (any gain) correlates near 1 at some lag
        ref = left[a:a + 2048]
        row['waveform_similarity'] = round(similarity(ref, right[a + delay - 600:a + delay + 2048 + 600]), 3)
        rows.append(row)
    return rows


def cmd_pitch(args):
    left, right = load_stereo(args.rec)
    x = left if args.channel == 'left' else right
    s = int(args.start * RATE)
    print(f"{tracked_pitch(x[s:s + int(args.length * RATE)]):.2f}")


def cmd_delay(args):
    rows = measure(args.rec)
    for r in rows:
        print(f"burst at {r['in_onset_s']:.3f} s: delay {r.get('delay_ms', 'none')} ms")
    ds = sorted(r['delay_ms'] for r in rows if 'delay_ms' in r)
    if not ds:
        print("no output burst found")
        return 1
    print(f"median delay {ds[len(ds) // 2]} ms")
    return 0


def cmd_report(args):
    rows = measure(args.rec, args.expect_ratio, args.gap_ms, args.empties_aside)
    failures = []
    for i, r in enumerate(rows):
        print(f"burst {i}: " + ", ".join(f"{k} {v}" for k, v in r.items()), file=sys.stderr)
        bad = []
        if 'delay_ms' not in r:
            bad.append("no output within 1 s of the input")
        elif r['in_pitch_hz'] <= 0 or r['out_pitch_hz'] <= 0:
            bad.append("no pitch found")
        else:
            ratio = r['out_pitch_hz'] / r['in_pitch_hz']
            r['pitch_ratio'] = round(ratio, 4)
            if args.expect_ratio and abs(ratio / args.expect_ratio - 1) > args.tolerance:
                bad.append(f"output pitch {r['out_pitch_hz']} Hz is {ratio:.3f} x the input's,"
                           f" expected {args.expect_ratio}" + (f" ({r['pitch_note']})" if 'pitch_note' in r else ''))
            if args.expect_changed and r['waveform_similarity'] > 0.9:
                bad.append(f"output is a copy of the input (similarity {r['waveform_similarity']})")
            if args.min_level is not None and not (args.min_level <= r['level_ratio'] <= args.max_level):
                bad.append(f"level ratio {r['level_ratio']} outside [{args.min_level}, {args.max_level}]")
            if r['dropouts']:
                bad.append(f"{r['dropouts']} dropouts in the output: {r['dropout_ms']} ms")
        failures += [f"burst {i}: {m}" for m in bad]
    if not rows:
        failures.append("no input burst in the recording")
    elif args.bursts is not None and len(rows) != args.bursts:
        failures.append(f"{len(rows)} input bursts in the recording, expected {args.bursts}")
    delays = sorted(r['delay_ms'] for r in rows if 'delay_ms' in r)
    summary = {'bursts': rows, 'median_delay_ms': delays[len(delays) // 2] if delays else None,
               'failures': failures}
    for f in failures:
        print("FAIL: " + f, file=sys.stderr)
    print(json.dumps(summary))
    # Only dropouts, in a recording during which the machine itself stopped for 20 ms or more
    # at once (longer than the 12-17 ms the program holds at the server) or for 25 ms of every
    # second: the measurement says nothing of the program, and rig_measure makes it again.
    worst, share = worst_stall_ms(args.rec), stalled_share(args.rec)
    if failures and machine_spoilt(worst, share) and all(': ' in f and 'dropouts in the output' in f for f in failures):
        print(f"the machine itself stopped for {worst:.1f} ms at once, {1000 * share:.0f} ms in every second, "
              "during this recording", file=sys.stderr)
        return 3
    return 1 if failures else 0


def cmd_wait_recording(args):
    """Polls a growing recording; the condition is on its data, not on the clock."""
    deadline = time.monotonic() + args.timeout
    have = 0.0
    while True:
        size = os.path.getsize(args.rec) if os.path.exists(args.rec) else 0
        have = size / 4 / RATE
        if args.seconds is not None and have >= args.seconds:
            return 0
        if args.past_input is not None and have > args.past_input:
            left, _ = load_stereo(args.rec)
            b = bursts(left)
            if b and args.bursts is not None and len(b) < args.bursts:
                b = []  # the last burst has not come in yet
            if b and have - b[-1][1] / RATE >= args.past_input:
                return 0
        if time.monotonic() > deadline:
            print(f"wait-recording: {args.rec} holds {have:.2f} s after {args.timeout} s", file=sys.stderr)
            return 1
        time.sleep(0.1)


# ---- pictures ---------------------------------------------------------------

def load_rgb(path):
    return np.asarray(Image.open(path).convert('RGB'), dtype=np.int16)


def longest_true_run(mask):
    """(length, start) of the longest run of True in a 1-D boolean array."""
    best = (0, 0)
    for s, e in runs_of(mask):
        if e - s > best[0]:
            best = (int(e - s), int(s))
    return best


def find_pad(px):
    h, w, _ = px.shape
    grey = np.all(px == GREY, axis=2)
    rows = [(longest_true_run(grey[y]), y) for y in range(h)]
    cols = [(longest_true_run(grey[:, x]), x) for x in range(w)]
    (hlen, hx0), hy = max(rows)
    (vlen, vy0), vx = max(cols)
    # the horizontal line spans the pad's width, the vertical one its height
    pad = {'image': [w, h], 'origin': [hx0, vy0], 'size': [hlen, vlen],
           'crosshair': [vx - hx0, hy - vy0], 'grey_pixels': int(grey.sum())}
    # circle of radius 50 round the crosshair: grey pixels near that distance, away from the lines
    hits = total = 0
    for k in range(36):
        a = 2 * np.pi * (k + 0.5) / 36
        cx, cy = int(round(vx + 50 * np.cos(a))), int(round(hy + 50 * np.sin(a)))
        if abs(cx - vx) < 4 or abs(cy - hy) < 4 or not (1 <= cx < w - 1 and 1 <= cy < h - 1):
            continue
        total += 1
        hits += bool(grey[cy - 1:cy + 2, cx - 1:cx + 2].any())
    pad['circle_hits'] = [hits, total]
    return pad


def pad_area(px, pad):
    (x0, y0), (pw, ph) = pad['origin'], pad['size']
    return px[y0:y0 + ph, x0:x0 + pw]


def picture_match(px, pad, picture):
    """Share of the pad's non-grey pixels within 8 levels of the picture's, which is
    drawn from the pad's top left corner."""
    ref = load_rgb(picture)
    area = pad_area(px, pad)
    hh, ww = min(area.shape[0], ref.shape[0]), min(area.shape[1], ref.shape[1])
    area, ref = area[:hh, :ww], ref[:hh, :ww]
    off = ~np.all(area == GREY, axis=2)
    same = np.all(np.abs(area - ref) <= 8, axis=2) & off
    return float(same.sum() / off.sum()) if off.sum() else 0.0


def pad_faults(px, pad, args):
    fails = []
    if args.expect_size:
        ew, eh = (int(v) for v in args.expect_size.split('x'))
        if abs(pad['size'][0] - ew) > 2 or abs(pad['size'][1] - eh) > 2:
            fails.append(f"pad is {pad['size'][0]}x{pad['size'][1]}, expected {ew}x{eh}")
    if args.expect_crosshair:
        ex, ey = (int(v) for v in args.expect_crosshair.split(','))
        if abs(pad['crosshair'][0] - ex) > 2 or abs(pad['crosshair'][1] - ey) > 2:
            fails.append(f"crosshair at {pad['crosshair']}, expected ({ex},{ey})")
    if args.expect_circle:
        hits, total = pad['circle_hits']
        if total == 0 or hits < 0.8 * total:
            fails.append(f"circle of radius 50 not found ({hits} of {total} points)")
    if args.expect_picture and not fails:
        share = picture_match(px, pad, args.expect_picture)
        pad['picture_match'] = round(share, 4)
        if share < 0.95:
            fails.append(f"only {share:.1%} of the pad's pixels off the crosshair are {args.expect_picture}'s")
    return fails


def screenshot(wid, path):
    r = subprocess.run(['import', '-window', wid, path], capture_output=True)
    return r.returncode == 0 and os.path.exists(path)


def cmd_pad(args):
    if args.window:
        # The window shows its picture some time after it appears: take screenshots
        # until it shows what is expected, and judge the last one.
        shot = args.shot or os.path.join(tempfile.mkdtemp(), 'pad.png')
        deadline = time.monotonic() + args.wait
        tries = 0
        while True:
            tries += 1
            pad = fails = None
            if screenshot(args.window, shot):
                px = load_rgb(shot)
                pad = find_pad(px)
                fails = pad_faults(px, pad, args)
                if not fails:
                    break
            if time.monotonic() > deadline:
                break
            time.sleep(0.1)
        if pad is None:
            print(f"FAIL: no screenshot of window {args.window}", file=sys.stderr)
            return 1
        pad['screenshots'] = tries
    else:
        px = load_rgb(args.shot)
        pad = find_pad(px)
        fails = pad_faults(px, pad, args)
    print(json.dumps(pad))
    for f in fails:
        print("FAIL: " + f, file=sys.stderr)
    return 1 if fails else 0


def cmd_compare(args):
    pa, pb = load_rgb(args.a), load_rgb(args.b)
    a, b = find_pad(pa), find_pad(pb)
    ra, rb = pad_area(pa, a), pad_area(pb, b)
    hh, ww = min(ra.shape[0], rb.shape[0]), min(ra.shape[1], rb.shape[1])
    same = np.all(np.abs(ra[:hh, :ww] - rb[:hh, :ww]) <= 8, axis=2)
    share = float(same.mean()) if same.size else 0.0
    print(json.dumps({'a': a, 'b': b, 'same_pixels': round(share, 4)}))
    fails = []
    if share < 0.98:
        fails.append(f"only {share:.1%} of the pad's pixels agree")
    for key in ('size', 'crosshair'):
        if any(abs(p - q) > 2 for p, q in zip(a[key], b[key])):
            fails.append(f"{key} differs: {a[key]} against {b[key]}")
    ga, gb = a['grey_pixels'], b['grey_pixels']
    if abs(ga - gb) > 0.2 * max(ga, gb):
        fails.append(f"grey pixel counts differ by more than a fifth: {ga} against {gb}")
    for f in fails:
        print("FAIL: " + f, file=sys.stderr)
    return 1 if fails else 0


# ---- the PulseAudio rig's server log ------------------------------------------

def pulse_log(path, last, first=0):
    """Reads the rig's PulseAudio log up to line `last`: (mark, program, rig), the log's time
    of the last qm-mark client (rig_pulse_mark; None without one) and the times after line
    `first` at which the server found a playback stream empty, the program's and the others',
    each as (time, line).
    The program's streams are the sink inputs its client made, known by the application's
    name (SDL calls its stream 'Audio Stream', Wine 'audio stream #N')."""
    mark, program, rig = None, [], []
    names, created = set(), None
    with open(path, errors='replace') as f:
        for n, line in enumerate(f, 1):
            if n > last:
                break
            m = re.match(r'\(\s*([0-9.]+)\|', line)
            if not m:
                continue
            t = float(m.group(1))
            c = re.search(r'Created input \d+ "(.*)" on ', line)
            if c:
                created = c.group(1)
                continue
            a = re.search(r'application\.name = "(.*)"', line)
            if a and created is not None:
                if a.group(1).startswith('quillmorph'):
                    names.add(created)
                created = None
                continue
            if '"qm-mark"' in line and 'Freed' in line:
                mark = t
            u = re.search(r"Implicit underrun of '(.*)'", line)
            if u and n > first:
                (program if u.group(1) in names else rig).append((t, n))
    return mark, program, rig


# The log's clock ticks in milliseconds: underruns of one late render share a tick or two,
# or follow each other on the log with nothing between, a sink thread at ordinary priority
# beside a busy loop taking some ms over it (seen in CI: the rig's stream, then 5 ms later
# the program's), within two of the rig's 10 ms periods.
CATCHUP_S, CATCHUP_PASS_S = 0.003, 0.02


def cmd_pulse_log(args):
    """What the rig's scripts read off the server's log (rig_pulse_underruns,
    rig_pulse_catchups, rig_pulse_empties)."""
    mark, program, rig = pulse_log(args.log, args.to_line, args.from_line)
    if args.what == 'underruns':
        print(len(program), len(rig))
        return 0
    if mark is None:
        return 0
    program = [(t, n) for t, n in program if t >= mark]
    if args.what == 'catchups':
        program = [(t, n) for t, n in program if any(abs(t - r) <= CATCHUP_S or (abs(n - m) == 1 and abs(t - r) <= CATCHUP_PASS_S)
                                                         for r, m in rig)]
    for t, _ in program:
        print(f"{args.mark + t - mark:.3f}")
    return 0


def cmd_selftest(args):
    import rig_selftest
    return rig_selftest.run(args.program_output)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest='cmd', required=True)
    v = sub.add_parser('voice')
    v.add_argument('out')
    v.add_argument('--f0', type=float, default=150.0)
    v.add_argument('--bursts', type=int, default=3)
    v.add_argument('--lead', type=float, default=0.3)
    v.add_argument('--on', type=float, default=1.0)
    v.add_argument('--off', type=float, default=0.6)
    v.set_defaults(fn=cmd_voice)
    q = sub.add_parser('pitch')
    q.add_argument('rec')
    q.add_argument('--channel', choices=['left', 'right'], default='right')
    q.add_argument('--start', type=float, default=0.0)
    q.add_argument('--length', type=float, default=0.5)
    q.set_defaults(fn=cmd_pitch)
    d = sub.add_parser('delay')
    d.add_argument('rec')
    d.set_defaults(fn=cmd_delay)
    r = sub.add_parser('report')
    r.add_argument('rec')
    r.add_argument('--expect-ratio', type=float)
    r.add_argument('--tolerance', type=float, default=0.05)
    r.add_argument('--expect-changed', action='store_true')
    r.add_argument('--min-level', type=float)
    r.add_argument('--max-level', type=float, default=10.0)
    r.add_argument('--bursts', type=int, help='the number of input bursts the recording must hold')
    r.add_argument('--gap-ms', type=float, default=0.7, help='shortest run of exact zeros counted as a dropout')
    r.add_argument('--empties-aside', action='store_true',
                   help="gaps where the server found the program's playback empty (REC.client) go to"
                        " client_gaps_ms, not dropouts: the caller judges them")
    r.set_defaults(fn=cmd_report)
    w = sub.add_parser('wait-recording')
    w.add_argument('rec')
    w.add_argument('--seconds', type=float)
    w.add_argument('--past-input', type=float)
    w.add_argument('--bursts', type=int, help='with --past-input: wait for this many input bursts')
    w.add_argument('--timeout', type=float, default=30.0)
    w.set_defaults(fn=cmd_wait_recording)
    s = sub.add_parser('pad')
    s.add_argument('shot', nargs='?')
    s.add_argument('--window', help='X window id to take the screenshots of')
    s.add_argument('--wait', type=float, default=5.0, help='with --window: how long to wait for the picture')
    s.add_argument('--expect-size')
    s.add_argument('--expect-crosshair')
    s.add_argument('--expect-circle', action='store_true')
    s.add_argument('--expect-picture')
    s.set_defaults(fn=cmd_pad)
    t = sub.add_parser('selftest')
    t.add_argument('--program-output', help="a WAV of the program's rendering of `voice`, two octaves up")
    t.set_defaults(fn=cmd_selftest)
    g = sub.add_parser('pulse-log')
    g.add_argument('log')
    g.add_argument('what', choices=['underruns', 'catchups', 'empties'])
    g.add_argument('--to-line', type=int, required=True)
    g.add_argument('--from-line', type=int, default=0)
    g.add_argument('--mark', type=float, default=0.0, help='the epoch time of the last qm-mark')
    g.set_defaults(fn=cmd_pulse_log)
    c = sub.add_parser('compare')
    c.add_argument('a')
    c.add_argument('b')
    c.set_defaults(fn=cmd_compare)
    args = p.parse_args()
    if args.cmd == 'pad' and not (args.shot or args.window):
        p.error('pad needs a screenshot or --window')
    sys.exit(args.fn(args) or 0)


if __name__ == '__main__':
    main()
