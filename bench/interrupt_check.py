#!/usr/bin/env python3
"""Stops repairs of a large damaged archive at many points and checks what
is left: the file under the final name either does not exist, or passes
`unzip -t` and Python's zipfile (testzip and every entry read), or (in
place, when the stop came before any entry was saved) is the untouched
damaged archive back under its own name; the damaged
archive is whole under one of its names (NAME.zip or NAME_BAK.zip), and no
temporary archive is left beside it.

The archive: ENTRIES entries of several MB of text each, deflated, its
central directory cut off. Repairs run with --recompress (slow enough to be
stopped in the middle of an entry), in place and into -o DIR, stopped by
SIGINT, SIGTERM, SIGHUP or by closing the pipe that reads standard output,
at fractions of the time an unstopped repair takes.

usage: interrupt_check.py ARCSALVE [ENTRIES]
"""
import hashlib
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
import zipfile

FRACTIONS = [0.02, 0.15, 0.3, 0.45, 0.6, 0.75, 0.9, 1.05]
STOPS = [("INT", signal.SIGINT), ("TERM", signal.SIGTERM), ("HUP", signal.SIGHUP), ("pipe", None)]


def make_archive(path, entries):
    rng = random.Random(16)
    words = ["".join(rng.choice("abcdefghij") for _ in range(rng.randint(2, 9))) for _ in range(5000)]
    whole = path + ".whole"
    with zipfile.ZipFile(whole, "w", zipfile.ZIP_DEFLATED) as z:
        for i in range(entries):
            z.writestr("part%d.txt" % i, " ".join(rng.choice(words) for _ in range(700000)).encode())
    data = open(whole, "rb").read()
    os.unlink(whole)
    with open(path, "wb") as f:
        f.write(data[: data.find(b"PK\x01\x02")])  # the central directory is lost


def digest(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError:
        return None


def check_archive(path):
    """'absent', or 'N entries' when both readers accept it, else what failed."""
    if not os.path.exists(path):
        return "absent", True
    unzip = subprocess.run(["unzip", "-tqq", path], capture_output=True)
    try:
        with zipfile.ZipFile(path) as z:
            bad = z.testzip()
            for info in z.infolist():
                z.read(info)
            count = len(z.infolist())
    except Exception as e:  # the verdict, whatever the failure
        return "zipfile: %r" % (e,), False
    if bad is not None or unzip.returncode != 0:
        return "unzip %d, testzip %s" % (unzip.returncode, bad), False
    return "%d entries" % count, True


def run(command, work, source, original, in_place, stop, delay):
    for name in os.listdir(work):
        path = os.path.join(work, name)
        if os.path.isdir(path):
            for inner in os.listdir(path):
                os.unlink(os.path.join(path, inner))
        else:
            os.unlink(path)
    os.makedirs(os.path.join(work, "out"), exist_ok=True)
    with open(source, "rb") as f, open(os.path.join(work, "big.zip"), "wb") as g:
        g.write(f.read())
    args = [command, "--recompress", "--no-progress"] + ([] if in_place else ["-o", "out"]) + ["big.zip"]
    started = time.monotonic()
    p = subprocess.Popen(args, cwd=work, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    time.sleep(delay)
    if stop[1] is None:
        p.stdout.close()
    else:
        p.send_signal(stop[1])
    if stop[1] is not None:
        p.stdout.read()
    err = p.stderr.read().decode(errors="replace")
    status = p.wait()
    elapsed = time.monotonic() - started
    final = os.path.join(work, "big.zip" if in_place else "out/big.zip")
    if in_place and digest(final) == original:
        verdict, valid = "the input", True  # nothing was saved: it has its name back
    else:
        verdict, valid = check_archive(final)
    kept = [n for n in ("big.zip", "big_BAK.zip") if digest(os.path.join(work, n)) == original]
    left = [n for d in (work, os.path.join(work, "out")) for n in os.listdir(d) if ".arcsalve" in n]
    ok = valid and bool(kept) and not left
    said = [l for l in err.splitlines() if l.startswith("arcsalve: interrupted")]
    return ok, status, elapsed, verdict, kept, left, said[0] if said else "(not stopped)"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    command = os.path.abspath(sys.argv[1])
    entries = int(sys.argv[2]) if len(sys.argv) > 2 else 6
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        source = os.path.join(scratch, "source.zip")
        make_archive(source, entries)
        original = digest(source)
        work = os.path.join(scratch, "work")
        os.mkdir(work)
        print("archive: %d entries, %d bytes, central directory cut off" % (entries, os.path.getsize(source)))
        timing = os.path.join(scratch, "timing")
        os.mkdir(timing)
        t0 = time.monotonic()
        subprocess.run([command, "--recompress", "--no-progress", "-o", timing, source],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        whole = time.monotonic() - t0
        print("an unstopped repair takes %.2f s" % whole)
        print("%-8s %-5s %5s %6s %7s  %-12s %-22s %s" % ("mode", "stop", "at", "status", "time", "final name", "input kept as", "ok"))
        for in_place in (True, False):
            for stop in STOPS:
                for fraction in FRACTIONS:
                    ok, status, elapsed, verdict, kept, left, said = run(
                        command, work, source, original, in_place, stop, fraction * whole)
                    failures += not ok
                    print("%-8s %-5s %4.0f%% %6d %6.2fs  %-12s %-22s %s%s" % (
                        "in place" if in_place else "-o out", stop[0], fraction * 100, status, elapsed,
                        verdict, ",".join(kept) or "LOST", "ok" if ok else "FAILED",
                        (" left: " + ",".join(left)) if left else ""))
    print("%d failures" % failures)
    sys.exit(1 if failures else 0)


main()
