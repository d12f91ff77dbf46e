#!/usr/bin/env python3
"""Recovery past damage inside a deflated entry, measured.

    bench/resync_bench.py ARCSALVE [--size MB] [--bursts 64,512,4096]
                          [--writers ...] [--kinds text,xml,binary] [--seed N]

For each kind of content (text, XML as office documents hold it, binary
data) and each writer (Info-ZIP zip -1/-6/-9, 7-Zip, Python zipfile), one
archive holding one large deflated entry is made; a burst of random bytes
is written over the middle of its compressed data, and the archive is
repaired with ARCSALVE (default flags, --json). Per case it prints:

  chunks    share of the original's aligned 1 KiB chunks found, in order,
            in the salvaged entry
  unknown   bytes written as fill (from the entry's map)
  differ    original bytes not reproduced: when the salvaged entry has the
            original's size, the bytes that differ; otherwise counted in
            aligned 64-byte pieces found in order (an upper bound)
  segment   the plain bytes the damaged compressed bytes stood for
  ratio     differ / segment
  pieces, seconds

The research measure is differ against segment; the aim is chunks >= 95%
for an 8 MB entry with a 512-byte burst.
"""
import argparse
import io
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

WRITERS = ["zip-1", "zip-6", "zip-9", "7z", "python"]


def real_text(size):
    # Text as people write it: the Python library's sources and documents.
    out = io.BytesIO()
    for root, dirs, files in sorted(os.walk("/usr/lib/python3.11")):
        dirs.sort()
        for name in sorted(files):
            if name.endswith((".py", ".txt", ".rst")):
                with open(os.path.join(root, name), "rb") as f:
                    out.write(f.read())
                if out.tell() >= size:
                    return out.getvalue()[:size]
    return out.getvalue()


def make_text(size, rng):
    return real_text(size)


def make_xml(size, rng):
    out = io.BytesIO()
    words = real_text(4 * size)[size:]
    out.write(b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<w:document><w:body>')
    n = 0
    while out.tell() < size:
        n += 1
        at = rng.randrange(len(words) - 200)
        text = words[at:at + rng.randint(20, 200)].replace(b"\n", b" ").replace(b"<", b"&lt;")
        out.write(b'<w:p w:rsidR="%08X" w:rsidRDefault="%08X"><w:pPr><w:pStyle w:val="Normal"/></w:pPr>'
                  b'<w:r><w:rPr><w:b/><w:sz w:val="%d"/></w:rPr><w:t xml:space="preserve">%s</w:t></w:r></w:p>'
                  % (rng.getrandbits(32), rng.getrandbits(32), rng.choice([20, 22, 24, 28]), text))
    return out.getvalue()[:size]


def make_binary(size, rng):
    # Executables and libraries of this system, as binary data that compresses
    # the way real binary data does.
    out = io.BytesIO()
    for d in ("/usr/bin", "/usr/lib/x86_64-linux-gnu"):
        for name in sorted(os.listdir(d)) if os.path.isdir(d) else []:
            path = os.path.join(d, name)
            if os.path.isfile(path) and not os.path.islink(path):
                try:
                    with open(path, "rb") as f:
                        out.write(f.read(size - out.tell()))
                except OSError:
                    pass
            if out.tell() >= size:
                return out.getvalue()
    return out.getvalue()


def write_archive(writer, data, workdir):
    src = os.path.join(workdir, "content.dat")
    with open(src, "wb") as f:
        f.write(data)
    archive = os.path.join(workdir, "case.zip")
    if os.path.exists(archive):
        os.remove(archive)
    if writer.startswith("zip-"):
        subprocess.run(["zip", "-q", "-" + writer[4:], "case.zip", "content.dat"], cwd=workdir, check=True)
    elif writer == "7z":
        subprocess.run(["7z", "a", "-tzip", "-mx=5", "-bd", "case.zip", "content.dat"], cwd=workdir, check=True,
                       stdout=subprocess.DEVNULL)
    else:
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            z.write(src, "content.dat")
    return archive


def data_range(archive):
    with zipfile.ZipFile(archive) as z:
        info = z.infolist()[0]
    with open(archive, "rb") as f:
        f.seek(info.header_offset)
        h = f.read(30)
    start = info.header_offset + 30 + int.from_bytes(h[26:28], "little") + int.from_bytes(h[28:30], "little")
    return start, info.compress_size


def plain_before(compressed, upto):
    d = zlib.decompressobj(-15)
    return len(d.decompress(compressed[:upto]))


def in_order(original, salvaged, piece):
    found = 0
    pos = 0
    for i in range(0, len(original) - piece + 1, piece):
        at = salvaged.find(original[i:i + piece], pos)
        if at >= 0:
            found += 1
            pos = at + piece
    return found, len(original) // piece


def run_case(cli, kind, writer, burst, data, workdir, rng):
    archive = write_archive(writer, data, workdir)
    start, csize = data_range(archive)
    with open(archive, "rb") as f:
        blob = bytearray(f.read())
    compressed = bytes(blob[start:start + csize])
    at = start + csize // 2 - burst // 2
    blob[at:at + burst] = bytes(rng.getrandbits(8) for _ in range(burst))
    damaged = os.path.join(workdir, "damaged.zip")
    with open(damaged, "wb") as f:
        f.write(blob)
    segment = plain_before(compressed, at - start + burst) - plain_before(compressed, at - start)
    out = os.path.join(workdir, "out")
    shutil.rmtree(out, ignore_errors=True)
    t = time.time()
    res = subprocess.run([cli, "-o", out, "-f", "--no-progress", "--no-prompt", "--json", damaged],
                         capture_output=True)
    seconds = time.time() - t
    if res.returncode not in (0, 1):
        kept = os.path.join(tempfile.gettempdir(), "resync_failed_%s_%s_%d.zip" % (kind, writer, burst))
        shutil.copy(damaged, kept)
        print(f"{kind:7} {writer:7} {burst:5} FAILED: exit status {res.returncode}, archive kept as {kept}", flush=True)
        return 0.0
    report = json.loads(res.stdout.decode("utf-8", "replace"))
    entry = report["archives"][0]["entries"][0]
    salvaged = b""
    rebuilt = os.path.join(out, "damaged.zip")
    if os.path.exists(rebuilt):
        with zipfile.ZipFile(rebuilt) as z:
            salvaged = z.read(z.infolist()[0])
    chunks, total = in_order(data, salvaged, 1024)
    if len(salvaged) == len(data):
        # Placed whole: the bytes that differ, counted exactly.
        differ = sum(1 for x, y in zip(data, salvaged) if x != y)
    else:
        small, small_total = in_order(data, salvaged, 64)
        differ = len(data) - small * 64
    resync = entry.get("resync", {})
    unknown = resync.get("unknown", 0)
    pieces = resync.get("pieces", 0)
    ratio = differ / segment if segment else float("inf")
    print(f"{kind:7} {writer:7} {burst:5} chunks {100.0 * chunks / total:6.2f}%  unknown {unknown:8}  "
          f"differ {differ:9}  segment {segment:8}  ratio {ratio:6.2f}  pieces {pieces:2}  {seconds:5.2f}s",
          flush=True)
    return chunks / total


def main():
    p = argparse.ArgumentParser()
    p.add_argument("cli")
    p.add_argument("--size", type=float, default=8.0, help="entry size in MB")
    p.add_argument("--bursts", default="64,512,4096")
    p.add_argument("--writers", default=",".join(WRITERS))
    p.add_argument("--kinds", default="text,xml,binary")
    p.add_argument("--seed", type=int, default=1)
    a = p.parse_args()
    rng = random.Random(a.seed)
    size = int(a.size * 1000000)
    makers = {"text": make_text, "xml": make_xml, "binary": make_binary}
    work = tempfile.mkdtemp(prefix="resync_bench")
    try:
        for kind in a.kinds.split(","):
            data = makers[kind](size, rng)
            for writer in a.writers.split(","):
                for burst in (int(b) for b in a.bursts.split(",")):
                    run_case(os.path.abspath(a.cli), kind, writer, burst, data, work, rng)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
