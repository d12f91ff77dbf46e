#!/usr/bin/env python3
"""Checks the library's dependency order over its #include lines.

    platform < common < crypt < {decode, recompress, ui} < salvage < api

A unit under src/ may include headers of its own folder and of the folders
below it; decode, recompress and ui never include each other. Only
src/platform/ includes operating-system headers. Everyone may include the
public headers (arcsalve/arcsalve.h, arcsalve/arcsalve_c.h); the string table (strings.inc) belongs
to common/ and the platform backends. Prints every include that breaks the
order and exits 1 if there is one. Needs no build.
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RANK = {"platform": 0, "common": 1, "crypt": 2, "decode": 3, "recompress": 3, "ui": 3, "salvage": 4, "api": 5}
OS_HEADERS = {"windows.h", "bcrypt.h", "unistd.h", "fcntl.h", "dirent.h", "termios.h", "signal.h", "dlfcn.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def check(path, unit):
    problems = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            quoted, target = m.group(1) == '"', m.group(2)
            where = "%s:%d: %s" % (os.path.relpath(path, ROOT), number, line.strip())
            if not quoted:
                name = target.split("/")[-1]
                if (name in OS_HEADERS or target.startswith("sys/")) and unit != "platform":
                    problems.append(where + " (only src/platform/ sees the operating system)")
                continue
            if target in ("arcsalve/arcsalve.h", "arcsalve/arcsalve_c.h"):
                continue
            if target == "strings.inc":
                if unit not in ("platform", "common"):
                    problems.append(where + " (the string table is read through common/string_ids.h)")
                continue
            other = target.split("/")[0]
            if other not in RANK:
                problems.append(where + " (not a library unit)")
            elif other != unit and RANK[other] >= RANK[unit]:
                problems.append(where + " (%s may not include %s)" % (unit, other))
    return problems


def main():
    problems = []
    src = os.path.join(ROOT, "src")
    for unit in sorted(os.listdir(src)):
        if unit not in RANK:
            problems.append("src/%s: a folder outside the dependency order" % unit)
            continue
        for folder, _, files in sorted(os.walk(os.path.join(src, unit))):
            for name in sorted(files):
                if name.endswith((".h", ".cpp", ".inc")):
                    problems += check(os.path.join(folder, name), unit)
    for p in problems:
        print(p)
    print("check_layers: %s" % ("%d includes break the order" % len(problems) if problems else "order kept"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
