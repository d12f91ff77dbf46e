#!/usr/bin/env python3
"""What any recovery past damage can keep of a deflated entry, at best.

    bench/resync_bound.py [--size MB] [--bursts 64,512,4096]
                          [--writers ...] [--kinds text,xml,binary]

Makes the same archives and bursts as resync_bench.py, but instead of
repairing them it follows the writer's own symbols: the bytes the damaged
compressed bytes stood for are lost, and every later byte a copy takes from
a lost byte (directly or through other copies) is unknown too, as it is
for any decoder that writes only what it can derive. Prints, per case, the
share of aligned 1 KiB chunks free of unknown bytes and the unknown-byte
count: the ceiling of resync_bench.py's "chunks" and the floor of its
"unknown", for a recovery that loses nothing but the damaged segment.
"""
import argparse
import os
import random
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import resync_bench as rb  # noqa: E402

LENGTH_BASE = [3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163,
               195, 227, 258]
LENGTH_EXTRA = [0] * 8 + [1] * 4 + [2] * 4 + [3] * 4 + [4] * 4 + [5] * 4 + [0]
DIST_BASE = [1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049, 3073,
             4097, 6145, 8193, 12289, 16385, 24577]
DIST_EXTRA = [0, 0, 0, 0] + [i // 2 for i in range(2, 28)]
ORDER = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]


class Bits:
    def __init__(self, data):
        self.data = bytes(data) + bytes(16)
        self.pos = 0

    def peek(self):
        at = self.pos >> 3
        return int.from_bytes(self.data[at:at + 8], "little") >> (self.pos & 7)

    def take(self, n):
        v = self.peek() & ((1 << n) - 1)
        self.pos += n
        return v


def code(lengths):
    """A lookup table over the longest code's bits: (symbol, length)."""
    longest = max(lengths)
    count = [0] * 16
    for n in lengths:
        count[n] += 1
    count[0] = 0
    first, c = [0] * 16, 0
    for n in range(1, 16):
        c = (c + count[n - 1]) << 1
        first[n] = c
    table = [None] * (1 << longest)
    for sym, n in enumerate(lengths):
        if n:
            rev = int(format(first[n], "0%db" % n)[::-1], 2)
            first[n] += 1
            for k in range(rev, 1 << longest, 1 << n):
                table[k] = (sym, n)
    return table, longest


def symbol(bits, table):
    entry = table[0][bits.peek() & ((1 << table[1]) - 1)]
    bits.pos += entry[1]
    return entry[0]


def copies(compressed):
    """The stream's copies as (output offset, length, distance)."""
    bits, out, pos = Bits(compressed), [], 0
    fixed = (code([8] * 144 + [9] * 112 + [7] * 24 + [8] * 8), code([5] * 30))
    while True:
        final, kind = bits.take(1), bits.take(2)
        if kind == 0:
            bits.pos = (bits.pos + 7) & ~7
            n = bits.take(16)
            bits.take(16)
            bits.pos += 8 * n
            pos += n
        else:
            lit, dist = fixed
            if kind == 2:
                nl, nd, nc = bits.take(5) + 257, bits.take(5) + 1, bits.take(4) + 4
                cl = [0] * 19
                for i in range(nc):
                    cl[ORDER[i]] = bits.take(3)
                lengths, clc = [], code(cl)
                while len(lengths) < nl + nd:
                    s = symbol(bits, clc)
                    if s < 16:
                        lengths.append(s)
                    elif s == 16:
                        lengths += [lengths[-1]] * (3 + bits.take(2))
                    else:
                        lengths += [0] * ((3 + bits.take(3)) if s == 17 else (11 + bits.take(7)))
                lit, dist = code(lengths[:nl]), code(lengths[nl:] if any(lengths[nl:]) else [1])
            while True:
                s = symbol(bits, lit)
                if s < 256:
                    pos += 1
                elif s == 256:
                    break
                else:
                    n = LENGTH_BASE[s - 257] + bits.take(LENGTH_EXTRA[s - 257])
                    d = symbol(bits, dist)
                    out.append((pos, n, DIST_BASE[d] + bits.take(DIST_EXTRA[d])))
                    pos += n
        if final:
            return out, pos


def bound(compressed, lost_from, lost_to):
    found, size = copies(compressed)
    known = bytearray(b"\1") * size
    known[lost_from:lost_to] = bytes(lost_to - lost_from)
    for at, n, d in found:
        if at + n > lost_to:
            for p in range(max(at, lost_to), at + n):
                known[p] = known[p - d]
    chunks = sum(1 for i in range(0, size - 1023, 1024) if known.find(0, i, i + 1024) < 0)
    return chunks / (size // 1024), size - sum(known)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--size", type=float, default=8.0, help="entry size in MB")
    p.add_argument("--bursts", default="64,512,4096")
    p.add_argument("--writers", default=",".join(rb.WRITERS))
    p.add_argument("--kinds", default="text,xml,binary")
    a = p.parse_args()
    rng = random.Random(1)
    size = int(a.size * 1000000)
    makers = {"text": rb.make_text, "xml": rb.make_xml, "binary": rb.make_binary}
    work = tempfile.mkdtemp(prefix="resync_bound")
    try:
        for kind in a.kinds.split(","):
            data = makers[kind](size, rng)
            for writer in a.writers.split(","):
                archive = rb.write_archive(writer, data, work)
                start, csize = rb.data_range(archive)
                with open(archive, "rb") as f:
                    compressed = f.read()[start:start + csize]
                for burst in (int(b) for b in a.bursts.split(",")):
                    at = csize // 2 - burst // 2
                    lost_from, lost_to = rb.plain_before(compressed, at), rb.plain_before(compressed, at + burst)
                    share, unknown = bound(compressed, lost_from, lost_to)
                    print(f"{kind:7} {writer:7} {burst:5} chunks at most {100.0 * share:6.2f}%  unknown at least "
                          f"{unknown:8}  segment {lost_to - lost_from:6}", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
