#!/usr/bin/env python3
"""Before/after comparison of two arcsalve commands.

    fuzz/compare_outputs.py OLD_ARCSALVE NEW_ARCSALVE [--mutations N] [--new-args ARGS] INPUT...

Each INPUT (a file, or a directory searched for files) is repaired by both
commands with `-o DIR -f --no-progress --no-prompt` in three modes: the
default flags, `--classic`, and `-q` with the passwords the fixtures use;
and in place, three times over (the input moved aside to its backup; the
backup found and the question left unanswered; the backup salvaged again
with --use-backup), where the whole directory is compared after each run.
For every run the standard output, standard error, exit status and the
bytes of the rebuilt archive are compared. With --mutations N, each input
also yields N damaged copies (bytes flipped, cut short, a block dropped,
garbage in front), drawn from a fixed seed so that both commands see the
same files. --new-args gives the new command extra arguments (split as a
shell would), e.g. "-j 2" to compare a threaded run with the old one. A
restructuring that is meant to change nothing must report 0 differences.

Each command runs with LD_LIBRARY_PATH set to its own directory, so a
command copied beside its libarcsalve.so.0 keeps using that library.
"""
import argparse
import os
import random
import shlex
import shutil
import subprocess
import sys
import tempfile

MODES = {
    "default": [],
    "classic": ["--classic"],
    "passwords": ["-q", "-p", "12345678", "-p", "test", "-p", "password", "-p", "secret"],
}


def inputs_of(paths):
    for path in paths:
        if os.path.isdir(path):
            for root, _, files in sorted(os.walk(path)):
                for name in sorted(files):
                    yield os.path.join(root, name)
        elif os.path.isfile(path):
            yield path


def mutate(data, rng):
    data = bytearray(data)
    kind = rng.randrange(4)
    if kind == 0 and data:
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    elif kind == 1 and data:
        del data[rng.randrange(len(data)):]
    elif kind == 2 and len(data) > 2:
        start = rng.randrange(len(data) - 1)
        del data[start:start + rng.randint(1, min(4096, len(data) - start))]
    else:
        data[0:0] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 300)))
    return bytes(data)


def run(command, archive, flags, workdir, extra=()):
    out_dir = os.path.join(workdir, "out")
    shutil.rmtree(out_dir, ignore_errors=True)
    os.mkdir(out_dir)
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(os.path.abspath(command)),
               TMPDIR=workdir, NO_COLOR="1")
    argv = [command] + list(extra) + ["-o", out_dir, "-f", "--no-progress", "--no-prompt"] + flags + [archive]
    try:
        p = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, env=env, timeout=120)
        result = [p.returncode, p.stdout, p.stderr]
    except subprocess.TimeoutExpired:
        result = ["timeout", b"", b""]
    rebuilt = {}
    for name in sorted(os.listdir(out_dir)):
        with open(os.path.join(out_dir, name), "rb") as f:
            rebuilt[name] = f.read()
    return result + [rebuilt]


def run_in_place(command, archive, workdir, extra=()):
    """Three in-place repairs of a copy of archive; the results of each and
    the directory's files after each."""
    place = os.path.join(workdir, "place")
    shutil.rmtree(place, ignore_errors=True)
    os.mkdir(place)
    target = os.path.join(place, "damaged.zip")
    shutil.copyfile(archive, target)
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(os.path.abspath(command)),
               TMPDIR=workdir, NO_COLOR="1")
    results = []
    for again in ([], [], ["--use-backup"]):
        argv = [command] + list(extra) + ["--no-progress", "--no-prompt"] + again + [target]
        try:
            p = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, env=env, timeout=120)
            results.append([p.returncode, p.stdout, p.stderr])
        except subprocess.TimeoutExpired:
            results.append(["timeout", b"", b""])
        files = {}
        for name in sorted(os.listdir(place)):
            with open(os.path.join(place, name), "rb") as f:
                files[name] = f.read()
        results.append(files)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("inputs", nargs="+")
    parser.add_argument("--mutations", type=int, default=0, help="damaged copies per input")
    parser.add_argument("--seed", type=int, default=17)
    parser.add_argument("--new-args", default="", help="extra arguments of the new command")
    args = parser.parse_args()

    extra = shlex.split(args.new_args)
    rng = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="arcsalve-compare-")
    compared = differ = 0
    try:
        for index, path in enumerate(inputs_of(args.inputs)):
            with open(path, "rb") as f:
                original = f.read()
            variants = [original] + [mutate(original, rng) for _ in range(args.mutations)]
            for number, data in enumerate(variants):
                archive = os.path.join(work, "in%d_%d.zip" % (index, number))
                with open(archive, "wb") as f:
                    f.write(data)
                for mode, flags in MODES.items():
                    old = run(args.old, archive, flags, work)
                    new = run(args.new, archive, flags, work, extra)
                    compared += 1
                    if old != new:
                        differ += 1
                        what = [k for k, a, b in zip(("status", "stdout", "stderr", "archive"), old, new) if a != b]
                        print("DIFFER %s (variant %d, %s): %s" % (path, number, mode, ", ".join(what)))
                compared += 1
                if run_in_place(args.old, archive, work) != run_in_place(args.new, archive, work, extra):
                    differ += 1
                    print("DIFFER %s (variant %d, in place)" % (path, number))
                os.unlink(archive)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("compared %d runs, %d differ" % (compared, differ))
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
