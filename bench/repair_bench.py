#!/usr/bin/env python3
"""Whole-repair benchmark of the arcsalve command against its peers.

Builds (once, then reuses) a deflated archive of about 200 MB from a mix of
real files found on any Debian machine (/usr/lib, /usr/share), a copy of it
cut off at 60 % (truncated) and a copy with the central directory cut off.
On each of the three it runs, one after the other:

  libdeflate verify        (the whole archive only, when libdeflate-dev is
                           installed) every entry inflated whole in memory
                           by libdeflate and its CRC-32 checked
                           (bench/libdeflate_verify.c): the least a
                           verifying salvage can spend
  unzip -t                 test the archive (reads and inflates every entry)
  arcsalve                 intact entries kept as they are (the default)
  arcsalve --recompress    every entry compressed anew
  arcsalve --classic       the classic behaviour: no extension flags
  zip -FF + unzip -t       Info-ZIP's salvage ("fix fix"), answers fed by yes,
                           then a test of what it wrote (ours verifies every
                           byte it keeps, zip -FF none)
  7z x                     7-Zip extracts the damaged archive into a directory
                           (when 7z is installed: apt-get install p7zip-full)

Each run is measured with /usr/bin/time -v: wall time, CPU time (user+sys)
and peak memory. CPU time is the figure to trust on a loaded machine; the
load average is printed. Then, not timed, what each tool got back: the
entries whose bytes equal the original file's (size and CRC-32 as the intact
archive records them) and their megabytes, as unzip extracts them from the
rebuilt archive, or from the files 7z wrote; and whether unzip -t accepts the
rebuilt archive ("out ok"). The ratios compare every run with arcsalve
(default flags) on the same input, measured in the same run.

With --baseline PATH the three arcsalve rows are run for that build too
("base ..." rows, right after each of ours), so that two builds compare in
the same run; --arcsalve-only leaves out unzip, zip -FF and 7z. With
--jobs 1,2 the default arcsalve row is run once per thread count given
("arcsalve -j N"; the first is the reference of the ratios); 7z also tests
the archive ("7z t"); --only REGEX keeps the rows whose name it finds, and
--whole-only runs the intact archive alone.

Usage: bench/repair_bench.py [--arcsalve PATH] [--work DIR] [--size MB]
                             [--repeat N] [--timeout S] [--baseline PATH]
                             [--arcsalve-only] [--jobs N,N...] [--only REGEX]
                             [--whole-only]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile
import zlib

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


# The truncated copy keeps this share of the archive's bytes.
TRUNCATED_SHARE = 0.6


def build_archives(work, size_mb):
    intact = os.path.join(work, "mix%d.zip" % size_mb)
    cut = os.path.join(work, "mix%d_nocd.zip" % size_mb)
    truncated = os.path.join(work, "mix%d_truncated.zip" % size_mb)
    if os.path.exists(intact) and os.path.exists(cut):
        if not os.path.exists(truncated):
            with open(intact, "rb") as f:
                data = f.read()
            with open(truncated, "wb") as f:
                f.write(data[:int(len(data) * TRUNCATED_SHARE)])
        return intact, cut, truncated
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
    with open(truncated, "wb") as f:
        f.write(data[:int(len(data) * TRUNCATED_SHARE)])
    return intact, cut, truncated


def extracted_name(info):
    """The name unzip and 7z give the file: zip writes UTF-8 names without
    bit 11 (their Unicode extra field says so), which zipfile reads as CP437."""
    if info.flag_bits & 0x800:
        return info.filename
    try:
        return info.filename.encode("cp437").decode("utf-8")
    except UnicodeError:
        return info.filename


def originals(intact):
    """name -> (size, CRC-32) of every file in the intact archive."""
    with zipfile.ZipFile(intact) as z:
        return {extracted_name(i): (i.file_size, i.CRC) for i in z.infolist() if not i.is_dir()}


def recovered_from_archive(path, wanted, scratch):
    """(entries, bytes) of an archive whose data equals the originals, as
    unzip extracts them (Python's zipfile refuses some extra fields that
    zip -FF writes)."""
    subprocess.run(["unzip", "-o", "-qq", path, "-d", scratch], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return recovered_from_directory(scratch, wanted)


def recovered_from_directory(root, wanted):
    """(entries, bytes) of the files under root that equal the originals."""
    entries = size = 0
    for base, _, names in os.walk(root):
        for name in names:
            path = os.path.join(base, name)
            relative = os.path.relpath(path, root)
            want = wanted.get(relative)
            if want is None or os.path.getsize(path) != want[0]:
                continue
            crc = 0
            with open(path, "rb") as f:
                for chunk in iter(lambda: f.read(1 << 20), b""):
                    crc = zlib.crc32(chunk, crc)
            if crc == want[1]:
                entries += 1
                size += want[0]
    return entries, size


def libdeflate_verifier(here, work):
    """bench/libdeflate_verify.c built against libdeflate, or None without libdeflate-dev."""
    exe = os.path.join(work, "libdeflate_verify")
    cc = shutil.which("cc")
    if cc is None:
        return None
    built = subprocess.run([cc, "-O2", os.path.join(here, "libdeflate_verify.c"), "-ldeflate", "-o", exe],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return exe if built.returncode == 0 else None


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
    parser.add_argument("--timeout", type=int, default=900, help="seconds before zip -FF or 7z is stopped")
    parser.add_argument("--baseline", help="another arcsalve build whose rows run beside ours")
    parser.add_argument("--arcsalve-only", action="store_true", help="leave out unzip, zip -FF and 7z")
    parser.add_argument("--jobs", help="thread counts of the default arcsalve row, e.g. 1,2")
    parser.add_argument("--only", help="run only the rows whose name this regular expression finds")
    parser.add_argument("--whole-only", action="store_true", help="the intact archive alone")
    args = parser.parse_args()
    for tool in ("zip", "unzip", "/usr/bin/time"):
        if shutil.which(tool) is None:
            sys.exit("repair_bench: %s is needed" % tool)
    seven = shutil.which("7z")
    if seven is None:
        print("7z not found (apt-get install p7zip-full): its rows are left out", flush=True)
    arcsalve = os.path.abspath(args.arcsalve)
    os.makedirs(args.work, exist_ok=True)
    intact, cut, truncated = build_archives(args.work, args.size)
    wanted = originals(intact)
    verifier = libdeflate_verifier(here, args.work)
    if verifier is None:
        print("libdeflate not found (apt-get install libdeflate-dev): its row is left out", flush=True)
    total_mb = sum(size for size, _ in wanted.values()) / 1e6
    out = os.path.join(args.work, "out")
    os.makedirs(out, exist_ok=True)

    def clear_out():
        shutil.rmtree(out)
        os.makedirs(out)

    ours = [arcsalve, "--no-prompt", "--no-progress", "-q", "-f", "-o", out]
    load_before = os.getloadavg()
    rows = []
    inputs = (("whole", intact), ("truncated 60%", truncated), ("no central dir", cut))
    for label, archive in inputs[:1] if args.whole_only else inputs:
        size_mb = os.path.getsize(archive) / 1e6
        fixed = os.path.join(out, "fixed.zip")
        runs = [
            ("unzip -t", ["unzip", "-t", "-qq", archive], False, None),
            ("arcsalve", ours + [archive], False, "archive"),
            ("arcsalve --recompress", ours[:1] + ["--recompress"] + ours[1:] + [archive], False, "archive"),
            ("arcsalve --classic", ours[:1] + ["--classic"] + ours[1:] + [archive], False, "archive"),
            ("zip -FF + unzip -t",
             "yes | timeout %d zip -FF %s --out %s >/dev/null 2>&1; unzip -t -qq %s >/dev/null 2>&1"
             % (args.timeout, archive, fixed, fixed), True, "archive"),
        ]
        if args.baseline:
            base = [os.path.abspath(args.baseline)] + ours[1:]
            ours_runs = [r for r in runs if r[0].startswith("arcsalve")]
            runs = [runs[0]] + [x for r in ours_runs for x in
                                (r, ("base " + r[0], base[:1] + r[1][1:], False, "archive"))] + runs[4:]
        if args.arcsalve_only:
            runs = [r for r in runs if "arcsalve" in r[0]]
        if args.jobs:
            threaded = [("arcsalve -j %s" % j, ours[:1] + ["-j", j] + ours[1:] + [archive], False, "archive")
                        for j in args.jobs.split(",")]
            at = [r[0] for r in runs].index("arcsalve")
            runs[at:at + 1] = threaded
        if verifier and archive == intact:
            runs.insert(0, ("libdeflate verify", [verifier, archive], False, None))
        if seven and not args.arcsalve_only:
            runs.insert(1, ("7z t", "%s t -bd %s >/dev/null 2>&1" % (seven, archive), True, None))
            runs.append(("7z x", "timeout %d %s x -y -bd -o%s %s >/dev/null 2>&1"
                         % (args.timeout, seven, os.path.join(out, "x"), archive), True, "directory"))
        if args.only:
            runs = [r for r in runs if re.search(args.only, r[0])]
        reference = None
        for name, command, shell, result in runs:
            status, wall, cpu, peak = best_of(args.repeat, command, shell, clear_out)
            entries, size, checked = 0, 0, "-"
            if result == "archive":
                for n in os.listdir(out):
                    if n.endswith(".zip"):
                        rebuilt = os.path.join(out, n)
                        test = subprocess.run(["unzip", "-t", "-qq", rebuilt], stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL)
                        checked = "yes" if test.returncode == 0 else "no (%d)" % test.returncode
                        entries, size = recovered_from_archive(rebuilt, wanted, os.path.join(out, "unzipped"))
            elif result == "directory":
                entries, size = recovered_from_directory(os.path.join(out, "x"), wanted)
            if name == "arcsalve" or (reference is None and name.startswith("arcsalve -j")):
                reference = (wall, cpu)
            rows.append([label, size_mb, name, status, wall, cpu, peak, checked,
                         "%d" % entries if result else "-", "%.1f" % (size / 1e6) if result else "-"])
            print("  %-15s %-22s done: %.1f s cpu, %s entries" % (label, name, cpu, rows[-1][8]), flush=True)
        for row in rows:
            if row[0] == label:
                row += [row[5] / reference[1] if reference[1] else 0.0, row[4] / reference[0]]
    load_after = os.getloadavg()

    print()
    print("load average %.1f before, %.1f after (1 min); %d CPUs" % (load_before[0], load_after[0], os.cpu_count()))
    print("the whole archive holds %d files, %.1f MB" % (len(wanted), total_mb))
    header = ("input", "MB", "command", "exit", "wall s", "cpu s", "peak MB", "out ok", "entries intact",
              "MB intact", "cpu / arcsalve", "wall / arcsalve")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for r in rows:
        print("| %s | %.0f | %s | %d | %.2f | %.2f | %.1f | %s | %s | %s | %.2f | %.2f |" % tuple(r))
    limit = [r for r in rows if r[2] == "libdeflate verify"]
    ours_whole = [r for r in rows if r[0] == "whole" and (r[2] == "arcsalve" or r[2].startswith("arcsalve -j"))]
    if limit and limit[0][5] and limit[0][4]:
        for ours_row in ours_whole:
            print("\nwhole archive, %s against libdeflate verify: %.2f times its CPU, %.2f times its wall time"
                  % (ours_row[2], ours_row[5] / limit[0][5], ours_row[4] / limit[0][4]))
    print("\nOut ok: unzip -t accepts the rebuilt archive. Entries intact: the entry's bytes equal the")
    print("original file's. zip -FF copies the entries it finds without decompressing them; its time")
    print("includes the unzip -t of what it wrote.")


if __name__ == "__main__":
    main()
