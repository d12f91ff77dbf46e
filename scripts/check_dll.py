#!/usr/bin/env python3
"""Checks a built arcsalve.dll the way a Windows host would meet it.

Usage: scripts/check_dll.py DLL [--arch i686|x86_64]

- the file: a DLL for the architecture (PE32 i386, or PE32+ x86-64);
- exports: exactly the decorated names hosts bind to and the C interface's
  plain names, nothing else;
- imports: system DLLs only (the compiler's runtime is linked in);
- resources: every string of resources/strings.inc under its id, language
  1033 (English, United States), dialog 481 exactly as the password prompt
  needs it, and icon 101.

It reads the DLL with the MinGW binutils (objdump -p, windres -i ... -O rc),
prints what it checked, and exits 1 on the first kind of mismatch it finds
(after listing every mismatch).
"""
import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

EXPORTS = {
    "i686": [
        "?GetFilePaths@@YAXPAPAD00@Z",
        "?RepairFile@@YAKPAD0KPAUHWND__@@@Z",
        "?SetMessageCallback@@YAKK@Z",
        "?SetProgressCallback@@YAKK@Z",
        "?SetPasswordCallback@@YAKK@Z",
        "?SetNoticeCallback@@YAKK@Z",
        "arcsalve_repair",
    ],
    "x86_64": [
        "?GetFilePaths@@YAXPEAPEAD00@Z",
        "?RepairFile@@YAKPEAD0KPEAUHWND__@@@Z",
        "?SetMessageCallback@@YA_K_K@Z",
        "?SetProgressCallback@@YA_K_K@Z",
        "?SetPasswordCallback@@YA_K_K@Z",
        "?SetNoticeCallback@@YA_K_K@Z",
        "arcsalve_repair",
    ],
}
FORMAT = {"i686": ("pei-i386", "010b", "(PE32)"), "x86_64": ("pei-x86-64", "020b", "(PE32+)")}

# DLLs that every Windows installation carries.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "advapi32.dll"}

# Dialog 481 as windres prints it back: the style is WS_POPUP | WS_CAPTION |
# DS_MODALFRAME | DS_SETFONT (no WS_SYSMENU, so no close box); controls in
# template order with their classes, ids, styles and positions.
DIALOG_481 = """481 DIALOG 0, 0, 244, 70
STYLE 0x80c000c0
CAPTION "Decrypt File"
FONT 8, "MS Sans Serif"
BEGIN
  CONTROL "Enter &Decryption Password:", 65535, "STATIC", 0x50020000, 7, 50, 102, 8
  CONTROL "", 1011, "EDIT", 0x508100a0, 110, 47, 68, 14
  CONTROL "OK", 1, "BUTTON", 0x50010001, 187, 7, 50, 14
  CONTROL "&Skip", 3, "BUTTON", 0x50010000, 187, 26, 50, 14
  CONTROL 101, 65535, "STATIC", 0x50000003, 7, 7, 18, 20
  CONTROL "Static", 1010, "STATIC", 0x50020000, 7, 31, 175, 8
  CONTROL "The following file is encrypted:", 65535, "STATIC", 0x50020000, 37, 13, 122, 8
END"""


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True,
                          errors="replace").stdout


def strings_inc():
    table = {}
    text = open(os.path.join(ROOT, "resources", "strings.inc"), encoding="latin-1").read()
    for m in re.finditer(r'^STR\((\d+),\s*\w+,\s*"((?:[^"\\]|\\.)*)"\)', text, re.M):
        table[int(m.group(1))] = m.group(2)
    return table


def exported_names(dump):
    block = dump.split("[Ordinal/Name Pointer] Table", 1)
    if len(block) < 2:
        return []
    names = []
    for line in block[1].splitlines()[1:]:
        m = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
        if not m:
            break
        names.append(m.group(1))
    return names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dll")
    parser.add_argument("--arch", default="i686", choices=sorted(EXPORTS))
    args = parser.parse_args()
    triple = args.arch + "-w64-mingw32"
    problems = []

    def check(ok, what, detail=""):
        print(("ok      " if ok else "FAILED  ") + what + ("" if ok else ": " + detail))
        if not ok:
            problems.append(what)

    dump = run(triple + "-objdump", "-p", args.dll)
    fmt, magic, label = FORMAT[args.arch]
    check("file format " + fmt in dump and re.search(r"Magic\s+%s\s+\(PE32\+?\)" % magic, dump)
          is not None and label in dump, "%s DLL (%s %s)" % (args.arch, fmt, label))
    m = re.search(r"^Characteristics\s+0x([0-9a-f]+)", dump, re.M)
    check(m is not None and int(m.group(1), 16) & 0x2000 != 0, "marked as a DLL")

    names = exported_names(dump)
    check(sorted(names) == sorted(EXPORTS[args.arch]), "exports exactly the decorated names",
          "found %s" % names)

    imports = re.findall(r"DLL Name: (\S+)", dump)
    extra = [d for d in imports if d.lower() not in SYSTEM_DLLS]
    check(imports and not extra, "imports only system DLLs (%s)" % ", ".join(imports),
          "also %s" % extra)

    rc = run(triple + "-windres", "-i", args.dll, "-O", "rc")
    # windres prints one STRINGTABLE per block of 16 ids; the LANGUAGE line in
    # front of the first resource holds for all that follow it.
    languages = set(re.findall(r"^LANGUAGE (\d+), (\d+)", rc, re.M))
    check(languages == {("9", "1")}, "all resources in language 1033", "found %s" % languages)
    table = {int(i): t for i, t in re.findall(r'^\s+(\d+), "((?:[^"\\]|\\.)*)"$', rc, re.M)}
    wanted = strings_inc()
    check(table.get(17) == "Beginning salvage operations...",
          'string 17 "Beginning salvage operations..."', "found %r" % table.get(17))
    check(table == wanted, "string table equals strings.inc (%d strings)" % len(wanted),
          "differs at ids %s" % sorted(i for i in set(table) | set(wanted)
                                      if table.get(i) != wanted.get(i)))

    start = rc.find("481 DIALOG")
    dialog = rc[start:rc.find("\nEND", start) + 4] if start >= 0 else ""
    check(dialog == DIALOG_481, "dialog 481 \"Decrypt File\" as designed", "found\n" + dialog)
    check(re.search(r"^101 14 /\* RT_GROUP_ICON \*/", rc, re.M) is not None, "icon 101")

    if problems:
        print("%d check(s) failed" % len(problems))
        sys.exit(1)
    print("all checks passed")


if __name__ == "__main__":
    main()
