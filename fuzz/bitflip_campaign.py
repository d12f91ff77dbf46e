#!/usr/bin/env python3
"""Single-bit-flip campaign: do the command's verdicts hold on real archives?

For each writer (Info-ZIP to a file and to a pipe, Python's zipfile to a file
and to a non-seekable stream, bsdtar and 7z when installed, Info-ZIP with
encryption), four small files are archived; then, for each byte of the
second entry (its local header, name, extra field, data and data
descriptor), one bit of that byte is flipped (bit = offset % 8) and the
command repairs the result:

    arcsalve -o OUT -f --no-prompt -q --no-progress [-p PASSWORD] damaged.zip

The rebuilt archive is read with Python's zipfile and checked against the
original files. Counted per writer:

  lie_ok      an entry the run did not call damaged (no warning or error
              names it) whose bytes differ from the original
  lie_exit0   exit status 0 with an entry missing or different
  lost        an entry whose bytes the flip did not touch that is not in the
              rebuilt archive byte for byte

--sample N takes N evenly spread bytes of the entry instead of all of them.
Run it against any build: --arcsalve path/to/arcsalve.
"""
import argparse
import io
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

PASSWORD = "campaign-secret"


def files():
    text = b"".join(b"line %d of the first entry, some words to deflate\n" % i for i in range(12))
    data = bytes(16) + bytes((i * 37 + 11) % 251 for i in range(400))  # starts with zero bytes
    return [("a.txt", text), ("b.bin", data), ("c.txt", text[::-1]), ("d/e.txt", b"short tail entry\n")]


class Unseekable(io.RawIOBase):
    def __init__(self, sink):
        self.sink = sink

    def writable(self):
        return True

    def write(self, b):
        self.sink.write(b)
        return len(b)


def python_zip(path, method, stream):
    if stream:
        with open(path, "wb") as out:
            with zipfile.ZipFile(Unseekable(out), "w", method) as z:
                for name, data in files():
                    z.writestr(zipfile.ZipInfo(name, (2024, 1, 1, 0, 0, 0)), data, compress_type=method)
    else:
        with zipfile.ZipFile(path, "w", method) as z:
            for name, data in files():
                z.writestr(zipfile.ZipInfo(name, (2024, 1, 1, 0, 0, 0)), data, compress_type=method)


def shell_writer(command):
    def write(path, src):
        subprocess.run(command.format(out=path), shell=True, cwd=src, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return write


NAMES = "a.txt b.bin c.txt d/e.txt"
WRITERS = {
    "zip_deflate": ("zip", shell_writer("zip -q -X {out} " + NAMES), False),
    "zip_store": ("zip", shell_writer("zip -q -X -0 {out} " + NAMES), False),
    "zip_pipe_store": ("zip", shell_writer("zip -q -X -0 - " + NAMES + " | cat > {out}"), False),
    "zip_pipe_deflate": ("zip", shell_writer("zip -q -X - " + NAMES + " | cat > {out}"), False),
    "zip_encrypted": ("zip", shell_writer("zip -q -X -P " + PASSWORD + " {out} " + NAMES), True),
    "zip_encrypted_store": ("zip", shell_writer("zip -q -X -0 -P " + PASSWORD + " {out} " + NAMES), True),
    "python_stream_store": (None, lambda p, s: python_zip(p, zipfile.ZIP_STORED, True), False),
    "python_stream_deflate": (None, lambda p, s: python_zip(p, zipfile.ZIP_DEFLATED, True), False),
    "python_store": (None, lambda p, s: python_zip(p, zipfile.ZIP_STORED, False), False),
    "python_deflate": (None, lambda p, s: python_zip(p, zipfile.ZIP_DEFLATED, False), False),
    "bsdtar_store": ("bsdtar", shell_writer("bsdtar --format zip --options zip:compression=store -cf {out} "
                                            + NAMES), False),
    "bsdtar_deflate": ("bsdtar", shell_writer("bsdtar --format zip -cf {out} " + NAMES), False),
    "7z_deflate": ("7z", shell_writer("7z a -tzip -bd -y {out} " + NAMES), False),
}


def entry_spans(archive):
    """(name, start, end) of every entry: from its local header to the next
    one (or the central directory), descriptor included."""
    with zipfile.ZipFile(io.BytesIO(archive)) as z:
        infos = sorted(z.infolist(), key=lambda i: i.header_offset)
        central = z.start_dir
    spans = []
    for k, info in enumerate(infos):
        end = infos[k + 1].header_offset if k + 1 < len(infos) else central
        spans.append((info.filename, info.header_offset, end))
    return spans


def rebuilt_entries(path):
    try:
        with zipfile.ZipFile(path) as z:
            out = {}
            for info in z.infolist():
                try:
                    out.setdefault(info.filename, z.read(info, pwd=None))
                except Exception:
                    out.setdefault(info.filename, None)
            return out
    except Exception:
        return {}


def run_one(arcsalve, work, damaged, encrypted):
    inp = os.path.join(work, "damaged.zip")
    with open(inp, "wb") as f:
        f.write(damaged)
    out = os.path.join(work, "out")
    os.makedirs(out, exist_ok=True)
    cmd = [arcsalve, "-o", out, "-f", "--no-prompt", "-q", "--no-progress"]
    if encrypted:
        cmd += ["-p", PASSWORD]
    r = subprocess.run(cmd + [inp], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120,
                       stdin=subprocess.DEVNULL)
    said = r.stdout.decode("utf-8", "replace")
    return r.returncode, said, rebuilt_entries(os.path.join(out, "damaged.zip"))


def campaign(arcsalve, writer, sample, work):
    tool, write, encrypted = WRITERS[writer]
    if tool and shutil.which(tool) is None:
        return None
    src = os.path.join(work, "src")
    os.makedirs(os.path.join(src, "d"), exist_ok=True)
    for name, data in files():
        with open(os.path.join(src, name), "wb") as f:
            f.write(data)
    path = os.path.join(work, writer + ".zip")
    write(path, src)
    original = open(path, "rb").read()
    spans = entry_spans(original)
    expected = dict(files())
    name, start, end = spans[1]
    positions = list(range(start, end))
    if sample and sample < len(positions):
        positions = [positions[i * len(positions) // sample] for i in range(sample)]
    counts = {"runs": 0, "lie_ok": 0, "lie_exit0": 0, "lost": 0}
    examples = []
    for pos in positions:
        damaged = bytearray(original)
        damaged[pos] ^= 1 << (pos % 8)
        status, said, got = run_one(arcsalve, work, bytes(damaged), encrypted)
        counts["runs"] += 1
        wrong = [n for n in expected if got.get(n) != expected[n]]
        for n, data in got.items():
            if n in expected and data != expected[n] and (" " + n) not in said and (n + " ") not in said:
                counts["lie_ok"] += 1
                examples.append("%s: flip at %d: %s reported OK, differs" % (writer, pos, n))
        if status == 0 and wrong:
            counts["lie_exit0"] += 1
            examples.append("%s: flip at %d: exit 0, %s missing or different" % (writer, pos, ", ".join(wrong)))
        for n, s, e in spans:
            if not (s <= pos < e) and got.get(n) != expected[n]:
                counts["lost"] += 1
                examples.append("%s: flip at %d: untouched %s lost" % (writer, pos, n))
    return counts, examples


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--arcsalve", default="build/arcsalve", help="the command to test")
    ap.add_argument("--sample", type=int, default=0, help="bytes per writer (0: every byte of the entry)")
    ap.add_argument("--writers", default=",".join(WRITERS), help="comma-separated, of: " + ", ".join(WRITERS))
    ap.add_argument("--examples", type=int, default=5, help="failures to show per writer")
    args = ap.parse_args()
    arcsalve = os.path.abspath(args.arcsalve)
    total = {"runs": 0, "lie_ok": 0, "lie_exit0": 0, "lost": 0}
    print("%-22s %6s %7s %9s %6s" % ("writer", "runs", "lie_ok", "lie_exit0", "lost"))
    for writer in args.writers.split(","):
        with tempfile.TemporaryDirectory(prefix="bitflip.") as work:
            result = campaign(arcsalve, writer, args.sample, work)
        if result is None:
            print("%-22s skipped (not installed)" % writer)
            continue
        counts, examples = result
        for k in total:
            total[k] += counts[k]
        print("%-22s %6d %7d %9d %6d" % (writer, counts["runs"], counts["lie_ok"], counts["lie_exit0"],
                                         counts["lost"]))
        for e in examples[: args.examples]:
            print("    " + e)
        sys.stdout.flush()
    print("%-22s %6d %7d %9d %6d" % ("total", total["runs"], total["lie_ok"], total["lie_exit0"], total["lost"]))
    return 1 if total["lie_ok"] or total["lie_exit0"] or total["lost"] else 0


if __name__ == "__main__":
    sys.exit(main())
