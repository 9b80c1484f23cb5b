#!/usr/bin/env python3
"""Live-use measurements on the sound rig (numpy, and the rig's analyze.py).

  live.py signal OUT.wav --seconds S [--on 2.5] [--off 0.5] [--f0 150] [--block 2048]
      The soak input: a steady voiced tone in bursts of --on seconds with --off
      seconds of silence between them, so that every burst onset times the delay.
      The silence is lengthened to make each burst's period whole --block frames
      (the program's block; 0: as given), so every burst begins at one place in the
      block: the voice changer's share of the delay moves with that place.
  live.py measure REC.raw [--skip S] [--after S] [--gap-ms 0.7] [--json FILE]
      A recording with the input on the left and the program's output on the
      right (tests/rig/rig.sh). Per input burst: the delay (the shift that lays the
      output's loudness contour over the input's), and the dropouts inside it: runs
      of exact zeros of at least --gap-ms in the output while the input is active.
      Prints a summary and one line per burst with a fault; --json writes
      everything. --after S: the summary also counts the bursts that start S
      seconds or later into the recording (the clean part after a stall, say). A
      burst whose input itself has a dropout (the rig's player starved) cannot be
      judged: it is reported, and left out of the counts.
      --drags FILE: times (s, recording time) of pad drags; a burst whose onset a
      drag may have reshaped is reported, and its delay left out of the delay
      figures (a pitch change there reshapes the output's onset).
  live.py selftest [--render quillmorph-render]
      The delay measure on recordings whose delay is known (see cmd_selftest).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import wave

import numpy as np
from scipy import signal as sps

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'rig'))
import analyze  # noqa: E402

RATE = analyze.RATE
# The output is searched for the burst's onset this long after the input's.
MAX_DELAY_S = 2.0
# Edges left out of the dropout search: the resynthesis fades in and out over a block.
EDGE_S = 0.1


def soak_signal(seconds, on=2.5, off=0.5, f0=150.0, block=2048):
    """(samples, burst count, period in samples)."""
    on_n, period = round(on * RATE), round((on + off) * RATE)
    if block > 0:
        period = -(-period // block) * block
    count = max(1, int(seconds * RATE / period))
    return analyze.bursts_signal(f0, count, on_n / RATE, (period - on_n) / RATE, 0.2), count, period


def cmd_signal(args):
    samples, count, period = soak_signal(args.seconds, args.on, args.off, args.f0, args.block)
    analyze.write_wav(args.out, samples)
    print(f"wrote {args.out}: {count} bursts of {args.on} s, one every {period / RATE:.4f} s, "
          f"{count * period / RATE:.0f} s")


def onset(x, start, end, thr):
    over = np.flatnonzero(np.abs(x[start:end].astype(np.int32)) >= thr)
    return start + int(over[0]) if len(over) else None


# The delay is read off the loudness contour of the whole burst, not off its first sample
# over a threshold: the resynthesis starts a voice at its own period and block boundaries,
# which moves that sample by up to 6.6 ms with no stream at all (offline, 16 places in the
# block, 12 bursts each: 33.3-39.9 ms; the contour 41.7-44.5 ms). The contour is the RMS
# over one period of the soak voice (150 Hz), searched this close to the onset's delay.
CONTOUR_WINDOW = 294
CONTOUR_SEARCH_S = 0.03
CONTOUR_EDGE_S = 0.1


def contour(x):
    c = np.concatenate([[0.0], np.cumsum(x.astype(np.float64) ** 2)])
    w = CONTOUR_WINDOW
    return np.sqrt(np.maximum((c[w:] - c[:-w]) / w, 0.0))


def contour_delay(cin, cout, s, e, near):
    """The lag (samples, to a fraction) within CONTOUR_SEARCH_S of `near` at which the
    output's contour best matches the input's over the burst [s, e); None past the end."""
    search = int(CONTOUR_SEARCH_S * RATE)
    a, b = max(0, s - int(CONTOUR_EDGE_S * RATE)), e + int(CONTOUR_EDGE_S * RATE)
    lo, hi = max(0, near - search), near + search
    if b > len(cin) or b + hi > len(cout):
        return None
    c = sps.correlate(cout[a + lo:b + hi], cin[a:b], mode='valid', method='fft')
    k = int(np.argmax(c))
    frac = 0.0
    if 0 < k < len(c) - 1:
        den = c[k - 1] - 2 * c[k] + c[k + 1]
        if den < 0:
            frac = 0.5 * (c[k - 1] - c[k + 1]) / den
    return lo + k + frac


# A drag this long before or after an input onset may change the pitch its block is
# shifted by: the capture block holding it (46 ms) and the processing after it.
DRAG_BEFORE_S, DRAG_AFTER_S = 0.1, 0.15


def measure(path, gap_ms, skip, drags=()):
    left, right = analyze.load_stereo(path)
    ins = [b for b in analyze.bursts(left) if b[0] >= skip * RATE]
    peak = int(np.max(np.abs(right.astype(np.int32)))) if len(right) else 0
    thr = max(200, 0.1 * peak)
    min_gap = max(1, int(gap_ms * RATE / 1000))
    machine = analyze.stalls(path)
    cin, cout = contour(left), contour(right)
    rows = []
    for s, e in ins:
        row = {'t_s': round(s / RATE, 3)}
        broken = analyze.zero_runs(left, s + int(EDGE_S * RATE), e - int(EDGE_S * RATE), min_gap)
        if broken:
            row['input_gaps'] = len(broken)
        if any(s / RATE - DRAG_BEFORE_S <= t <= s / RATE + DRAG_AFTER_S for t in drags):
            row['drag_at_onset'] = True
        o = onset(right, s, s + int(MAX_DELAY_S * RATE), thr)
        if o is None:
            row['missing'] = True
            rows.append(row)
            continue
        d = o - s
        row['onset_ms'] = round(1000.0 * d / RATE, 1)
        lag = contour_delay(cin, cout, s, e, d)
        if lag is not None:
            row['delay_ms'] = round(1000.0 * lag / RATE, 1)
        # A stall of the machine while the voice comes out may empty the program's playback
        # at the server, which the server then plays late: the delay it reads is the machine's.
        near = analyze.stalls_over((s + d) / RATE, (e + d) / RATE, machine)
        if near:
            row['stall_in_voice'] = [[round(a_, 3), round(1000.0 * (b_ - a_), 1)] for a_, b_ in near]
        a, b = s + d + int(EDGE_S * RATE), e + d - int(EDGE_S * RATE)
        if b > len(right):
            row['cut'] = True
            b = len(right)
        runs = analyze.zero_runs(right, a, b, min_gap) if b > a else []
        # A gap where the whole machine stalled is the machine's: reported, not counted.
        runs, aside, beside = analyze.set_aside(runs, machine)
        if aside:
            row['stall_gaps'] = [[round(x / RATE, 3), round(1000.0 * n / RATE, 1)] for x, n in aside][:20]
            row['stalls_ms'] = [[round(a_, 3), round(1000.0 * (b_ - a_), 1)] for a_, b_ in beside]
        row['gaps'] = len(runs)
        row['gap_ms'] = [round(1000.0 * n / RATE, 1) for _, n in runs][:20]
        # where each gap falls in the voice, from its first sample as it comes out
        row['gap_at_s'] = [round((x - s - d) / RATE, 3) for x, _ in runs][:20]
        rows.append(row)
    return rows


def summary(rows, label):
    unjudged = sum(1 for r in rows if r.get('input_gaps'))
    rows = [r for r in rows if not r.get('input_gaps')]
    have = [r for r in rows if not r.get('missing')]
    delays = [r['delay_ms'] for r in have if 'delay_ms' in r and not r.get('drag_at_onset')]
    gaps = sum(r['gaps'] for r in have)
    bad = sum(1 for r in rows if r.get('missing') or r.get('gaps'))
    s = {'label': label, 'bursts': len(rows), 'missing': len(rows) - len(have), 'gaps': gaps,
         'faulty_bursts': bad}
    if unjudged:
        s['input_broken'] = unjudged
    dragged = sum(1 for r in have if r.get('drag_at_onset'))
    if dragged:
        s['drag_onsets'] = dragged
    if delays:
        s.update({'delay_first_ms': delays[0], 'delay_min_ms': min(delays), 'delay_max_ms': max(delays),
                  'delay_median_ms': statistics.median(delays)})
        s['delay_spread_ms'] = round(max(abs(d - delays[0]) for d in delays), 1)
        onsets = [r['onset_ms'] for r in have if not r.get('drag_at_onset')]
        s['onset_min_ms'], s['onset_max_ms'] = min(onsets), max(onsets)
    longest = [g for r in have for g in r['gap_ms']]
    if longest:
        s['longest_gap_ms'] = max(longest)
    return s


def cmd_measure(args):
    drags = []
    if args.drags and os.path.exists(args.drags):
        with open(args.drags) as f:
            drags = [float(t) for t in f.read().split()]
    rows = measure(args.rec, args.gap_ms, args.skip, drags)
    result = {'all': summary(rows, 'all')}
    worst, share = analyze.worst_stall_ms(args.rec), analyze.stalled_share(args.rec)
    result['all']['machine_worst_stall_ms'] = round(worst, 1)
    result['all']['machine_stalled_ms_per_s'] = round(1000 * share, 1)
    result['all']['machine_spoilt'] = analyze.machine_spoilt(worst, share)
    if args.after is not None:
        result['after'] = summary([r for r in rows if r['t_s'] >= args.after], f'from {args.after} s')
    for r in rows:
        if r.get('stall_gaps'):
            print('  burst at %.1f s: gaps (s, ms) %s beside stalls of the machine (s, ms) %s, not counted' %
                  (r['t_s'], r['stall_gaps'], r['stalls_ms']))
        if r.get('input_gaps'):
            print('  burst at %.1f s: the input itself has %d dropouts (not judged)' % (r['t_s'], r['input_gaps']))
        elif r.get('missing') or r.get('gaps'):
            print('  burst at %.1f s: %s' % (r['t_s'], 'missing' if r.get('missing') else
                                             '%d gaps %s ms, %s s into the voice, onset %.1f ms' %
                                             (r['gaps'], r['gap_ms'], r['gap_at_s'], r['onset_ms'])))
    for k in result:
        print(json.dumps(result[k]))
    if args.json:
        with open(args.json, 'w') as f:
            json.dump({'summary': result, 'bursts': rows}, f, indent=1)


def cmd_selftest(args):
    """The delay measure on recordings whose delay is known: a plain copy late by a known
    number of samples, and the voice changer's own output (the offline renderer, its delay
    kept) with the voice beginning at 16 places in its block."""
    bad = []
    voice, count, _ = soak_signal(15)
    with tempfile.TemporaryDirectory() as tmp:
        rec = os.path.join(tmp, 'rec.raw')

        def delays(left, right):
            n = max(len(left), len(right))
            st = np.zeros((n, 2), '<i2')
            st[:len(left), 0], st[:len(right), 1] = left, right
            st.tofile(rec)
            return [r.get('delay_ms') for r in measure(rec, 0.7, 0)]

        for late in (4410, 6703):
            got = delays(voice, np.concatenate([np.zeros(late, np.int16), voice // 2]))
            want = 1000.0 * late / RATE
            if len(got) != count or any(d is None or abs(d - want) > 0.1 for d in got):
                bad.append(f"a copy {want:.2f} ms late read as {got}")
        if args.render:
            seen = []
            for lead in range(0, 2048, 128):
                x = np.concatenate([np.zeros(lead, np.int16), voice])
                analyze.write_wav(os.path.join(tmp, 'in.wav'), x)
                subprocess.run([args.render, '--keep-delay', os.path.join(tmp, 'in.wav'),
                                os.path.join(tmp, 'out.wav')], check=True)
                with wave.open(os.path.join(tmp, 'out.wav')) as w:
                    y = np.frombuffer(w.readframes(w.getnframes()), '<i2')
                got = delays(x, y)
                if len(got) != count or None in got:
                    bad.append(f"rendered with the voice {lead} samples into the block: {got}")
                seen += [d for d in got if d is not None]
            # Its block is 46.4 ms; wherever the voice begins, the delay reads within 3 ms.
            if seen and (max(seen) - min(seen) > 3.0 or not 40.0 <= min(seen) <= max(seen) <= 47.0):
                bad.append(f"the voice changer's delay read as {min(seen)}..{max(seen)} ms")
            print(f"live selftest: the voice changer's delay reads {min(seen)}..{max(seen)} ms")
    for b in bad:
        print("FAIL: " + b)
    print("live selftest: " + ("ok" if not bad else f"{len(bad)} failure(s)"))
    return 1 if bad else 0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest='cmd', required=True)
    s = sub.add_parser('signal')
    s.add_argument('out')
    s.add_argument('--seconds', type=float, required=True)
    s.add_argument('--on', type=float, default=2.5)
    s.add_argument('--off', type=float, default=0.5)
    s.add_argument('--f0', type=float, default=150.0)
    s.add_argument('--block', type=int, default=2048)
    m = sub.add_parser('measure')
    m.add_argument('rec')
    m.add_argument('--gap-ms', type=float, default=0.7)
    m.add_argument('--skip', type=float, default=0.0)
    m.add_argument('--after', type=float)
    m.add_argument('--json')
    m.add_argument('--drags')
    t = sub.add_parser('selftest')
    t.add_argument('--render', help='the offline renderer (quillmorph-render)')
    args = p.parse_args()
    sys.exit({'signal': cmd_signal, 'measure': cmd_measure, 'selftest': cmd_selftest}[args.cmd](args))


if __name__ == '__main__':
    main()
