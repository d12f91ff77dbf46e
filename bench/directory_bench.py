#!/usr/bin/env python3
"""Time and peak memory of repairs of an archive of many entries, with and
without the central directory extensions (REPAIR_DIRECTORY_METADATA and
REPAIR_DIRECTORY_RECOVERY).

    bench/directory_bench.py build/libarcsalve.so [--against OTHER.so] [ENTRIES]

Writes an archive of ENTRIES (default 1,000,000) small stored entries with
its central directory, and a copy whose every local header is zeroed (each
entry then has to be found through its record), and repairs each with the
other extensions and with or without the two, in a child process of its
own: its wall time, CPU time (user and system) and peak resident memory
are printed. Give a second library (--against OTHER.so) to repair each
archive with both in the same run, for ratios on a loaded machine.
"""
import ctypes
import os
import resource
import struct
import subprocess
import sys
import tempfile
import time
import zlib

OTHERS, DIRECTORY = 0x02 | 0x20 | 0x40, 0x200 | 0x400


def entries(count):
    at = 0
    for i in range(count):
        name, data = b"d%02d/f%07d.txt" % (i % 100, i), b"entry %d\n" % i
        yield at, name, data, zlib.crc32(data)
        at += 30 + len(name) + len(data)


def make(path, count, zero_headers):
    """Written as it is made: the parent stays small, and the children's
    peak memory (inherited across fork and exec) is their own."""
    with open(path, "wb") as f:
        for _, name, data, crc in entries(count):
            head = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x21, crc, len(data), len(data), len(name), 0)
            f.write((bytes(30) if zero_headers else head) + name + data)
        start = f.tell()
        for at, name, data, crc in entries(count):
            f.write(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x31E, 20, 0, 0, 0, 0x21, crc, len(data),
                                len(data), len(name), 0, 0, 0, 0, 0o100644 << 16, at) + name)
        size = f.tell() - start
        f.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, size, start))
        f.write(struct.pack("<IIQI", 0x07064B50, 0, start + size, 1))
        f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, size, start, 0))


def child(library, source, out, flags):
    lib = ctypes.CDLL(library)
    repair = lib._Z10RepairFilePcS_mP6HWND__
    repair.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_void_p]
    repair.restype = ctypes.c_ulong
    sys.exit(repair(source.encode(), out.encode(), flags, None))


def main():
    if sys.argv[1] == "--child":
        child(*sys.argv[2:5], int(sys.argv[5]))
    args = sys.argv[1:]
    libraries = [args.pop(0)]
    if "--against" in args:
        libraries.append(args.pop(args.index("--against") + 1))
        args.remove("--against")
    count = int(args[0]) if args else 1000000
    work = tempfile.mkdtemp(prefix="arcsalve-dirbench-")
    env = dict(os.environ, TMPDIR=work)
    for kind, zero in (("intact", False), ("headers zeroed", True)):
        source = os.path.join(work, "in.zip")
        make(source, count, zero)
        for (label, flags), library in [(f, l) for f in (("without", OTHERS), ("with", OTHERS | DIRECTORY))
                                        for l in libraries]:
            name = os.path.basename(library)
            out = os.path.join(work, "out")
            os.makedirs(out, exist_ok=True)
            before = time.monotonic()
            p = subprocess.Popen([sys.executable, __file__, "--child", library, source, out, str(flags)], env=env)
            _, status, usage = os.wait4(p.pid, 0)
            seconds = time.monotonic() - before
            size = os.path.getsize(os.path.join(out, "in.zip"))
            print("%s: %d entries, %s, %s the flags: %.1f s, CPU %.2f s, peak %.0f MiB, rebuilt %d bytes (status %d)" %
                  (name, count, kind, label, seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0, size,
                   status >> 8), flush=True)
            os.unlink(os.path.join(out, "in.zip"))
    subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
