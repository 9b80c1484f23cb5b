#!/usr/bin/env python3
"""Live-use measurements on the sound rig (numpy, and the rig's analyze.py).

  live.py signal OUT.wav --seconds S [--on 2.5] [--off 0.5] [--f0 150]
      The soak input: a steady voiced tone in bursts of --on seconds with --off
      seconds of silence between them, so that every burst onset times the delay.
  live.py measure REC.raw [--skip S] [--after S] [--gap-ms 0.7] [--json FILE]
      A recording with the input on the left and the program's output on the
      right (tests/rig/rig.sh). Per input burst: the delay to the output's onset,
      and the dropouts inside it: runs of exact zeros of at least --gap-ms in the
      output while the input is active. Prints a summary and one line per burst
      with a fault; --json writes everything. --after S: the summary also counts
      the bursts that start S seconds or later into the recording (the clean part
      after a stall, say). A burst whose input itself has a dropout (the rig's
      player starved) cannot be judged: it is reported, and left out of the counts.
      --drags FILE: times (s, recording time) of pad drags; a burst whose onset a
      drag may have reshaped is reported, and its delay left out of the delay
      figures (the onset is found at a threshold, and a pitch change moves it).
"""

import argparse
import json
import os
import statistics
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'rig'))
import analyze  # noqa: E402

RATE = analyze.RATE
# The output is searched for the burst's onset this long after the input's.
MAX_DELAY_S = 2.0
# Edges left out of the dropout search: the resynthesis fades in and out over a block.
EDGE_S = 0.1


def cmd_signal(args):
    count = max(1, int(args.seconds / (args.on + args.off)))
    samples = analyze.bursts_signal(args.f0, count, args.on, args.off, 0.2)
    analyze.write_wav(args.out, samples)
    print(f"wrote {args.out}: {count} bursts of {args.on} s, {count * (args.on + args.off):.0f} s")


def onset(x, start, end, thr):
    over = np.flatnonzero(np.abs(x[start:end].astype(np.int32)) >= thr)
    return start + int(over[0]) if len(over) else None


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
        row['delay_ms'] = round(1000.0 * d / RATE, 1)
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
    delays = [r['delay_ms'] for r in have if not r.get('drag_at_onset')]
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
    worst = analyze.worst_stall_ms(args.rec)
    result['all']['machine_worst_stall_ms'] = round(worst, 1)
    result['all']['machine_spoilt'] = analyze.machine_spoilt(worst)
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
                                             '%d gaps %s ms, %s s into the voice, delay %.1f ms' %
                                             (r['gaps'], r['gap_ms'], r['gap_at_s'], r['delay_ms'])))
    for k in result:
        print(json.dumps(result[k]))
    if args.json:
        with open(args.json, 'w') as f:
            json.dump({'summary': result, 'bursts': rows}, f, indent=1)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest='cmd', required=True)
    s = sub.add_parser('signal')
    s.add_argument('out')
    s.add_argument('--seconds', type=float, required=True)
    s.add_argument('--on', type=float, default=2.5)
    s.add_argument('--off', type=float, default=0.5)
    s.add_argument('--f0', type=float, default=150.0)
    m = sub.add_parser('measure')
    m.add_argument('rec')
    m.add_argument('--gap-ms', type=float, default=0.7)
    m.add_argument('--skip', type=float, default=0.0)
    m.add_argument('--after', type=float)
    m.add_argument('--json')
    m.add_argument('--drags')
    args = p.parse_args()
    {'signal': cmd_signal, 'measure': cmd_measure}[args.cmd](args)


if __name__ == '__main__':
    main()
