#!/usr/bin/env python3
"""Decoder throughput of the library methods (bzip2, xz, Zstandard) against
the libraries' own command-line tools, on the same data in the same run.

Builds a mix of real files found on any Debian machine (/usr/lib,
/usr/share) of about --size MB, compresses it once with `bzip2 -9`,
`xz -6` and `zstd -19`, and wraps each compressed stream unchanged as the
one entry of a ZIP archive (methods 12, 95 and 93). Then, for each method:

  bzip2 -t / xz -t / zstd -t    the tool tests its own file: decodes it and
                                checks the stream's check value
  arcsalve                      repairs the ZIP archive in the default mode:
                                the entry is decoded through the decoding
                                frame (the output is checked against its
                                CRC-32, not written) and, being intact, its
                                compressed data is copied as it was

Both sides decode the same compressed bytes once and verify a checksum;
arcsalve also copies the compressed data (a few MB) and writes the archive's
records. Each run is measured with /usr/bin/time (CPU seconds, user + sys,
the figure to trust on a loaded machine; the best of --repeat runs). MB/s
counts uncompressed megabytes; the ratio is the tool's CPU time over
arcsalve's (above 1: arcsalve is faster).

Usage: bench/codec_bench.py [--arcsalve build/arcsalve] [--work DIR] [--size MB] [--repeat N]
"""
import argparse
import os
import struct
import subprocess
import zlib


def gather(size):
    """Real files, in a fixed order, up to size bytes."""
    out, total = [], 0
    for root in ("/usr/share", "/usr/lib"):
        for folder, dirs, files in os.walk(root):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(folder, name)
                if os.path.islink(path) or not os.path.isfile(path):
                    continue
                try:
                    with open(path, "rb") as f:
                        data = f.read(4 << 20)
                except OSError:
                    continue
                out.append(data)
                total += len(data)
                if total >= size:
                    return b"".join(out)[:size]
    return b"".join(out)


def zip_of(name, method, plain, packed):
    """An archive whose one entry holds `packed` unchanged."""
    n = name.encode()
    fields = (63, 0, method, 0, 0x21, zlib.crc32(plain), len(packed), len(plain), len(n))
    local = struct.pack("<I5H3I2H", 0x04034B50, *fields, 0) + n + packed
    central = struct.pack("<IH5H3I5H2I", 0x02014B50, 63, *fields, 0, 0, 0, 0, 0, 0) + n
    return local + central + struct.pack("<I4H2IH", 0x06054B50, 0, 0, 1, 1, len(central), len(local), 0)


def cpu(command, repeat):
    """The least CPU seconds (user + sys) of `repeat` runs of a shell command."""
    best = None
    for _ in range(repeat):
        p = subprocess.run(["/usr/bin/time", "-f", "%U %S", "sh", "-c", command + " >/dev/null 2>&1"],
                           capture_output=True, text=True)
        user, system = map(float, p.stderr.strip().splitlines()[-1].split())
        best = user + system if best is None else min(best, user + system)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--arcsalve", default="build/arcsalve")
    parser.add_argument("--work", default="/tmp/arcsalve-codec-bench")
    parser.add_argument("--size", type=int, default=100, help="megabytes of plain data")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    plain = gather(args.size << 20)
    mb = len(plain) / 1e6
    print("plain data: %.1f MB of files from /usr/share and /usr/lib; load average %s" %
          (mb, open("/proc/loadavg").read().split()[0]))
    print("%-6s %10s %12s %12s %10s %10s %8s" % ("method", "packed MB", "tool CPU s", "ours CPU s", "tool MB/s",
                                                  "ours MB/s", "ratio"))
    for tool, suffix, method, level in (("bzip2", ".bz2", 12, "-9"), ("xz", ".xz", 95, "-6"), ("zstd", ".zst", 93, "-19")):
        stream = os.path.join(args.work, "data" + suffix)
        if not os.path.exists(stream):
            packed = subprocess.run([tool, level, "-c"] + (["-T1"] if tool != "bzip2" else []), input=plain,
                                    capture_output=True, check=True).stdout
            with open(stream, "wb") as f:
                f.write(packed)
        with open(stream, "rb") as f:
            packed = f.read()
        archive = os.path.join(args.work, tool + ".zip")
        with open(archive, "wb") as f:
            f.write(zip_of("data", method, plain, packed))
        out = os.path.join(args.work, "out")
        theirs = cpu("%s -t %s" % (tool, stream), args.repeat)
        ours = cpu("%s -q -f --no-progress -o %s %s" % (args.arcsalve, out, archive), args.repeat)
        check = subprocess.run([args.arcsalve, "-f", "--no-progress", "-o", out, archive], capture_output=True, text=True)
        if check.returncode != 0:
            raise SystemExit("arcsalve did not find %s intact:\n%s%s" % (archive, check.stdout, check.stderr))
        print("%-6s %10.1f %12.2f %12.2f %10.1f %10.1f %8.2f" % (tool, len(packed) / 1e6, theirs, ours, mb / theirs,
                                                                  mb / ours, theirs / ours))


if __name__ == "__main__":
    main()
