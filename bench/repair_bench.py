#!/usr/bin/env python3
"""Whole-repair benchmark of the arcsalve command against its peers.

Builds (once, then reuses) a deflated archive of about 200 MB from a mix of
real files found on any Debian machine (/usr/lib, /usr/share), and a copy of
it with the central directory cut off. On both it runs, one after the other:

  arcsalve                 intact entries kept as they are (the default)
  arcsalve --recompress    every entry compressed anew
  unzip -t                 test the archive (reads and inflates every entry)
  zip -FF                  Info-ZIP's salvage ("fix fix"), answers fed by yes

Each run is measured with /usr/bin/time -v: wall time, CPU time (user+sys)
and peak memory. The ratios compare with unzip -t on the intact archive (on
the cut one it stops at once: no central directory). CPU time is the figure
to trust on a loaded machine; the load average is printed. The rebuilt
archives are then tested with unzip -t (not timed): the "out ok" column.

Usage: bench/repair_bench.py [--arcsalve PATH] [--work DIR] [--size MB]
                             [--repeat N] [--timeout S]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

TREES = ["/usr/lib", "/usr/share"]
# Files above this size are skipped, so that the archive is a mix of many
# files rather than a handful of large libraries.
LARGEST_FILE = 16 * 1024 * 1024


def pick_files(raw_target):
    """Regular files from both trees, in a fixed order, alternating between
    them, until their sizes add up to raw_target bytes."""
    per_tree = []
    for tree in TREES:
        files = []
        for root, dirs, names in os.walk(tree):
            dirs.sort()
            for name in sorted(names):
                path = os.path.join(root, name)
                try:
                    if os.path.islink(path) or not os.path.isfile(path):
                        continue
                    size = os.path.getsize(path)
                except OSError:
                    continue
                if 0 < size <= LARGEST_FILE and os.access(path, os.R_OK):
                    files.append((path, size))
        per_tree.append(files)
    picked, total = [], 0
    index = [0] * len(per_tree)
    while total < raw_target and any(i < len(f) for i, f in zip(index, per_tree)):
        for t, files in enumerate(per_tree):
            if index[t] < len(files) and total < raw_target:
                path, size = files[index[t]]
                index[t] += 1
                picked.append(path)
                total += size
    return picked, total


def build_archives(work, size_mb):
    intact = os.path.join(work, "mix%d.zip" % size_mb)
    cut = os.path.join(work, "mix%d_nocd.zip" % size_mb)
    if os.path.exists(intact) and os.path.exists(cut):
        return intact, cut
    # Real files of these trees deflate to about 37% of their size.
    files, raw = pick_files(size_mb * 1024 * 1024 * 27 // 10)
    listing = os.path.join(work, "files.txt")
    with open(listing, "w") as f:
        f.write("".join(p + "\n" for p in files))
    print("building %s: %d files, %.0f MB" % (intact, len(files), raw / 1e6), flush=True)
    partial = intact + ".part"
    if os.path.exists(partial):
        os.remove(partial)
    with open(listing) as f:
        subprocess.run(["zip", "-q", "-6", "-@", partial], stdin=f, check=False,
                       stderr=subprocess.DEVNULL)
    os.rename(partial, intact)
    # The central directory starts where the end record says; everything
    # from there on is cut off.
    with open(intact, "rb") as f:
        data = f.read()
    end = data.rfind(b"PK\x05\x06")
    start = int.from_bytes(data[end + 16:end + 20], "little")
    with open(cut, "wb") as f:
        f.write(data[:start])
    return intact, cut


def measure(command, shell=False):
    """Runs command under /usr/bin/time -v; returns (status, wall, cpu, peak MB)."""
    timing = ["/usr/bin/time", "-v"]
    argv = timing + (["sh", "-c", command] if shell else command)
    started = time.monotonic()
    run = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall = time.monotonic() - started
    report = run.stderr

    def field(name):
        m = re.search(re.escape(name) + r":\s*([0-9.:]+)", report)
        return m.group(1) if m else "0"

    user = float(field("User time (seconds)"))
    system = float(field("System time (seconds)"))
    peak = int(field("Maximum resident set size (kbytes)")) / 1024.0
    status = int(field("Exit status"))
    return status, wall, user + system, peak


def best_of(repeat, command, shell=False, before=None):
    """The run with the least CPU time out of `repeat`."""
    best = None
    for _ in range(repeat):
        if before:
            before()
        result = measure(command, shell)
        if best is None or result[2] < best[2]:
            best = result
    return best


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--arcsalve", default=os.path.join(here, "..", "build", "arcsalve"))
    parser.add_argument("--work", default=os.path.join(os.environ.get("TMPDIR", "/tmp"), "arcsalve-bench"))
    parser.add_argument("--size", type=int, default=200, help="archive size to aim at, MB")
    parser.add_argument("--repeat", type=int, default=1, help="runs of each command; the best counts")
    parser.add_argument("--timeout", type=int, default=900, help="seconds before zip -FF is stopped")
    args = parser.parse_args()
    for tool in ("zip", "unzip", "/usr/bin/time"):
        if shutil.which(tool) is None:
            sys.exit("repair_bench: %s is needed" % tool)
    arcsalve = os.path.abspath(args.arcsalve)
    os.makedirs(args.work, exist_ok=True)
    intact, cut = build_archives(args.work, args.size)
    out = os.path.join(args.work, "out")
    os.makedirs(out, exist_ok=True)

    def clear_out():
        for name in os.listdir(out):
            os.remove(os.path.join(out, name))

    load_before = os.getloadavg()
    rows = []
    reference = None
    for label, archive in (("intact", intact), ("no central dir", cut)):
        size_mb = os.path.getsize(archive) / 1e6
        fixed = os.path.join(out, "fixed.zip")
        runs = [
            ("unzip -t", ["unzip", "-t", "-qq", archive], False),
            ("arcsalve (keep intact)",
             [arcsalve, "--no-prompt", "--no-progress", "-q", "-f", "-o", out, archive], False),
            ("arcsalve --recompress",
             [arcsalve, "--recompress", "--no-prompt", "--no-progress", "-q", "-f", "-o", out, archive], False),
            ("zip -FF",
             "yes | timeout %d zip -FF %s --out %s >/dev/null 2>&1" % (args.timeout, archive, fixed), True),
        ]
        for name, command, shell in runs:
            status, wall, cpu, peak = best_of(args.repeat, command, shell, clear_out)
            outputs = [os.path.join(out, n) for n in os.listdir(out)]
            produced = sum(os.path.getsize(p) for p in outputs) / 1e6
            checked = "-"
            if outputs:
                test = subprocess.run(["unzip", "-t", "-qq", outputs[0]], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
                checked = "yes" if test.returncode == 0 else "no (%d)" % test.returncode
            if reference is None:
                reference = (wall, cpu)
            rows.append((label, size_mb, name, status, wall, cpu, peak, produced, checked,
                         cpu / reference[1], wall / reference[0]))
            print("  %-15s %-24s done: %.1f s cpu" % (label, name, cpu), flush=True)
    load_after = os.getloadavg()

    print()
    print("load average %.1f before, %.1f after (1 min); %d CPUs" % (load_before[0], load_after[0], os.cpu_count()))
    header = ("input", "MB", "command", "exit", "wall s", "cpu s", "peak MB", "out MB", "out ok",
              "cpu / unzip -t", "wall / unzip -t")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for r in rows:
        print("| %s | %.0f | %s | %d | %.2f | %.2f | %.1f | %.1f | %s | %.2f | %.2f |" % r)
    print("\nzip -FF copies the entries it finds without decompressing them: it checks no CRC-32.")


if __name__ == "__main__":
    main()
