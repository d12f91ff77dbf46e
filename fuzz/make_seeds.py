#!/usr/bin/env python3
"""Seed corpora for the fuzz targets: fuzz/make_seeds.py OUT_DIR

Writes OUT_DIR/<target>/ for every target:
  fuzz_repair, fuzz_scan   whole archives: the test fixtures, the bundled
                           example, the regression inputs, small archives
                           made here (stored, deflated, directories, UTF-8
                           names, many entries) and damaged copies of them
  fuzz_inflate             byte 0 (length mode) + raw deflate streams
  fuzz_codecs              byte 0 (method: bzip2, LZMA, xz, Zstandard; LZMA
                           end marker; streamed) + 24-bit size + a stream of
                           the method
  fuzz_unshrink/_unreduce/_explode
                           byte 0 (variant) + 24-bit size + the compressed
                           data of the matching entries of the legacy archives
The standard library makes the seeds (zipfile, zlib, bz2, lzma); the zstd
command, when installed, the Zstandard ones, and 7z, when installed, the
AES-encrypted archives (password "password", which the repair harness
answers with).
"""
import bz2
import glob
import io
import lzma
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def text(n, seed):
    words = [b"salvage", b"archive", b"entry", b"header", b"deflate", b"PK", b"\n", b"zip"]
    out, x = bytearray(), seed
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out += words[x % len(words)] + b" "
    return bytes(out[:n])


def made_archives():
    """Small archives of the kinds real archivers write."""
    out = {}
    for name, method in (("stored", zipfile.ZIP_STORED), ("deflated", zipfile.ZIP_DEFLATED)):
        b = io.BytesIO()
        with zipfile.ZipFile(b, "w", method) as z:
            z.writestr("a.txt", text(300, 1))
            z.writestr("dir/", b"")
            z.writestr("dir/b.bin", bytes(range(256)) * 3)
            z.writestr("nested.zip", text(120, 2), compress_type=zipfile.ZIP_STORED)
            z.writestr("caf\u00e9.txt", text(50, 3))
        out["made-" + name] = b.getvalue()
    b = io.BytesIO()
    with zipfile.ZipFile(b, "w", zipfile.ZIP_DEFLATED) as z:
        for i in range(40):
            z.writestr("f%02d" % i, text(i * 7, i))
    out["made-many"] = b.getvalue()
    # ZIP64 local headers: both sizes 0xFFFFFFFF, the real ones in extra block 0x0001.
    b = io.BytesIO()
    with zipfile.ZipFile(b, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data, method in (("a.txt", text(300, 4), zipfile.ZIP_DEFLATED), ("b.bin", bytes(range(256)), zipfile.ZIP_STORED)):
            info = zipfile.ZipInfo(name)
            info.compress_type = method
            with z.open(info, "w", force_zip64=True) as w:
                w.write(data)
    out["made-zip64"] = b.getvalue()
    if shutil.which("7z"):
        with tempfile.TemporaryDirectory() as t:
            for name, data in (("a.txt", text(3000, 5)), ("b.bin", bytes(range(256)) * 2), ("t", b"xy")):
                with open(os.path.join(t, name), "wb") as f:
                    f.write(data)
            for bits in ("128", "256"):
                made = os.path.join(t, "aes%s.zip" % bits)
                subprocess.run(["7z", "a", "-tzip", "-mem=AES" + bits, "-ppassword", made, "a.txt", "b.bin", "t"],
                               cwd=t, check=True, capture_output=True)
                with open(made, "rb") as f:
                    out["made-aes" + bits] = f.read()
    for name, method in (("bzip2", zipfile.ZIP_BZIP2), ("lzma", zipfile.ZIP_LZMA)):
        b = io.BytesIO()
        with zipfile.ZipFile(b, "w", method) as z:
            z.writestr("a.txt", text(3000, 6))
            z.writestr("b.bin", bytes(range(256)) * 4)
        out["made-" + name] = b.getvalue()
    return out


def codec_streams():
    """(method byte, plain, stream) for fuzz_codecs."""
    plain = text(5000, 7)
    lzma_props = lzma._encode_filter_properties({"id": lzma.FILTER_LZMA1, "dict_size": 1 << 16})
    raw = lzma.compress(plain, lzma.FORMAT_RAW, filters=[{"id": lzma.FILTER_LZMA1, "dict_size": 1 << 16}])
    yield "bzip2", 0, plain, bz2.compress(plain, 9)
    blocks = text(250000, 3)  # three blocks of level 1 in a few hundred bytes
    yield "bzip2-blocks", 0, blocks, bz2.compress(blocks, 1)
    yield "lzma-marker", 1 | 4, plain, b"\x10\x02\x05\x00" + lzma_props + raw
    yield "xz", 2, plain, lzma.compress(plain, lzma.FORMAT_XZ)
    if shutil.which("zstd"):
        yield "zstd", 3, plain, subprocess.run(["zstd", "-q", "-c"], input=plain, capture_output=True, check=True).stdout


def damaged(data):
    """The damage a salvage meets: truncation, a lost central directory,
    garbage in front, a flipped byte, two archives end to end."""
    cd = data.rfind(b"PK\x01\x02")
    first_cd = data.find(b"PK\x01\x02")
    yield "truncated", data[: len(data) * 2 // 3]
    if first_cd > 0:
        yield "no-directory", data[:first_cd]
    yield "garbage-first", b"MZ\x90\x00" + text(40, 9) + data
    flipped = bytearray(data)
    flipped[len(data) // 2] ^= 0x55
    yield "flipped", bytes(flipped)
    if cd > 0:
        yield "twice", data + data
    first = data.find(b"PK\x03\x04")
    if first_cd > 0 and first >= 0:
        # Lost local headers whose records survive, and records whose
        # offsets and sizes were hit: what is found through the directory.
        lost = bytearray(data)
        lost[first:first + 30] = bytes(30)
        yield "header-zeroed", bytes(lost)
        for at in range(first_cd, len(lost) - 46, 97):
            lost[at + 42] ^= 0x21
        yield "header-zeroed-directory-hit", bytes(lost)


def local_entries(data):
    """(method, flags, uncompressed size, compressed bytes) of each local
    header whose sizes stand in it."""
    at = data.find(b"PK\x03\x04")
    while at >= 0 and at + 30 <= len(data):
        (flags, method, _, _, _, csize, usize, nlen, xlen) = struct.unpack_from("<HHHHIIIHH", data, at + 6)
        start = at + 30 + nlen + xlen
        if not flags & 1 and csize and start + csize <= len(data):
            yield method, flags, usize, data[start:start + csize]
        at = data.find(b"PK\x03\x04", at + 4)


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    out = sys.argv[1]
    archives = {}
    for pattern in ("tests/fixtures/*/*.zip", "examples/*.zip", "tests/fixtures/regress/*"):
        for path in sorted(glob.glob(os.path.join(ROOT, pattern))):
            with open(path, "rb") as f:
                archives[os.path.basename(path)] = f.read()
    made = made_archives()
    for name, data in made.items():
        archives[name] = data
        for kind, variant in damaged(data):
            archives["%s-%s" % (name, kind)] = variant
    for target in ("fuzz_repair", "fuzz_scan"):
        for name, data in archives.items():
            write(os.path.join(out, target), name, data)

    inflate = os.path.join(out, "fuzz_inflate")
    for i, level in enumerate((0, 1, 6, 9)):
        c = zlib.compressobj(level, zlib.DEFLATED, -15)
        write(inflate, "level%d" % level, bytes([i]) + c.compress(text(2000, level)) + c.flush())
    write(inflate, "long-distance", b"\x00" + zlib.compress(text(40000, 5) * 2, 9)[2:-4])
    # Symbol frequencies halving from one to the next: codes of 1 to 15 bits, the end-of-block code among the
    # longest. Enough bytes after the stream's end let the word-wide loop reach its last code; with a few the
    # careful loop decodes the last symbols and reads into them. Four lengths put that code at different offsets.
    skewed, x = bytearray(), 1
    while len(skewed) < 30004:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        skewed.append(97 + min(15, ((x >> 8) & -(x >> 8)).bit_length()))
    for n in range(4):
        c = zlib.compressobj(6, zlib.DEFLATED, -15, 9, zlib.Z_HUFFMAN_ONLY)
        write(inflate, "long-codes%d" % n, b"\x00" + c.compress(bytes(skewed[n:])) + c.flush() + bytes((40, 3, 40, 5)[n]))
    # Random bytes early in a long block (32K symbols a block), with the
    # recorded size and CRC-32 after the stream: recovery places what
    # follows the damage, and the rest of the damaged block, by them.
    letters = random.Random(3)
    plain = bytes(letters.choice(b"abcdefghij klmnop\n") for _ in range(80000))
    c = zlib.compressobj(6, zlib.DEFLATED, -15, 9)
    stream = bytearray(c.compress(plain) + c.flush())
    stream[6000:6064] = bytes(letters.getrandbits(8) for _ in range(64))
    write(inflate, "burst-recorded", b"\x30" + bytes(stream) + struct.pack("<II", len(plain), zlib.crc32(plain)))

    for name, selector, plain, stream in codec_streams():
        write(os.path.join(out, "fuzz_codecs"), name, bytes([selector]) + struct.pack("<I", len(plain))[:3] + stream)
        write(os.path.join(out, "fuzz_codecs"), name + "-streamed", bytes([selector | 8]) + b"\0\0\0" + stream + b"PK\x07\x08")

    for name, data in archives.items():
        for n, (method, flags, usize, body) in enumerate(local_entries(data)):
            if usize >= 1 << 24 or len(body) > 65536:
                continue
            size = struct.pack("<I", usize)[:3]
            if method == 1:
                write(os.path.join(out, "fuzz_unshrink"), "%s-%d" % (name, n), b"\x00" + size + body)
            elif 2 <= method <= 5:
                write(os.path.join(out, "fuzz_unreduce"), "%s-%d" % (name, n), bytes([method - 2]) + size + body)
            elif method == 6:
                write(os.path.join(out, "fuzz_explode"), "%s-%d" % (name, n), bytes([flags & 6]) + size + body)
            elif method in (12, 14):
                selector = 0 if method == 12 else 1 | (4 if flags & 2 else 0)
                write(os.path.join(out, "fuzz_codecs"), "%s-%d" % (name, n), bytes([selector]) + size + body)


main()
