"""The rig's measurements on signals whose answers are known (analyze.py selftest).

Each case builds a recording as the rig makes them (input left, output right, one
time base) or a screenshot, measures it with analyze.py and compares with what was
built in. With --program-output, the program's own output two octaves up (the
offline renderer run over `analyze.py voice`) must read 600-606 Hz in every burst.
"""

import argparse
import contextlib
import io
import os
import tempfile
import wave

import numpy as np
from PIL import Image, ImageDraw

import analyze as A

RATE = A.RATE


def stereo(left, right, path):
    n = max(len(left), len(right))
    st = np.zeros((n, 2), '<i2')
    st[:len(left), 0] = left
    st[:len(right), 1] = right
    st.tofile(path)


def periods(lengths, n, amps=(1.0,)):
    """A voice made of whole periods of the given lengths in turn (as a resynthesis
    whose period lengths are whole samples), each the same sine-phase shape."""
    out, i, total = [], 0, 0
    while total < n:
        length = lengths[i % len(lengths)]
        t = np.arange(length) / length
        out.append(amps[i % len(amps)] * sum(np.sin(2 * np.pi * k * t) / k for k in range(1, 7)))
        total += length
        i += 1
    x = np.concatenate(out)[:n]
    return x / np.max(np.abs(x))


def burst_layout(inp_burst, out_burst, delay, lead=0.3, gap=0.5, count=3):
    """Input bursts and the matching output bursts `delay` samples later."""
    lead, gap = np.zeros(int(lead * RATE)), np.zeros(int(gap * RATE))
    left = np.concatenate([lead] + [inp_burst, gap] * count)
    right = np.concatenate([np.zeros(delay), lead] + [out_burst, gap] * count)
    return left.astype(np.int16), right.astype(np.int16)


def run(program_output=None):
    bad = []

    def check(ok, what):
        if not ok:
            bad.append(what)

    one = A.voiced(150.0, 0.2)
    inp = (12000 * np.resize(one, int(0.8 * RATE))).astype(np.int16)
    with tempfile.TemporaryDirectory() as tmp:
        rec = os.path.join(tmp, 'rec.raw')

        # A copy at 0.4 gain, 6000 samples (136.05 ms) late: delay, pitch, level, likeness.
        left, right = burst_layout(inp, (0.4 * inp).astype(np.int16), 6000, count=2)
        stereo(left, right, rec)
        rows = A.measure(rec, 1.0)
        check(len(rows) == 2 and all(abs(r.get('delay_ms', 0) - 136.05) <= 1.0 for r in rows),
              f"delay of a copy 136.05 ms late measured as {[r.get('delay_ms') for r in rows]}")
        check(all(abs(r['out_pitch_hz'] - 150.0) <= 0.75 and r['waveform_similarity'] >= 0.95
                  and abs(r['level_ratio'] - 0.4) <= 0.02 and r['dropouts'] == 0 for r in rows),
              f"copy not read as 150 Hz, alike, at 0.4, whole: {rows}")

        # Two octaves up in whole-sample periods alternating 73 and 74 (600 Hz), which
        # also repeat every few periods, 5000 samples late: 600-606 Hz in every burst.
        up = (9000 * periods([73, 74], len(inp))).astype(np.int16)
        left, right = burst_layout(inp, up, 5000)
        stereo(left, right, rec)
        rows = A.measure(rec, 4.0)
        check(len(rows) == 3 and all(600.0 <= r.get('out_pitch_hz', 0) <= 606.0 for r in rows),
              f"73/74-sample periods (600 Hz) read as {[r.get('out_pitch_hz') for r in rows]}")
        check(all(abs(r.get('delay_ms', 0) - 5000 / RATE * 1000) <= 3.0 for r in rows),
              f"delay 113.4 ms measured as {[r.get('delay_ms') for r in rows]}")
        check(all(r.get('waveform_similarity', 1) < 0.9 for r in rows), "a different waveform was taken for a copy")

        # A dropout of 2 ms inside the second output burst is found, and only there.
        holed = right.copy()
        at = 5000 + int(0.3 * RATE) + len(inp) + int(0.5 * RATE) + int(0.4 * RATE)
        holed[at:at + int(0.002 * RATE)] = 0
        stereo(left, holed, rec)
        rows = A.measure(rec, 4.0)
        check([r.get('dropouts') for r in rows] == [0, 1, 0], f"a 2 ms dropout in burst 1 read as {rows}")

        # The machine's stall log (rig_watch_start) beside it: the gap is set aside when a
        # stall of 6 ms or more was logged near it, counted when the stall was elsewhere or
        # shorter. The log's clock: 'watch' is cycle 0 (1 ms cycles), 'stop' the last sample.
        stop = 1000.0 + len(holed) / RATE
        def log(cycle, lateness_us):
            with open(rec + '.stalls', 'w') as f:
                f.write(f"watch 1000.0\n0 {cycle} {lateness_us}\n1 {cycle + 1} {lateness_us - 1000}\nstop {stop}\n")
        stereo(left, holed, rec)
        log(int(at / RATE * 1000) - 50, 12000)
        got = A.stalls(rec)
        want = (int(at / RATE * 1000) - 50) / 1000
        check(len(got) == 1 and abs(got[0][0] - want) < 0.002 and abs(got[0][1] - got[0][0] - 0.012) < 0.001,
              f"a 12 ms stall at {want:.3f} s read as {got}")
        rows = A.measure(rec, 4.0)
        check([r.get('dropouts') for r in rows] == [0, 0, 0] and rows[1].get('stall_gaps_ms') == [2.0],
              f"a gap beside a 12 ms stall read as {rows}")
        log(int(at / RATE * 1000) - 1500, 12000)
        check([r.get('dropouts') for r in A.measure(rec, 4.0)] == [0, 1, 0], "a gap 1.5 s from the stall was excused")
        log(int(at / RATE * 1000) - 50, 5000)
        check([r.get('dropouts') for r in A.measure(rec, 4.0)] == [0, 1, 0], "a gap beside a 5 ms stall was excused")
        # Stalls of 4 ms every 8 ms are one episode of 16 ms; the same 100 ms apart are four
        # short ones.
        def log_many(first, every):
            with open(rec + '.stalls', 'w') as f:
                f.write("watch 1000.0\n")
                for k in range(4):
                    f.write(f"{k % 2} {first + k * every} 4000\n")
                f.write(f"stop {stop}\n")
        log_many(int(at / RATE * 1000) - 60, 8)
        rows = A.measure(rec, 4.0)
        check([r.get('dropouts') for r in rows] == [0, 0, 0], f"a gap beside four 4 ms stalls in 28 ms read as {rows}")
        log_many(int(at / RATE * 1000) - 400, 100)
        check([r.get('dropouts') for r in A.measure(rec, 4.0)] == [0, 1, 0],
              "a gap beside 4 ms stalls 100 ms apart was excused")
        # The sound server's sink came late (rig_pulse_catchups, epoch seconds on the stall
        # log's clock): a gap just after is set aside, one 1.5 s after it counts.
        log(int(at / RATE * 1000) - 1500, 12000)
        for before, want in ((0.02, [0, 0, 0]), (1.5, [0, 1, 0])):
            with open(rec + '.server', 'w') as f:
                f.write(f"{1000.0 + at / RATE - before:.3f}\n")
            check([r.get('dropouts') for r in A.measure(rec, 4.0)] == want,
                  f"a gap {before} s after the sink came late read as {A.measure(rec, 4.0)}")
        os.remove(rec + '.server')
        # The server found the program's playback empty (rig_pulse_empties): asked to, the
        # analysis reports a gap starting 15 ms before that apart; one 0.2 s away counts, and
        # unasked nothing changes.
        for before, aside, want in ((0.015, True, [0, 0, 0]), (0.2, True, [0, 1, 0]), (0.015, False, [0, 1, 0])):
            with open(rec + '.client', 'w') as f:
                f.write(f"{1000.0 + at / RATE + before:.3f}\n")
            rows = A.measure(rec, 4.0, empties_aside=aside)
            check([r.get('dropouts') for r in rows] == want and
                  (rows[1].get('client_gaps_ms') == [2.0]) == (want[1] == 0),
                  f"a gap {before} s before the server found the stream empty (aside {aside}) read as {rows}")
        os.remove(rec + '.client')
        # The server's log: the program's streams by their client's name, SDL's and Wine's,
        # the rig's by theirs; only what comes after the mark is placed.
        plog = os.path.join(tmp, 'pa.log')
        with open(plog, 'w') as f:
            for t, text in ((0.1, 'Created input 3 "Audio Stream" on spk'),
                            (0.1, '    application.name = "quillmorph"'),
                            (0.2, 'Created input 4 "audio stream #2" on spk'),
                            (0.2, '    media.name = "audio stream #2"'),
                            (0.2, '    application.name = "quillmorph.exe"'),
                            (0.3, 'Created input 5 "pacat" on spk'),
                            (0.3, '    application.name = "pacat"'),
                            (0.5, "Implicit underrun of 'Audio Stream'"),
                            (1.0, 'Freed 9 "qm-mark"'),
                            (1.5, "Implicit underrun of 'audio stream #2'"),
                            (1.501, "Implicit underrun of 'pacat'"),
                            (2.0, "Implicit underrun of 'Audio Stream'"),
                            (2.5, "Implicit underrun of 'pacat'"),
                            (3.0, "Implicit underrun of 'pacat'"),
                            (3.005, "Implicit underrun of 'Audio Stream'"),
                            (3.006, 'Requesting rewind due to end of underrun.'),
                            (3.5, "Implicit underrun of 'pacat'"),
                            (3.51, 'Requesting rewind due to end of underrun.'),
                            (3.515, "Implicit underrun of 'Audio Stream'")):
                f.write(f"({t:8.3f}|   0.000) I: [pulseaudio] x.c: {text}\n")
        def pulse(what):
            ns = argparse.Namespace(log=plog, what=what, to_line=100, from_line=0, mark=500.0)
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                A.cmd_pulse_log(ns)
            return out.getvalue().split()
        check(pulse('underruns') == ['5', '4'], f"underruns of the program's and the rig's streams read as {pulse('underruns')}")
        # One late pass of the sink: within 3 ms, or next to each other on the log.
        check(pulse('catchups') == ['500.500', '502.005'], f"the sink coming late read at {pulse('catchups')}")
        check(pulse('empties') == ['500.500', '501.000', '502.005', '502.515'],
              f"the program's stream empty read at {pulse('empties')}")
        # The report: a dropout far from any stall fails the measurement (1); when the machine
        # stopped 25 ms at once elsewhere in it, the measurement is void (3), to be made again.
        def report_code():
            ns = argparse.Namespace(rec=rec, expect_ratio=4.0, tolerance=0.05, expect_changed=False,
                                    min_level=None, max_level=10.0, bursts=3, gap_ms=0.7, empties_aside=False)
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
                return A.cmd_report(ns)
        log(int(at / RATE * 1000) - 1500, 12000)
        check(report_code() == 1, "a dropout beside no stall, a 12 ms stall elsewhere: not a failure")
        log(int(at / RATE * 1000) - 1500, 25000)
        check(report_code() == 3, "a dropout beside no stall, a 25 ms stall elsewhere: not void")
        os.remove(rec + '.stalls')

        # No output at all.
        stereo(left, np.zeros_like(left), rec)
        check(not any('delay_ms' in r for r in A.measure(rec)), "silence on the output was taken for output")

    # The pitch judged against the one expected: a tracker's reading a third of it is
    # overruled by the spectrum only when the harmonics say so.
    n = RATE // 2
    modulated = (9000 * periods([73, 74], n, amps=(1.0, 0.5, 0.75))).astype(np.int16)
    reading = A.tracked_pitch(modulated)
    pitch, note, ok = A.judge_pitch(modulated, 600.0, 0.01)
    check(abs(reading - 200.0) <= 2.0 and ok and abs(pitch - 600.0) <= 1.0 and '1/3 of' in note,
          f"600 Hz with a three-period pattern: tracker {reading:.1f}, judged {pitch:.1f} {ok} '{note}'")
    for f0, rel in ((200.0, '1/3 of'), (1200.0, '2 x')):
        x = (12000 * A.voiced(f0, 0.5)).astype(np.int16)
        pitch, note, ok = A.judge_pitch(x, 600.0, 0.01)
        check(not ok and rel in note, f"a true {f0:.0f} Hz voice judged against 600 Hz: {pitch:.1f} {ok} '{note}'")

    # The program itself, two octaves up.
    if program_output:
        with wave.open(program_output) as w:
            out = np.frombuffer(w.readframes(w.getnframes()), '<i2')
        v = A.bursts_signal(150.0, 3, 1.0, 0.6, 0.3)
        with tempfile.TemporaryDirectory() as tmp:
            rec = os.path.join(tmp, 'rec.raw')
            stereo(v, np.concatenate([np.zeros(6000, np.int16), out]), rec)
            rows = A.measure(rec, 4.0)
        check(len(rows) == 3 and all(600.0 <= r.get('out_pitch_hz', 0) <= 606.0 and r['dropouts'] == 0
                                     for r in rows),
              f"the program two octaves up read as {[(r.get('out_pitch_hz'), r.get('pitch_note')) for r in rows]}")

    # Pictures: a pad drawn at a known place, and a screen that shows nothing yet.
    with tempfile.TemporaryDirectory() as tmp:
        img = Image.new('RGB', (500, 460), (212, 208, 200))
        d = ImageDraw.Draw(img)
        x0, y0, cx, cy = 37, 21, 150, 260
        d.rectangle([x0, y0, x0 + 399, y0 + 399], fill=(255, 255, 255))
        d.line([x0, y0 + cy, x0 + 399, y0 + cy], fill=A.GREY)
        d.line([x0 + cx, y0, x0 + cx, y0 + 399], fill=A.GREY)
        d.ellipse([x0 + cx - 50, y0 + cy - 50, x0 + cx + 50, y0 + cy + 50], outline=A.GREY)
        path = os.path.join(tmp, 'pad.png')
        img.save(path)
        pad = A.find_pad(A.load_rgb(path))
        check(pad['origin'] == [x0, y0] and pad['size'] == [400, 400] and pad['crosshair'] == [cx, cy]
              and pad['circle_hits'][0] >= 0.8 * pad['circle_hits'][1] > 0, f"drawn pad found as {pad}")
        Image.new('RGB', (500, 460), (0, 0, 0)).save(path)
        pad = A.find_pad(A.load_rgb(path))
        check(pad['size'] == [0, 0], f"an empty screen read as a pad: {pad}")

    for b in bad:
        print("FAIL: " + b)
    print("rig selftest: " + ("ok" if not bad else f"{len(bad)} failure(s)"))
    return 1 if bad else 0
