#!/usr/bin/env python3
"""Signals and measurements for the end-to-end runs (standard library only).

  analyze.py voice OUT.wav [--f0 150] [--bursts 3] [--on 1.0] [--off 0.5]
      Writes the test input: mono 16-bit 44100 Hz, silence, then voiced bursts
      (a harmonic series with two formant peaks and fixed random phases).
  analyze.py pitch REC.raw [--channel left|right] [--start S] [--length S]
      Dominant pitch (Hz) of a window of a stereo s16le 44100 Hz recording.
  analyze.py delay REC.raw
      Input-to-output delay: onsets of the bursts on the left (input) channel
      against the right (output) channel. Prints one line per burst.
  analyze.py report REC.raw [--expect-ratio R] [--tolerance 0.05]
      Per burst: delay, input and output pitch, level ratio, and how closely the
      output's waveform follows the input's. Prints JSON on the last line; exits 1
      when a burst does not come out, when an output pitch is not R times the
      input's, or (with --expect-changed) when the output is a plain copy of the
      input, in more bursts than --allow-bad (default: one burst of three or more
      may be spoilt by a dropout on a busy machine).
  analyze.py pad SHOT.png
      Finds the pad in a screenshot by its grey (100,100,100) crosshair: prints JSON
      with the pad's origin and size and the crosshair point relative to the pad.
      --expect-picture BMP: the pad's pixels off the crosshair must be BMP's (the
      background picture was loaded, from the folder the program started in).
  analyze.py selftest
      Checks these measurements on synthetic recordings with known answers.
  analyze.py compare A.png B.png
      Loose comparison of the pads found in two screenshots: same size and
      crosshair position, similar number of grey pixels, and at least 98 % of the
      pad's pixels within 8 levels per channel.

A recording holds the input on the left channel and the program's output on the
right (tests/e2e/rig.sh). Pictures are read through ImageMagick's convert.
"""

import argparse
import array
import json
import math
import operator
import random
import subprocess
import sys
import wave

RATE = 44100
GREY = (100, 100, 100)


# ---- signals ----------------------------------------------------------------

def voiced(f0, seconds, seed=7):
    """Harmonics up to 4 kHz, 1/k roll-off, formant peaks near 700 and 1200 Hz,
    random phases so that a sine-phase resynthesis differs from it in shape."""
    rng = random.Random(seed)
    harmonics = []
    k = 1
    while k * f0 < 4000:
        f = k * f0
        env = 1.0 + 2.0 * math.exp(-((f - 700) / 200.0) ** 2) + 1.5 * math.exp(-((f - 1200) / 250.0) ** 2)
        harmonics.append((2 * math.pi * f / RATE, env / k, rng.uniform(0, 2 * math.pi)))
        k += 1
    n = int(seconds * RATE)
    out = [0.0] * n
    for w, a, p in harmonics:
        for i in range(n):
            out[i] += a * math.sin(w * i + p)
    peak = max(abs(v) for v in out) or 1.0
    return [v / peak for v in out]


def cmd_voice(args):
    period = voiced(args.f0, 1.0 / args.f0 * round(args.f0 * 0.2))  # a whole number of periods
    ramp = int(0.002 * RATE)  # short fades: a sharp onset without a click
    samples = array.array('h', bytes(2 * int(args.lead * RATE)))
    for _ in range(args.bursts):
        n = int(args.on * RATE)
        burst = array.array('h', (0 for _ in range(n)))
        for i in range(n):
            g = min(1.0, i / ramp, (n - 1 - i) / ramp)
            burst[i] = int(0.5 * 32767 * g * period[i % len(period)])
        samples.extend(burst)
        samples.extend(array.array('h', bytes(2 * int(args.off * RATE))))
    with wave.open(args.out, 'wb') as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(samples.tobytes())
    print(f"wrote {args.out}: {len(samples) / RATE:.2f} s, f0 {args.f0} Hz, {args.bursts} bursts")


# ---- recordings -------------------------------------------------------------

def load_stereo(path):
    data = array.array('h')
    with open(path, 'rb') as f:
        raw = f.read()
    raw = raw[:len(raw) // 4 * 4]
    data.frombytes(raw)
    if sys.byteorder != 'little':
        data.byteswap()
    return data[0::2], data[1::2]


def pitch(x, fmin=70.0, fmax=1200.0):
    """Period by the cumulative-mean-normalised difference function (first dip
    under 0.15, else the deepest), refined by a parabola. Returns Hz, or 0."""
    w = len(x) // 2
    tmax = min(int(RATE / fmin), len(x) - w)
    tmin = max(2, int(RATE / fmax))
    if tmax <= tmin:
        return 0.0
    a = [float(v) for v in x]
    sq = [v * v for v in a]
    e0 = sum(sq[:w])
    if e0 == 0:
        return 0.0
    d = [0.0] * (tmax + 2)
    et = e0
    for t in range(1, tmax + 2):
        et += sq[t + w - 1] - sq[t - 1]
        d[t] = e0 + et - 2.0 * sum(map(operator.mul, a[:w], a[t:t + w]))
    dn = [1.0] * (tmax + 2)
    run = 0.0
    for t in range(1, tmax + 2):
        run += d[t]
        dn[t] = d[t] * t / run if run > 0 else 1.0
    best = None
    for t in range(tmin, tmax + 1):
        if dn[t] < 0.15:
            while t + 1 <= tmax and dn[t + 1] < dn[t]:
                t += 1
            best = t
            break
    if best is None:
        best = min(range(tmin, tmax + 1), key=lambda t: dn[t])
    t = best
    y0, y1, y2 = dn[t - 1], dn[t], dn[t + 1]
    den = y0 - 2 * y1 + y2
    shift = 0.5 * (y0 - y2) / den if den > 0 else 0.0
    return RATE / (t + max(-0.5, min(0.5, shift)))


def envelope(x, hop=44):
    return [max(abs(v) for v in x[i:i + hop]) for i in range(0, len(x) - hop + 1, hop)]


def bursts(x, min_gap=0.2, min_len=0.2):
    """(start, end) sample ranges where the channel is clearly active."""
    hop = 44
    env = envelope(x, hop)
    peak = max(env) if env else 0
    if peak < 200:
        return []
    thr = 0.2 * peak
    runs, start, quiet = [], None, 0
    for i, v in enumerate(env):
        if v >= thr:
            if start is None:
                start = i
            quiet = 0
        elif start is not None:
            quiet += 1
            if quiet * hop >= min_gap * RATE:
                runs.append((start, i - quiet + 1))
                start, quiet = None, 0
    if start is not None:
        runs.append((start, len(env) - quiet))
    out = []
    for s, e in runs:
        if (e - s) * hop < min_len * RATE:
            continue
        # refine the onset to the first sample over the threshold
        s0 = s * hop
        for j in range(max(0, s0 - hop), s0 + hop):
            if abs(x[j]) >= thr:
                s0 = j
                break
        out.append((s0, e * hop))
    return out


def rms(x):
    return math.sqrt(sum(v * v for v in x) / len(x)) if x else 0.0


def similarity(a, b, lag_range):
    """Largest normalised cross-correlation of a against b over the given lags."""
    fa = [float(v) for v in a]
    na = math.sqrt(sum(v * v for v in fa))
    best = 0.0
    for lag in lag_range:
        if lag < 0 or lag + len(fa) > len(b):
            continue
        seg = [float(v) for v in b[lag:lag + len(fa)]]
        nb = math.sqrt(sum(v * v for v in seg))
        if na == 0 or nb == 0:
            continue
        best = max(best, abs(sum(map(operator.mul, fa, seg))) / (na * nb))
    return best


def measure(path):
    left, right = load_stereo(path)
    ins = bursts(left)
    outs = bursts(right)
    rows = []
    for s, e in ins:
        # the output burst that starts after this input onset and before the next one
        cand = [o for o in outs if s <= o[0] < s + RATE]
        row = {'in_onset_s': round(s / RATE, 4), 'in_len_s': round((e - s) / RATE, 3)}
        mid = s + min(int(0.25 * RATE), (e - s) // 3)
        win = 4096
        row['in_pitch_hz'] = round(pitch(left[mid:mid + win]), 2)
        if not cand:
            row['out'] = None
            rows.append(row)
            continue
        o = cand[0]
        delay = o[0] - s
        row['delay_ms'] = round(1000.0 * delay / RATE, 1)
        omid = mid + delay
        row['out_pitch_hz'] = round(pitch(right[omid:omid + win]), 2)
        row['level_ratio'] = round(rms(right[omid:omid + win]) / (rms(left[mid:mid + win]) or 1), 3)
        # a copy of the input (any gain) correlates near 1 at the right lag
        seg = left[mid:mid + 2048]
        row['waveform_similarity'] = round(similarity(seg, right, range(omid - 600, omid + 601, 1)), 3)
        rows.append(row)
    return rows


def cmd_pitch(args):
    left, right = load_stereo(args.rec)
    x = left if args.channel == 'left' else right
    s = int(args.start * RATE)
    print(f"{pitch(x[s:s + int(args.length * RATE)]):.2f}")


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
    rows = measure(args.rec)
    problems = {}  # burst index -> what is wrong with it
    for i, r in enumerate(rows):
        print(f"burst {i}: " + ", ".join(f"{k} {v}" for k, v in r.items()), file=sys.stderr)
        bad = problems.setdefault(i, [])
        if 'delay_ms' not in r:
            bad.append("no output within 1 s of the input")
            continue
        if r['in_pitch_hz'] <= 0 or r['out_pitch_hz'] <= 0:
            bad.append("no pitch found")
            continue
        ratio = r['out_pitch_hz'] / r['in_pitch_hz']
        r['pitch_ratio'] = round(ratio, 4)
        if args.expect_ratio and abs(ratio / args.expect_ratio - 1) > args.tolerance:
            bad.append(f"output pitch {r['out_pitch_hz']} Hz is {ratio:.3f} x the input's,"
                       f" expected {args.expect_ratio}")
        if args.expect_changed and r['waveform_similarity'] > 0.9:
            bad.append(f"output is a copy of the input (similarity {r['waveform_similarity']})")
        if args.min_level is not None and not (args.min_level <= r['level_ratio'] <= args.max_level):
            bad.append(f"level ratio {r['level_ratio']} outside [{args.min_level}, {args.max_level}]")
    # One burst may be spoilt by a dropout on a busy machine; a fault spoils them all.
    failed = [i for i, b in problems.items() if b]
    allowed = args.allow_bad if args.allow_bad is not None else (1 if len(rows) >= 3 else 0)
    failures = [f"burst {i}: {m}" for i in failed for m in problems[i]]
    verdict_failed = not rows or len(failed) > allowed
    if not rows:
        failures.append("no input burst in the recording")
    delays = sorted(r['delay_ms'] for r in rows if 'delay_ms' in r)
    summary = {'bursts': rows, 'median_delay_ms': delays[len(delays) // 2] if delays else None,
               'failures': failures if verdict_failed else [],
               'tolerated': [] if verdict_failed else failures}
    for f in failures:
        print(("FAIL: " if verdict_failed else "tolerated (one burst): ") + f, file=sys.stderr)
    print(json.dumps(summary))
    return 1 if verdict_failed else 0


# ---- pictures ---------------------------------------------------------------

def load_png(path):
    """(width, height, bytes RGB) through ImageMagick."""
    conv = '/usr/bin/convert'
    ppm = subprocess.run([conv, path, '-depth', '8', 'ppm:-'], check=True, capture_output=True).stdout
    # binary PPM: P6 <w> <h> <max> then the pixels
    parts, pos = [], 0
    while len(parts) < 4:
        while ppm[pos:pos + 1].isspace():
            pos += 1
        if ppm[pos:pos + 1] == b'#':
            pos = ppm.index(b'\n', pos) + 1
            continue
        end = pos
        while not ppm[end:end + 1].isspace():
            end += 1
        parts.append(ppm[pos:end])
        pos = end
    pos += 1
    w, h = int(parts[1]), int(parts[2])
    return w, h, ppm[pos:pos + 3 * w * h]


def find_pad(path):
    w, h, px = load_png(path)
    grey = bytes(GREY)

    def is_grey(x, y):
        i = 3 * (y * w + x)
        return px[i:i + 3] == grey

    def longest_run(cells):
        best, start, cur = (0, 0), None, 0
        for i, g in enumerate(cells):
            if g:
                if start is None:
                    start = i
                cur = i - start + 1
                if cur > best[0]:
                    best = (cur, start)
            else:
                start = None
        return best

    rows = [(longest_run([is_grey(x, y) for x in range(w)]), y) for y in range(h)]
    cols = [(longest_run([is_grey(x, y) for y in range(h)]), x) for x in range(w)]
    (hlen, hx0), hy = max(rows)
    (vlen, vy0), vx = max(cols)
    grey_total = sum(1 for i in range(0, len(px), 3) if px[i:i + 3] == grey)
    # the horizontal line spans the pad's width, the vertical one its height
    pad = {'image': [w, h], 'origin': [hx0, vy0], 'size': [hlen, vlen],
           'crosshair': [vx - hx0, hy - vy0], 'grey_pixels': grey_total}
    # circle of radius 50 round the crosshair: grey pixels near that distance, away from the lines
    hits = total = 0
    for k in range(36):
        a = 2 * math.pi * (k + 0.5) / 36
        cx, cy = vx + 50 * math.cos(a), hy + 50 * math.sin(a)
        if abs(cx - vx) < 4 or abs(cy - hy) < 4:
            continue
        if not (0 <= int(cx) < w and 0 <= int(cy) < h):
            continue
        total += 1
        near = any(is_grey(int(round(cx)) + dx, int(round(cy)) + dy)
                   for dx in (-1, 0, 1) for dy in (-1, 0, 1)
                   if 0 <= int(round(cx)) + dx < w and 0 <= int(round(cy)) + dy < h)
        hits += near
    pad['circle_hits'] = [hits, total]
    return pad


def cmd_pad(args):
    pad = find_pad(args.shot)
    print(json.dumps(pad))
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
    if args.expect_picture:
        share = picture_match(args.shot, pad, args.expect_picture)
        if share < 0.95:
            fails.append(f"only {share:.1%} of the pad's pixels off the crosshair are {args.expect_picture}'s")
    for f in fails:
        print("FAIL: " + f, file=sys.stderr)
    return 1 if fails else 0


def picture_match(shot, pad, picture):
    """Share of the pad's non-grey pixels within 8 levels of the picture's, which is
    drawn from the pad's top left corner."""
    pw, ph, ref = load_png(picture)
    rows = pad_pixels(shot, pad)
    same = total = 0
    for y, row in enumerate(rows[:ph]):
        for i in range(0, min(len(row), 3 * pw), 3):
            if row[i:i + 3] == bytes(GREY):
                continue
            j = 3 * (y * pw) + i
            total += 1
            same += all(abs(row[i + k] - ref[j + k]) <= 8 for k in range(3))
    return same / total if total else 0.0


def pad_pixels(path, pad):
    w, _, px = load_png(path)
    (x0, y0), (pw, ph) = pad['origin'], pad['size']
    return [px[3 * ((y0 + y) * w + x0):3 * ((y0 + y) * w + x0 + pw)] for y in range(ph)]


def cmd_compare(args):
    a, b = find_pad(args.a), find_pad(args.b)
    fails = []
    # pixel by pixel over the common pad area, each channel within a small tolerance
    ra, rb = pad_pixels(args.a, a), pad_pixels(args.b, b)
    same = total = 0
    for la, lb in zip(ra, rb):
        n = min(len(la), len(lb))
        for i in range(0, n, 3):
            total += 1
            same += all(abs(la[i + k] - lb[i + k]) <= 8 for k in range(3))
    share = same / total if total else 0.0
    print(json.dumps({'a': a, 'b': b, 'same_pixels': round(share, 4)}))
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


def cmd_selftest(args):
    """Known delays, pitches and copies in synthetic recordings must be measured as such."""
    import os
    import tempfile
    bad = []
    one = voiced(150.0, 0.2)
    x = [int(12000 * one[i % len(one)]) for i in range(int(0.8 * RATE))]
    lead, gap = [0] * int(0.3 * RATE), [0] * int(0.5 * RATE)
    inp = lead + x + gap + x + gap

    def stereo(left, right, path):
        n = max(len(left), len(right))
        left, right = left + [0] * (n - len(left)), right + [0] * (n - len(right))
        st = array.array('h', [0] * (2 * n))
        st[0::2] = array.array('h', left)
        st[1::2] = array.array('h', right)
        with open(path, 'wb') as f:
            f.write(st.tobytes())

    with tempfile.TemporaryDirectory() as tmp:
        rec = os.path.join(tmp, 'rec.raw')
        # a copy at 0.4 gain, 6000 samples (136.05 ms) late
        stereo(inp, [0] * 6000 + [int(0.4 * v) for v in inp], rec)
        rows = measure(rec)
        if len(rows) != 2 or any(abs(r.get('delay_ms', 0) - 136.05) > 1.0 for r in rows):
            bad.append(f"delay of a copy 136.05 ms late measured as {[r.get('delay_ms') for r in rows]}")
        if any(abs(r.get('out_pitch_hz', 0) - 150.0) > 0.75 or r.get('waveform_similarity', 0) < 0.95
               or abs(r.get('level_ratio', 0) - 0.4) > 0.02 for r in rows):
            bad.append(f"copy not recognised as 150 Hz, similar, at 0.4: {rows}")
        # the same bursts two octaves up, in sine phase (not a copy), 5000 samples late
        up = voiced(600.0, 0.2, seed=3)
        out = [0] * (5000 + len(lead)) + [int(9000 * up[i % len(up)]) for i in range(len(x))]
        out += [0] * len(gap) + [int(9000 * up[i % len(up)]) for i in range(len(x))]
        stereo(inp, out, rec)
        rows = measure(rec)
        if len(rows) != 2 or any(abs(r.get('out_pitch_hz', 0) / 600.0 - 1) > 0.005 for r in rows):
            bad.append(f"600 Hz output measured as {[r.get('out_pitch_hz') for r in rows]}")
        if any(abs(r.get('delay_ms', 0) - 5000 / RATE * 1000) > 3.0 for r in rows):
            bad.append(f"delay 113.4 ms measured as {[r.get('delay_ms') for r in rows]}")
        if any(r.get('waveform_similarity', 1) > 0.9 for r in rows):
            bad.append("a different waveform was taken for a copy")
        # no output at all
        stereo(inp, [0] * len(inp), rec)
        if any('delay_ms' in r for r in measure(rec)):
            bad.append("silence on the output was taken for output")
    for b in bad:
        print("FAIL: " + b, file=sys.stderr)
    print("analyze selftest: " + ("ok" if not bad else f"{len(bad)} failure(s)"))
    return 1 if bad else 0


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
    q.add_argument('--length', type=float, default=0.1)
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
    r.add_argument('--allow-bad', type=int, help='bursts that may fail (default: 1 of 3 or more)')
    r.add_argument('--max-level', type=float, default=10.0)
    r.set_defaults(fn=cmd_report)
    s = sub.add_parser('pad')
    s.add_argument('shot')
    s.add_argument('--expect-size')
    s.add_argument('--expect-crosshair')
    s.add_argument('--expect-circle', action='store_true')
    s.add_argument('--expect-picture')
    s.set_defaults(fn=cmd_pad)
    t = sub.add_parser('selftest')
    t.set_defaults(fn=cmd_selftest)
    c = sub.add_parser('compare')
    c.add_argument('a')
    c.add_argument('b')
    c.set_defaults(fn=cmd_compare)
    args = p.parse_args()
    sys.exit(args.fn(args) or 0)


if __name__ == '__main__':
    main()
