#!/usr/bin/env python3
"""Makes the archives that the Windows tests repair, and what each must give back.

Usage: make_fixtures.py OUTDIR CORPUSDIR

For every archive NAME.zip it writes NAME.expect: one line per entry that a
repair must save, "name<TAB>size<TAB>crc32" (crc32 in hexadecimal), in archive
order. The Windows test program repairs each archive under Wine, inflates the
rebuilt archive with zlib and compares every entry with these lines.

- stored.zip: written by Python's zipfile (an independent writer), with
  text, random bytes and an empty file.
- Real archives from other archivers, copied from tests/fixtures/legacy: traditional
  encryption (stored, and deflated with a data descriptor), and the legacy
  methods (shrunk, reduced, imploded; one name in code page 437).
- aes.zip, when 7z is installed: the same files, AES-256 encrypted by 7z
  with the password "secret" (AE-2: no CRC-32 recorded).
"""
import os
import random
import shutil
import subprocess
import sys
import zipfile
import zlib

CORPUS_FILES = (
    # (file in CORPUSDIR/legacy, name used here)
    ("zipcrypto-stored-sharpcompress.zip", "crypt_stored.zip"),
    ("zipcrypto-deflated-dd-infozip30-libarchive.zip", "crypt_deflated.zip"),
    ("reduced-f4-pkzip-sharpcompress.zip", "legacy_reduced.zip"),
    ("imploded-mixed-pkzip-sharpcompress.zip", "legacy_imploded.zip"),
)


def contents():
    rnd = random.Random(1989)
    lines = "".join("line %d of a text that compresses well: %s\n" % (i, "abc" * (i % 7))
                    for i in range(6000))
    return [
        ("readme.txt", b"Salvaged under Windows.\r\n"),
        ("data/text.txt", lines.encode()),
        ("data/random.bin", bytes(rnd.getrandbits(8) for _ in range(40000))),
        ("empty.txt", b""),
        ("data/small.txt", b"x" * 150),
    ]


def write_zip(path, files, method):
    with zipfile.ZipFile(path, "w", compression=method) as z:
        for name, data in files:
            info = zipfile.ZipInfo(name, date_time=(2001, 2, 3, 4, 5, 6))
            info.compress_type = method
            z.writestr(info, data)


def write_expect(path, entries):
    with open(path, "w", newline="\n", encoding="latin-1") as f:
        for name, size, crc in entries:
            f.write("%s\t%d\t%08x\n" % (name, size, crc))


def expect_from_files(files):
    return [(name, len(data), zlib.crc32(data)) for name, data in files]


def expect_from_archive(path):
    # The corpus archives are intact, so their own directories are the truth.
    # Names are written as stored (code page 437 bytes), as the test compares
    # them byte for byte with the rebuilt archive's names.
    with zipfile.ZipFile(path) as z:
        out = []
        for info in z.infolist():
            raw = info.filename.encode("cp437") if not info.flag_bits & 0x800 \
                else info.filename.encode("utf-8")
            out.append((raw.decode("latin-1"), info.file_size, info.CRC))
        return out


def main():
    out, corpus = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    files = contents()

    stored = os.path.join(out, "stored.zip")
    write_zip(stored, files, zipfile.ZIP_STORED)
    write_expect(os.path.join(out, "stored.expect"), expect_from_files(files))

    if shutil.which("7z"):
        src = os.path.join(out, "aes-src")
        for name, data in files:
            os.makedirs(os.path.dirname(os.path.join(src, name)), exist_ok=True)
            with open(os.path.join(src, name), "wb") as f:
                f.write(data)
        aes = os.path.join(out, "aes.zip")
        if os.path.exists(aes):
            os.remove(aes)
        subprocess.run(["7z", "a", "-tzip", "-mem=AES256", "-psecret", aes] + [n for n, _ in files],
                       cwd=src, check=True, capture_output=True)
        data = dict(files)
        order = [i.filename for i in zipfile.ZipFile(aes).infolist()]
        write_expect(os.path.join(out, "aes.expect"), [(n, len(data[n]), zlib.crc32(data[n])) for n in order])

    for source, name in CORPUS_FILES:
        src = os.path.join(corpus, "legacy", source)
        if not os.path.exists(src):
            continue
        dst = os.path.join(out, name)
        shutil.copyfile(src, dst)
        write_expect(os.path.join(out, name[:-4] + ".expect"), expect_from_archive(dst))


if __name__ == "__main__":
    main()
