#!/usr/bin/env python3
"""Compares two voice_dump outputs (the same input through two builds): the same
number of blocks, the same write position in each, and every output sample within the
rounding the DSP tests allow between the FFT's paths (1e-9 of the block's peak)."""
import struct
import sys

BLOCK = 2048
REC = 4 + 8 * BLOCK


def blocks(path):
    data = open(path, 'rb').read()
    if len(data) % REC:
        sys.exit(f'{path}: {len(data)} bytes is not a whole number of blocks')
    for off in range(0, len(data), REC):
        pos = struct.unpack_from('<i', data, off)[0]
        yield pos, struct.unpack_from(f'<{BLOCK}d', data, off + 4)


def main():
    if len(sys.argv) != 3:
        sys.exit('usage: compare_voice.py A.bin B.bin')
    a, b = list(blocks(sys.argv[1])), list(blocks(sys.argv[2]))
    if len(a) != len(b) or not a:
        sys.exit(f'blocks: {len(a)} and {len(b)}')
    worst = 0.0
    loud = 0
    for i, ((pa, xa), (pb, xb)) in enumerate(zip(a, b)):
        if pa != pb:
            sys.exit(f'block {i}: write position {pa} and {pb}')
        peak = max(abs(v) for v in xa)
        loud += peak > 100
        diff = max(abs(u - v) for u, v in zip(xa, xb))
        ratio = diff / max(1.0, peak)
        worst = max(worst, ratio)
        if ratio > 1e-9:
            sys.exit(f'block {i}: outputs differ by {diff:.3g} (peak {peak:.1f})')
    # A silent run would match anything.
    if loud < len(a) // 2:
        sys.exit(f'only {loud} of {len(a)} blocks carry sound: not a voice')
    print(f'compare_voice: {len(a)} blocks ({loud} with sound), same write positions, '
          f'largest difference {worst:.2g} of the block peak')


main()
