#!/usr/bin/env python3
# Hand-built entries that no ordinary archiver writes, each repaired whole by
# the library: deflate streams with the format's corner cases and damage at a
# known bit (the entry must keep exactly what came before it, and the scan
# must find the entry behind it), data descriptors of every shape, hostile
# names and sizes, and where ZIP's fields end (65,535 entries, inputs past
# 4 GiB).
import os
import random
import struct
import sys
import zipfile
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from salvage import Case, Run, check_valid, read_zip, main, OVERWRITE, TRAILING, EXTENSIONS


class Bits:
    """A deflate bit stream: fields least significant bit first, Huffman codes most significant first."""

    def __init__(self):
        self.value, self.count = 0, 0

    def put(self, v, n):
        self.value |= v << self.count
        self.count += n
        return self

    def code(self, c, n):
        return self.put(int(format(c, "0%db" % n)[::-1], 2) if n else 0, n)

    def align(self):
        self.count += -self.count % 8
        return self

    def raw(self, data):
        self.align()
        for b in data:
            self.put(b, 8)
        return self

    def bytes(self):
        return self.value.to_bytes((self.count + 7) // 8, "little")


class Code:
    """A canonical Huffman code from its lengths."""

    def __init__(self, lengths):
        self.lengths, self.codes, code = lengths, {}, 0
        for n in range(1, 16):
            for s, l in enumerate(lengths):
                if l == n:
                    self.codes[s] = (code, n)
                    code += 1
            code <<= 1

    def write(self, bits, symbol):
        bits.code(*self.codes[symbol])


FIXED = Code([8] * 144 + [9] * 112 + [7] * 24 + [8] * 8)
FIXED_DIST = Code([5] * 32)
LBASE = [3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258]
LEXTRA = [0] * 8 + [1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0]
DBASE = [1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097,
         6145, 8193, 12289, 16385, 24577]
DEXTRA = [0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13]
ORDER = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]


def literals(bits, code, text):
    for c in text:
        code.write(bits, c)


def match(bits, lit, dist, length, distance):
    i = max(k for k in range(29) if LBASE[k] <= length)
    lit.write(bits, 257 + i)
    bits.put(length - LBASE[i], LEXTRA[i])
    j = max(k for k in range(30) if DBASE[k] <= distance)
    dist.write(bits, j)
    bits.put(distance - DBASE[j], DEXTRA[j])


def stored(bits, data, last=False, nlen=None):
    bits.put(int(last), 1).put(0, 2).align().put(len(data), 16).put(len(data) ^ 0xFFFF if nlen is None else nlen, 16)
    return bits.raw(data)


def dynamic_header(bits, lit_lengths, dist_lengths, last=True):
    """Code lengths sent plainly, each with a code-length code of 4-bit codes for 0..15."""
    bits.put(int(last), 1).put(2, 2).put(len(lit_lengths) - 257, 5).put(len(dist_lengths) - 1, 5).put(15, 4)
    cl = Code([4] * 16 + [0] * 3)
    for s in ORDER:
        bits.put(cl.lengths[s], 3)
    for l in lit_lengths + dist_lengths:
        cl.write(bits, l)
    return Code(lit_lengths), Code(dist_lengths)


def raw_dynamic_header(bits, hclen, cl_lengths):
    bits.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(hclen, 4)
    for s in ORDER[:hclen + 4]:
        bits.put(cl_lengths[s], 3)
    return Code(cl_lengths)


def local(name, data, method=8, crc=0, csize=None, usize=0, flags=0):
    name = name.encode() if isinstance(name, str) else name
    csize = len(data) if csize is None else csize
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0, 0x21, crc, csize, usize, len(name), 0) + name + data


UNVERIFIED = "WARNING: %s (size = %d) could not be verified: no CRC-32 was found to check it against"
NEXT = local("next.txt", b"next entry!", 0, zlib.crc32(b"next entry!"), usize=11)
BIG = bytes((i * 7919 >> 3) & 0xFF for i in range(50000))


def nine_bit(tail):
    return [9] * 256 + tail


class Inflate(Case):
    def salvage(self, archive, flags=0):
        run = Run(self.write("in.zip", archive), self.out(), OVERWRITE | flags)
        self.assertEqual(run.result, 0)
        return run, {e[0]: e[3] for e in check_valid(self, run.output)}

    def expect(self, label, stream, plain, ok, trailer=NEXT, csize=None, exact=True, method=8):
        with self.subTest(label):
            entry = local("s.bin", stream, method, crc=zlib.crc32(plain) if ok else 0, csize=csize,
                          usize=len(plain) if ok else len(plain) + 100)
            run, got = self.salvage(entry + trailer)
            if ok:
                self.assertEqual(run.texts()[1], "    s.bin: size = %d:  OK" % len(plain), run.dump())
                self.assertEqual(got[b"s.bin"], plain)
            else:
                self.assertTrue(run.texts()[1].startswith("ERROR: File s.bin is corrupt."), run.dump())
                kept = got.get(b"s.bin", b"")
                self.assertTrue(kept == plain or not exact and plain.startswith(kept), kept)
                if plain and exact:
                    self.assertIn("ERROR: File s.bin is corrupt.  Salvaged %d of %d" % (len(plain), len(plain) + 100), run.texts())
            if trailer:
                self.assertEqual(got.get(b"next.txt"), b"next entry!", run.dump())

    def test_good_streams(self):
        self.expect("empty stored block", b"\x01\x00\x00\xff\xff", b"", True)
        b = Bits().put(1, 1).put(1, 2)
        literals(b, FIXED, b"ab")
        match(b, FIXED, FIXED_DIST, 7, 2)  # overlapping
        match(b, FIXED, FIXED_DIST, 258, 1)  # symbol 285, no extra bits
        literals(b, FIXED, b"Z")
        match(b, FIXED, FIXED_DIST, 3, 11)
        FIXED.write(b, 256)
        plain = b"ababababa" + b"a" * 258 + b"Z"
        self.expect("fixed block, overlapping matches", b.bytes(), plain + plain[-11:-8], True)
        b = Bits().put(1, 1).put(1, 2)
        literals(b, FIXED, b"x")
        match(b, FIXED, FIXED_DIST, 4, 32768)  # before the entry's first byte: zeros, never another entry's bytes
        match(b, FIXED, FIXED_DIST, 3, 100)
        FIXED.write(b, 256)
        self.expect("distance before the first byte", b.bytes(), b"x" + bytes(7), True)
        # HLIT and HDIST at 31: distance codes 30 and 31 decode like 29; 32768 reaches a whole window back.
        b = stored(Bits(), BIG[:40000])
        lit, dist = dynamic_header(b, [9] * 256 + [6] * 32, [5] * 32)
        plain = bytearray(BIG[:40000])
        for code, extra, length in [(30, 0, 5), (31, 100, 4), (30, 8191, 6), (29, 8191, 3), (31, 8191, 7)]:
            i = max(k for k in range(29) if LBASE[k] <= length)
            lit.write(b, 257 + i)
            b.put(length - LBASE[i], LEXTRA[i])
            dist.write(b, code)
            b.put(extra, 13)
            for _ in range(length):
                plain.append(plain[-24577 - extra])
        lit.write(b, 256)
        self.expect("every code and the longest distances", b.bytes(), bytes(plain), True)
        b, plain = stored(Bits(), BIG[:50000]).put(1, 1).put(1, 2), bytearray(BIG[:50000])  # Deflate64: 285 is 3 + 16 bits;
        for sym, extra, code, dextra, distance in [(285, 65535, 0, 0, 1), (257, 0, 31, 16383, 65536), (284, 30, 30, 0, 32769)]:
            FIXED.write(b, sym), b.put(extra, 16 if sym == 285 else LEXTRA[sym - 257])  # codes 30, 31: 14 bits, 65536 back
            FIXED_DIST.write(b, code), b.put(dextra, 14 if code else 0)
            for _ in range((3 if sym == 285 else LBASE[sym - 257]) + extra): plain.append(plain[-distance])
        FIXED.write(b, 256)
        self.expect("Deflate64's long lengths and far distances", b.bytes(), bytes(plain), True, method=9)
        # A code-length sequence opening with repeat code 16 repeats length 0.
        cl = raw_dynamic_header(b := Bits(), 15, [4] * 14 + [5] * 4 + [0])
        lengths = [0] * 6 + [7] * 5 + [8] * 246
        cl.write(b, 16)
        b.put(3, 2)
        for l in lengths[6:] + [0]:
            cl.write(b, l)
        lit = Code(lengths)
        literals(b, lit, b"leading zeros")
        lit.write(b, 256)
        self.expect("leading repeat code repeats zero", b.bytes(), b"leading zeros", True)
        # An incomplete distance code whose spare codes are 15 bits long, beyond the table's first
        # level: its one real code, "0", must decode whatever bits follow it.
        b = Bits()
        lit, dist = dynamic_header(b, nine_bit([2, 2]), [1, 15])
        for c in range(256):
            lit.write(b, c)
            lit.write(b, 257)  # length 3
            dist.write(b, 0)  # distance 1
        lit.write(b, 256)
        self.expect("incomplete distance code of 15-bit spares", b.bytes(), bytes(c for c in range(256) for _ in range(4)), True)
        # Complete codes with every length from 1 to 15 on both sides, long enough for the word-wide loop: codes past
        # its tables' first levels, and matches 1 to 8 back whose copies repeat a pattern shorter than a word.
        b, ramp, rng, plain = Bits(), list(range(1, 15)) + [15, 15], random.Random(5), bytearray(b"a")
        lit_lengths = [0] * 270
        lit_lengths[97:111], lit_lengths[256], lit_lengths[268] = ramp[:14], 15, 15
        lit, dist = dynamic_header(b, lit_lengths, ramp)
        literals(b, lit, b"a")
        for _ in range(4000):
            if rng.random() < 0.6:
                plain.append(rng.randrange(97, 111))
                lit.write(b, plain[-1])
            else:
                length, distance = rng.choice((17, 18)), min(rng.choice((1, 2, 3, 5, 7, 8, 20, 130, 256)), len(plain))
                match(b, lit, dist, length, distance)
                for _ in range(length):
                    plain.append(plain[-distance])
        lit.write(b, 256)
        self.expect("codes of 1 to 15 bits, short-period matches", b.bytes(), bytes(plain), True)
        # The 10-byte allowance: a recorded size too small by less still decodes.
        s = stored(Bits(), b"stored part", True).bytes()
        self.expect("compressed size 8 short", s, b"stored part", True, trailer=b"", csize=len(s) - 8)
        self.expect("compressed size 11 short", s, b"stored par", False, trailer=b"", csize=len(s) - 11)
        # The last symbol in the archive's last byte decodes; one byte less does not.
        for n in range(8):
            b = Bits()
            lit, _ = dynamic_header(b, nine_bit([1]), [0])
            literals(b, lit, b"k" * n)
            lit.write(b, 256)
            self.expect("%d literals up to the last byte" % n, b.bytes(), b"k" * n, True, trailer=b"")
            self.expect("%d literals, last byte missing" % n, b.bytes()[:-1], b"k" * n, False, trailer=b"", exact=False)

    def test_damage_keeps_what_came_before(self):
        def fixed_then(prefix, fault, last=True):
            b = Bits()
            if prefix:
                stored(b, prefix)
            b.put(int(last), 1).put(1, 2)
            literals(b, FIXED, b"hello")
            fault(b)
            return b.bytes(), prefix + b"hello"

        big = BIG
        self.expect("symbol 286", *fixed_then(big, lambda b: FIXED.write(b, 286)), False)
        self.expect("symbol 287", *fixed_then(b"", lambda b: FIXED.write(b, 287)), False)
        self.expect("distance code 30", *fixed_then(big, lambda b: (FIXED.write(b, 257), FIXED_DIST.write(b, 30))), False)
        self.expect("no last block", *fixed_then(big, lambda b: FIXED.write(b, 256), last=False), False)
        self.expect("cut inside a symbol", *fixed_then(b"", lambda b: b.put(5, 3)), False, trailer=b"")
        self.expect("block type 3", stored(Bits(), big).put(1, 1).put(3, 2).bytes(), big, False)
        self.expect("LEN/NLEN mismatch", stored(stored(Bits(), b"first"), b"xxxxx", True, 5).bytes(), b"first", False)
        s = bytearray(stored(Bits(), BIG[:30], True, 100 ^ 0xFFFF).bytes())
        s[1] = 100
        self.expect("stored block cut short", bytes(s), BIG[:30], False, trailer=b"")

        def dyn(prefix, lit_lengths, dist_lengths, body, out, last=True):
            b = Bits()
            if prefix:
                stored(b, prefix)
            lit, dist = dynamic_header(b, lit_lengths, dist_lengths, last)
            body(b, lit, dist)
            return b.bytes(), prefix + out

        self.expect("literal block, no last block", *dyn(big, nine_bit([1]), [0], lambda b, l, d: (literals(b, l, b"only"), l.write(b, 256)),
                                                          b"only", last=False), False)
        self.expect("length without distance codes", *dyn(b"", nine_bit([2, 2]), [0],
                                                         lambda b, l, d: (literals(b, l, b"lit"), l.write(b, 257), b.put(0, 10)), b"lit"), False)
        self.expect("spare pattern of an incomplete distance code", *dyn(b"", nine_bit([2, 2]), [2], lambda b, l, d: (
            literals(b, l, b"ab"), l.write(b, 257), b.code(0, 2), l.write(b, 257), b.code(1, 2), b.put(0, 8)), b"abbbb"), False)
        two = [0] * 257
        two[ord("a")] = two[256] = 2
        self.expect("incomplete literal code", *dyn(b"before", two, [0], lambda b, l, d: (l.write(b, 97), l.write(b, 256)), b""), False)
        self.expect("over-subscribed code", *dyn(b"pre", [1] * 257, [1], lambda b, l, d: b.put(0, 16), b""), False)
        b = stored(Bits(), b"kept")
        cl = raw_dynamic_header(b, 15, [4] * 8 + [5] * 8 + [0, 3, 3])
        for sym, extra, n in [(18, 127, 7), (18, 127, 7), (17, 0, 3)]:  # zero runs past the 258 lengths
            cl.write(b, sym)
            b.put(extra, n)
        self.expect("code-length run past the end", b.put(0, 16).bytes(), b"kept", False)
        b = stored(Bits(), b"one")
        raw_dynamic_header(b, 0, [0] * 18 + [1])
        self.expect("spare pattern of the code-length code", b.put(0xFF, 8).put(0, 16).bytes(), b"one", False)

    def test_methods_without_a_decoder(self):
        # Copied as they were (in every mode) when their extent is known; never saved empty.
        copied = "WARNING: s.bin (method %d) was copied as it was; it could not be verified"
        lost = "ERROR: File s.bin is corrupt.  Salvaged 0 of 20"
        for method, flags, csize, first in [(7, 0, None, copied % 7), (98, 0, None, copied % 98), (99, 1, None, copied % 99), (98, 9, None, copied % 98),
                                            (98, 8, 0, lost), (98, 0, 1000, lost)]:
            for mode in (0, EXTENSIONS):
                with self.subTest(method=method, flags=flags, csize=csize, mode=mode):
                    descriptor = struct.pack("<4I", 0x08074B50, 5, 20, 20) * (flags == 9)  # bit 3 kept: encrypted
                    run = Run(self.write("in.zip", local("s.bin", b"x" * 20, method, 5, csize, 20, flags) + descriptor + NEXT),
                              self.out(), OVERWRITE | mode)  # 7z would rightly call the made-up data damaged
                    got = {e[0]: e[3] for e in read_zip(run.output)}
                    self.assertEqual(run.texts()[1:3], [first, "    next.txt: size = 11:  OK"], run.dump())
                    self.assertEqual(got.get(b"s.bin"), b"x" * 20 if first != lost else None)
                    if first != lost:
                        self.assertIn("  1 files copied as they were, unverified", run.texts())
                        entry = zipfile.ZipFile(run.output).getinfo("s.bin")
                        self.assertEqual((entry.compress_type, entry.CRC, entry.flag_bits), (method, 5, flags))
                        self.assertEqual(self.read(run.output)[30 + 5 + 20:][:len(descriptor) + 4], descriptor + b"PK\x03\x04")

    def test_zlib_streams_of_every_strategy(self):
        fib = b"".join(bytes([i * 12]) * n for i, n in enumerate([1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377,
                                                                  610, 987, 1597, 2584, 4181, 6765]))
        fib = bytes(fib[(i * 7919) % len(fib)] for i in range(len(fib)))  # codes up to 15 bits
        text = b"".join(b"%d words, the entry and its header %d\n" % (i, i * i % 977) for i in range(6000))
        for data in (fib, text, BIG, b"a" * 70000 + BIG[:999]):
            for level, strategy in [(1, 0), (6, 0), (9, 0), (6, zlib.Z_HUFFMAN_ONLY), (6, zlib.Z_RLE), (6, zlib.Z_FIXED),
                                    (0, 0)]:
                z = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
                self.expect("level %d strategy %d" % (level, strategy), z.compress(data) + z.flush(), data, True)


def descriptor(crc, csize, usize, signature, zip64):
    return (b"PK\x07\x08" if signature else b"") + struct.pack("<IQQ" if zip64 else "<III", crc, csize, usize)


class Descriptors(Case):
    def salvage(self, archive, flags=TRAILING):
        run = Run(self.write("in.zip", archive), self.out(), OVERWRITE | flags)
        self.assertEqual(run.result, 0)
        return run, [(e[0], e[3]) for e in check_valid(self, run.output)]

    def streamed(self, name, plain, method, shape, crc=None, data=None):
        if data is None:
            data = zlib.compress(plain, 6)[2:-4] if method == 8 else plain
        return local(name, data, method, 0, 0, 0, flags=8) + descriptor(
            zlib.crc32(plain) if crc is None else crc, len(data), len(plain), *shape)

    def test_every_shape_ends_the_data(self):
        text = b"streamed text " * 300
        # Stored data holding what only looks like an end of it.
        tricky = [b"a PK\x07\x08 signature inside", NEXT + b" a local header inside",
                  b"x" * 20 + descriptor(1, 20, 20, True, False) + b" a descriptor whose CRC fails",
                  b"y" * 20 + descriptor(1, 20, 20, False, False) + b" the same without signature",
                  b"z" * 9 + descriptor(zlib.crc32(b"z" * 9), 7, 7, True, False) + b" the CRC fits, the size not",
                  bytes(16) + b" zero bytes first read as a descriptor of no data"]
        for shape in [(True, False), (True, True), (False, False), (False, True)]:
            for method, plain in [(8, text), (0, text), (0, b""), (8, b"")] + [(0, t) for t in tricky]:
                with self.subTest(shape=shape, method=method, data=plain[:30]):
                    run, got = self.salvage(self.streamed("s.txt", plain, method, shape) + NEXT)
                    self.assertEqual(got, [(b"s.txt", plain), (b"next.txt", b"next entry!")], run.dump())
                    self.assertEqual(run.texts()[1], "    s.txt: size = %d:  OK" % len(plain))

    def test_descriptor_judges_the_entry(self):
        text = b"judged " * 500
        sig = (True, False)
        run, got = self.salvage(self.streamed("s.txt", text, 8, sig, crc=0x12345678) + NEXT)
        self.assertEqual(run.texts()[1], "ERROR: File s.txt is corrupt.  CRC is %08X, should be 12345678" % zlib.crc32(text))
        data = zlib.compress(text, 6)[2:-4]
        flipped = data[:len(data) // 2] + bytes([data[len(data) // 2] ^ 0x40]) + data[len(data) // 2 + 1:]
        run, got = self.salvage(self.streamed("s.txt", text, 8, sig, data=flipped) + NEXT)
        self.assertEqual(got[-1], (b"next.txt", b"next entry!"), run.dump())  # a damaged stream does not swallow it
        self.assertTrue(run.texts()[1].startswith(("ERROR: File s.txt is corrupt.", "WARNING: Size of s.txt")), run.dump())
        # Stored data without any descriptor runs to the next header; deflated data without one is searched again.
        run, got = self.salvage(local("s.txt", b"no descriptor", 0, 0, 0, 0, flags=8) + NEXT)
        self.assertEqual(got[-1], (b"next.txt", b"next entry!"), run.dump())
        run, got = self.salvage(local("s.txt", data, 8, 0, 0, 0, flags=8) + b"JUNK" * 5 + NEXT)
        self.assertEqual(got, [(b"s.txt", text), (b"next.txt", b"next entry!")], run.dump())
        # A stream whose end lies past the next header (a stored block of a made-up length) and that has
        # no descriptor there: the scan looks at its bytes again and finds the entry it swallowed.
        swallow = stored(Bits(), b"0123456789" + NEXT, True).bytes()
        run, got = self.salvage(local("s.txt", swallow, 8, 0, 0, 0, flags=8) + b"JUNK")
        self.assertEqual(got[-1], (b"next.txt", b"next entry!"), run.dump())
        # Without the flag the header's zeros are believed, and the entry is never called OK.
        run, got = self.salvage(self.streamed("s.txt", b"stored", 0, sig) + NEXT, flags=0)
        self.assertEqual(run.texts()[1], UNVERIFIED % ("s.txt", 0))
        # Bit 3 on an entry with its sizes: the descriptor after the data holds the CRC-32 that judges it.
        data = b"0123456789"
        for header_crc, after, first in [
                (0, b"", UNVERIFIED % ("f.txt", 10)),
                (0, descriptor(zlib.crc32(data), 10, 10, True, False), "    f.txt: size = 10:  OK"),
                (0, descriptor(7, 10, 10, True, False), "ERROR: File f.txt is corrupt.  CRC is A684C7C6, should be 00000007"),
                (zlib.crc32(data), descriptor(7, 10, 10, True, False), "    f.txt: size = 10:  OK"),
                (1, b"", "ERROR: File f.txt is corrupt.  CRC is A684C7C6, should be 00000001")]:
            with self.subTest(crc=header_crc, descriptor=after):
                run, got = self.salvage(local("f.txt", data, 0, header_crc, usize=10, flags=8) + after + NEXT, flags=0)
                self.assertEqual(run.texts()[1:3], [first, "    next.txt: size = 11:  OK"], run.dump())
        # Streamed stored data cut before any record: of two descriptors that fit, the first ends the data.
        first = b"first part"
        longer = first + descriptor(zlib.crc32(first), 10, 10, True, False) + b" and more"
        run, got = self.salvage(local("s.txt", longer, 0, 0, 0, 0, flags=8) + descriptor(
            zlib.crc32(longer), len(longer), len(longer), True, False) + b"cut")
        self.assertEqual(got, [(b"s.txt", first)], run.dump())
        # Only stored and deflated entries with a zero size are streamed.
        run, got = self.salvage(local("s.txt", b"stored", 0, zlib.crc32(b"stored"), usize=6, flags=8) + descriptor(
            zlib.crc32(b"stored"), 6, 6, True, False) + NEXT)
        self.assertEqual(got[0], (b"s.txt", b"stored"))
        self.assertEqual(len(got), 2, run.dump())

    def test_stop_during_the_search(self):
        archive = self.streamed("s.txt", BIG * 4, 0, (False, False)) + NEXT
        run = Run(self.write("in.zip", archive), self.out(), OVERWRITE | EXTENSIONS, stop_at=1)
        self.assertEqual(run.texts(), ["Beginning salvage operations...", "Salvage Aborted"])
        self.assertEqual(os.path.getsize(run.output), 0)


def tree(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, ds, fs in os.walk(root) for f in ds + fs)


class Hostile(Case):
    def test_names_kept_byte_for_byte(self):
        trav = (b"../..//\\" * 40)[:270]
        names = [(trav, 0, 0), (b"/etc/passwd", 0, 0), (b"safe.txt\0../../evil", 0, 0), (b"\x1b]0;title\x07\x1b[2J", 0, 0),
                 (b"bad \xff\xfe utf8", 0x800, 0), (b"overlong \xc0\xaf", 0x800, 0), (b"surrogate \xed\xa0\x80", 0x800, 0),
                 (b"beyond \xf4\x90\x80\x80", 0x800, 0), (b"right\xe2\x80\xaeleft", 0x800, 0x800),
                 (b"caf\xc3\xa9 unflagged", 0, 0x800), (b"\xe9t\xe9 cp437", 0, 0),
                 # The edges of UTF-8: the lowest two-byte and the highest code point are UTF-8, the last surrogate not.
                 (b"low \xc2\x80", 0, 0x800), (b"top \xf4\x8f\xbf\xbf", 0, 0x800), (b"last surrogate \xed\xbf\xbf", 0x800, 0)]
        archive = b"".join(local(n, b"data %d" % i, 0, zlib.crc32(b"data %d" % i), usize=len(b"data %d" % i), flags=f)
                           for i, (n, f, _) in enumerate(names))
        os.makedirs(self.path("out"))
        self.write("in/h.zip", archive)
        before = tree(self.dir)
        run = Run(self.path("in/h.zip"), self.path("out"), 0)
        self.assertEqual(tree(self.dir), before + ["out/h.zip"])
        with zipfile.ZipFile(run.output) as z:
            infos = z.infolist()
            self.assertEqual([i.flag_bits & 0x800 for i in infos], [k for _, _, k in names])
        raw = open(run.output, "rb").read()
        for n, _, _ in names:
            self.assertGreaterEqual(raw.count(n), 2, n)  # in its local header and in the directory
        check_valid(self, run.output)

    def test_compressed_formats_are_stored(self):
        # Compressed anew, data whose name says it is compressed already (.zip .cab .jpg .gif, any case) is stored.
        text = b"compressible " * 100
        names = [b"a.JPG", b"b.zip", b"c.txt", b"d.gif.txt", b"e.cab", b".gif", b"jpg"]
        archive = b"".join(local(n, text, 0, zlib.crc32(text), usize=len(text)) for n in names)
        run = Run(self.write("p.zip", archive), self.out(), OVERWRITE | TRAILING)
        self.assertEqual([e[2] for e in check_valid(self, run.output)], [0, 0, 8, 8, 0, 0, 8])

    def test_damage_never_hides_the_entries_behind_it(self):
        entries = [local(n, b"0123456789abcdef", 0, zlib.crc32(b"0123456789abcdef"), usize=16) for n in ("one", "two", "three")]
        body = b"".join(entries)
        with zipfile.ZipFile(self.path("cd.zip"), "w") as z:  # for a central directory that lists them
            for n in ("one", "two", "three"):
                z.writestr(n, b"0123456789abcdef")
        directory = self.read("cd.zip")[self.read("cd.zip").index(b"PK\x01\x02"):]
        for at, value, lost in [(20, 1, None), (28, 0xFFFF, None), (26, 600, "one"), (len(entries[0]) + 2, 0x0503, "two")]:
            with self.subTest(offset=at, value=value):
                damaged = bytearray(body)
                damaged[at:at + 2] = value.to_bytes(2, "little")
                run = Run(self.write("d.zip", bytes(damaged) + directory), self.out(), OVERWRITE)
                names = [e[0] for e in check_valid(self, run.output) if e[3] == b"0123456789abcdef"]
                self.assertEqual([n for n in (b"two", b"three") if n not in names], [lost.encode()] if lost == "two" else [])
                self.assertEqual([t for t in run.texts(2) if " is listed " in t], [
                    "ERROR: %s is listed in the archive's central directory but was not found" % lost] if lost else [], run.dump())
        # Names of any length (unzip, the second reader, cuts those past 4000).
        for n in (270, 271, 4000):
            name = ("%04d" % n) * (n // 4) + "n" * (n % 4)
            run = Run(self.write("n.zip", local(name, b"x", 0, zlib.crc32(b"x"), usize=1)), self.out(), OVERWRITE)
            self.assertEqual([e[0] for e in check_valid(self, run.output)], [name.encode()])
            # Messages show a long name by its first 270 bytes and an ellipsis.
            shown = name if n == 270 else name[:270] + "..."
            self.assertEqual(run.texts()[1], "    %s: size = 1:  OK" % shown, run.dump())

    def test_sizes_claiming_gigabytes_and_a_million_signatures(self):
        # The honest entry behind the liar is found: the scan looks again right after its signature.
        for method, csize, usize in [(0, 0xFFFFFFFF, 0xFFFFFFFF), (8, 0xFFFFFFFF, 0xFFFFFFFF), (0, 0x7FFFFFFF, 0x7FFFFFFF),
                                     (8, 0x7FFFFFFF, 0xFFFFFFFF), (1, 0xFFFFFFFF, 0xFFFFFFFF), (6, 0x7FFFFFFF, 0x7FFFFFFF),
                                     (0, 3000000000, 3000000000)]:
            with self.subTest(method=method, size=csize):
                run = Run(self.write("h.zip", local("liar", b"\x03\x00tiny", method, 0, csize, usize) + NEXT), self.out(), OVERWRITE)
                self.assertEqual([e[0] for e in check_valid(self, run.output)], [b"liar", b"next.txt"], run.dump())
        self.assertEqual(run.texts(2)[0], "ERROR: File liar is corrupt.  Salvaged %d of 3000000000" % (6 + len(NEXT)))  # unsigned
        run = Run(self.write("cut.zip", NEXT + local("cut name", b"")[:35]), self.out(), OVERWRITE)
        self.assertEqual(run.texts()[1:3], ["    next.txt: size = 11:  OK", "Premature end-of-file found"])
        # Each signature's header announces an entry in an unknown method (0x4B50), too long to be
        # copied: the scan looks again behind each while
        # its allowance for reading twice lasts, then goes on, and ends in linear time.
        run = Run(self.write("sig.zip", b"PK\x03\x04" * 1000000), self.out(), OVERWRITE)
        found = int(run.texts()[-2].split()[0])
        self.assertEqual(run.texts()[-3:-1], ["  %d files found" % found, "  %d unrecoverable files" % found])
        self.assertEqual(os.path.getsize(run.output), 22)


class Limits(Case):
    def test_past_65535_entries_a_zip64_end_record(self):
        run = Run(self.write("many.zip", b"".join(local("%05d" % i, b"", 0) for i in range(65536))), self.out(), OVERWRITE)
        out = self.read("out/many.zip")
        self.assertEqual(struct.unpack_from("<4sHHHH", out, len(out) - 22), (b"PK\x05\x06", 0, 0, 0xFFFF, 0xFFFF))
        self.assertEqual(out[-98:-94], b"PK\x06\x06")  # the ZIP64 end record and its locator before it
        self.assertEqual(len(check_valid(self, run.output)), 65536)

    def test_input_beyond_4_gib(self):
        pieces = [(0, NEXT), (2 << 30, local("two.txt", b"at 2 GiB", 0, zlib.crc32(b"at 2 GiB"), usize=8)),
                  ((4 << 30) + 5, local("five.txt", b"past 4 GiB", 0, zlib.crc32(b"past 4 GiB"), usize=10))]
        with open(self.path("big.zip"), "wb") as f:
            for at, data in pieces:
                f.seek(at)
                f.write(data)
            f.truncate((4 << 30) + 100)
        os.makedirs(self.path("out"))
        run = Run(self.path("big.zip"), self.path("out"), 0)
        self.assertEqual([e[3] for e in check_valid(self, run.output)], [b"next entry!", b"at 2 GiB", b"past 4 GiB"])
        self.assertTrue(run.progress == sorted(run.progress) and 99 <= run.progress[-1] <= 100, run.progress[-3:])


if __name__ == "__main__":
    main()
