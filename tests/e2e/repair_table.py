#!/usr/bin/env python3
# The end-to-end differential table: archives made by real archivers (Info-ZIP
# zip, Python's zipfile, 7z, bsdtar, jar), plain, encrypted and written to a
# pipe, damaged the ways archives get damaged, each repaired by the library in
# the command's three modes (default, --recompress, --classic). Every rebuilt
# archive must be read whole by zipfile, unzip -t and 7z, and hold every entry
# that survived byte for byte, the damaged one only a good prefix of itself.
# Also: the legacy fixtures (shrink, reduce 1-4, implode, ZipCrypto), whole
# and damaged, against the CRC-32s their archivers recorded.
import bz2
import io
import json
import lzma
import os
import random
import struct
import subprocess
import sys
import zipfile
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from salvage import Case, Run, check_valid, command, main, shutil, zstd_decompress, MODES, OVERWRITE, FIXTURES, RESYNC

PASSWORD = b"Pa55 w0rd!"
rng = random.Random(7)
TEXT = b"".join(b"line %d of the readme, words that repeat and deflate well\n" % i for i in range(110))
NOISE = bytes(rng.getrandbits(8) for _ in range(140000))
BIG = TEXT * 20 + NOISE  # compressible first, then blocks a deflater stores; over 256 KiB
NESTED_IO = io.BytesIO()
with zipfile.ZipFile(NESTED_IO, "w") as z:  # local headers and descriptor signatures inside an entry's data
    z.writestr("in1.txt", b"first inner file PK\x07\x08 not a descriptor")
    z.writestr("in2.txt", NOISE[:3000])
FILES = [("readme.txt", TEXT), ("empty.txt", b""), ("sub/", None), ("sub/big.bin", BIG),
         ("sub/" + "a" * 200 + "/" + "b" * 65, TEXT[:777]), ("nested.zip", NESTED_IO.getvalue()), ("tail.txt", TEXT[:1234])]

PY_WRITER = r"""
import io, sys, zipfile
class Pipe(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
out, method, pipe = sys.argv[1], int(sys.argv[2].rstrip("z")), sys.argv[3] == "pipe"
with open(out, "wb") as raw, zipfile.ZipFile(Pipe(raw) if pipe else raw, "w", method) as z:
    for name in sys.argv[4:]:
        if name.endswith("/"): z.mkdir(name[:-1])
        else:
            with open(name, "rb") as f, z.open(name, "w", force_zip64=sys.argv[2].endswith("z")) as w: w.write(f.read())
"""
# A Zstandard writer (zipfile has none): each file through the zstd command, the records by hand.
ZSTD_WRITER = r"""
import struct, subprocess, sys, zlib
local, central = b"", b""
for name in sys.argv[2:]:
    data = b"" if name.endswith("/") else open(name, "rb").read()
    packed = subprocess.run(["zstd", "-q", "-c", "-19"], input=data, capture_output=True, check=True).stdout if data else b""
    fields = (63, 0, 93 if data else 0, 0, 0x21, zlib.crc32(data), len(packed), len(data), len(name))
    central += struct.pack("<IH5H3I5H2I", 0x02014B50, 63, *fields, 0, 0, 0, 0, 0, len(local)) + name.encode()
    local += struct.pack("<I5H3I2H", 0x04034B50, *fields, 0) + name.encode() + packed
count = len(sys.argv) - 2
end = struct.pack("<I4H2IH", 0x06054B50, 0, 0, count, count, len(central), len(local), 0)
open(sys.argv[1], "wb").write(local + central + end)
"""
# name: (tool that must be installed, command run in the source tree with OUT and NAMES)
WRITERS = {
    "zip_stored": ("zip", "zip -q -X -0 OUT NAMES"),
    "zip_1": ("zip", "zip -q -X -1 OUT NAMES"),
    "zip_9": ("zip", "zip -q -X -9 OUT NAMES"),
    "zip_encrypted": ("zip", "zip -q -X -P '%s' OUT NAMES" % PASSWORD.decode()),
    "zip_pipe": ("zip", "zip -q -fz- - NAMES | cat > OUT"),
    "zip_pipe_encrypted": ("zip", "zip -q -fz- -P '%s' - NAMES | cat > OUT" % PASSWORD.decode()),
    "zip_zip64": ("zip", "zip -q -X -fz OUT NAMES"),  # ZIP64 local headers: sizes in the extra block
    "python_zip64": ("python3", "python3 ../w.py OUT 8z file NAMES"),
    "python_stored": ("python3", "python3 ../w.py OUT 0 file NAMES"),
    "python_deflated": ("python3", "python3 ../w.py OUT 8 file NAMES"),
    "python_stored_pipe": ("python3", "python3 ../w.py OUT 0 pipe NAMES"),
    "python_deflated_pipe": ("python3", "python3 ../w.py OUT 8 pipe NAMES"),
    "python_pipe_unsigned": ("python3", "python3 ../w.py OUT 8 pipe NAMES"),  # descriptors lose their signature
    "7z_deflate": ("7z", "7z a -tzip -mx=7 OUT NAMES >/dev/null"),
    "7z_deflate64": ("7z", "7z a -tzip -mm=Deflate64 OUT NAMES >/dev/null"),  # far.bin: distances past 32 KiB
    "7z_bzip2": ("7z", "7z a -tzip -mm=BZip2 OUT NAMES >/dev/null"),
    "7z_lzma": ("7z", "7z a -tzip -mm=LZMA OUT NAMES >/dev/null"),
    "7z_xz": ("7z", "7z a -tzip -mm=XZ OUT NAMES >/dev/null"),
    "7z_ppmd": ("7z", "7z a -tzip -mm=PPMd OUT NAMES >/dev/null"),  # no decoder here: copied as it was
    "python_bzip2": ("python3", "python3 ../w.py OUT 12 file NAMES"),
    "python_lzma": ("python3", "python3 ../w.py OUT 14 file NAMES"),  # with the end-marker flag
    "python_bzip2_pipe": ("python3", "python3 ../w.py OUT 12 pipe NAMES"),  # sizes in descriptors
    "python_lzma_pipe": ("python3", "python3 ../w.py OUT 14 pipe NAMES"),
    "zstd": ("zstd", "python3 ../zs.py OUT NAMES"),
    "bsdtar": ("bsdtar", "bsdtar -n --format zip -cf - NAMES | cat > OUT"),
    "jar": ("jar", "jar cMf OUT NAMES"),
}


def local_layout(archive, info):
    name_len, extra_len = struct.unpack_from("<HH", archive, info.header_offset + 26)
    start = info.header_offset + 30 + name_len + extra_len
    streamed = bool(info.flag_bits & 8) and struct.unpack_from("<I", archive, info.header_offset + 18)[0] == 0
    return start, streamed


def directory_offset(archive):
    at = archive.rfind(b"PK\x05\x06")
    return struct.unpack_from("<I", archive, at + 16)[0] if at >= 0 else len(archive)


def decoded_prefix(method, raw):
    """What the method's own library makes of a cut stream (nothing, for PPMd)."""
    if method == 14:
        props = lzma._decode_filter_properties(lzma.FILTER_LZMA1, raw[4:9])
        return lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[props]).decompress(raw[9:])
    decoders = {8: lambda: zlib.decompressobj(-15), 12: bz2.BZ2Decompressor, 95: lambda: lzma.LZMADecompressor(lzma.FORMAT_XZ)}
    return decoders[method]().decompress(raw) if method in decoders else zstd_decompress(raw) if method == 93 else b""


def unsign_descriptors(archive, infos):
    """Drops every descriptor's signature and the central directory (whose offsets no longer fit)."""
    out, at = b"", 0
    for info in infos:
        start, _ = local_layout(archive, info)
        if info.flag_bits & 8:
            d = start + info.compress_size
            assert archive[d:d + 4] == b"PK\x07\x08"
            out += archive[at:d]
            at = d + 4
    return out + archive[at:directory_offset(archive)]


class Table(Case):
    def make(self, writer):
        tool, cmd = WRITERS[writer]
        if not shutil.which(tool):
            self.skipTest(tool + " is not installed")
        files = [f for f in FILES if not (writer == "jar" and f[1] is None)] + \
            [("far.bin", (NOISE[:40000] + NOISE[60000:80000]) * 2)] * (writer == "7z_deflate64")  # 60000 back
        for name, data in files:
            if data is None:
                os.makedirs(self.path("src", name), exist_ok=True)
            else:
                self.write("src/" + name, data)
        self.write("w.py", PY_WRITER)
        self.write("zs.py", ZSTD_WRITER)
        names = " ".join("'%s'" % n for n, _ in files)
        cmd = cmd.replace("OUT", self.path("made.zip")).replace("NAMES", names)
        subprocess.run("cd '%s' && %s" % (self.path("src"), cmd), shell=True, check=True)
        archive = self.read("made.zip")
        infos = zipfile.ZipFile(self.path("made.zip")).infolist()
        known = dict(files)
        known.update((i.orig_filename, None) for i in infos if i.orig_filename.endswith("/"))  # 7z adds sub/a.../
        self.assertEqual(sorted(i.orig_filename for i in infos), sorted(known))
        files = [(i.orig_filename, known[i.orig_filename]) for i in infos]  # in the archive's order
        self.layout = {i.orig_filename: (i,) + local_layout(archive, i) for i in infos}
        if writer == "python_pipe_unsigned":
            archive = unsign_descriptors(archive, infos)
            for name, (i, start, streamed) in self.layout.items():  # 4 bytes fewer per descriptor before it
                shift = 4 * sum(1 for j in infos if j.flag_bits & 8 and j.header_offset < i.header_offset)
                i.header_offset -= shift
                self.layout[name] = (i, start - shift, streamed)
        return files, archive

    def repair(self, damaged, mode, passwords):
        inp = self.write("in/damaged.zip", damaged)
        os.makedirs(self.path("out"), exist_ok=True)
        run = Run(inp, self.path("out"), OVERWRITE | MODES[mode], passwords=passwords)
        self.assertEqual(run.result, 0, run.dump())
        self.assertEqual(run.output, self.path("out", "damaged.zip"))
        self.assertEqual(os.listdir(os.environ["TMPDIR"]), [], "the temporary file was left")
        self.assertFalse(any("system errors" in t for t in run.texts()), run.dump())
        return run, check_valid(self, run.output)

    def check(self, writer):
        files, archive = self.make(writer)
        encrypted = "encrypted" in writer
        passwords = [PASSWORD] if encrypted else None  # wrong ones: see library_test.py
        plain_stored = lambda n: self.layout[n][0].compress_type == 0 and not encrypted
        streamed = any(s for _, _, s in self.layout.values())
        copied = lambda n: self.layout[n][0].compress_type == 98  # PPMd: no decoder here
        ok = lambda fs: ["WARNING: %s (method 98) was copied as it was; it could not be verified" % n if copied(n) else
                         "    %s: size = %d:  OK" % (n, len(d or b"")) for n, d in fs]
        readme, big = self.layout["readme.txt"], self.layout["sub/big.bin"]
        cut = big[1] + big[0].compress_size // 2
        known = b"?" if encrypted else BIG[:len(BIG) // 2] if big[0].compress_type == 9 else \
            decoded_prefix(big[0].compress_type, archive[big[1]:cut])  # Deflate64: no library here
        big_lost = not known and not plain_stored("sub/big.bin")  # a cut bzip2 block or PPMd data: nothing to keep
        flip = readme[1] + readme[0].compress_size * 2 // 3
        flipped = bytearray(archive)
        flipped[flip] ^= 0x55
        zeroed = bytearray(archive)
        zeroed[readme[0].header_offset:readme[0].header_offset + 30] = bytes(30)
        garbage = bytes(b for b in NOISE[:7777] if b != ord("P"))
        forged = bytearray(zeroed)  # and its central record sends the search into sub/big.bin's data
        record = forged.find(b"PK\x01\x02")
        while record >= 0 and forged[record + 46:record + 56] != b"readme.txt":
            record = forged.find(b"PK\x01\x02", record + 4)
        renamed = bytearray(archive)  # readme.txt's record renamed, sending the search to its data: saved once only
        if record >= 0:
            struct.pack_into("<I", forged, record + 42, big[1] + 100)
            renamed[record + 46:record + 56] = b"README.TXT"
            inside = readme[1] - 40 - struct.unpack_from("<H", archive, record + 30)[0]  # where its data follows the name
            struct.pack_into("<I", renamed, record + 42, max(inside, readme[0].header_offset))
        damages = {
            "intact": (archive, files, None),
            "directory_cut": (archive[:directory_offset(archive)], files, None),
            "garbage_before": (garbage + archive, files, None),
            "concatenated": (archive + archive, files + files, None),
            "header_zeroed": (bytes(zeroed), [f for f in files if f[0] != "readme.txt"], "-readme.txt"),
            "header_zeroed_after_garbage": (garbage + zeroed, [f for f in files if f[0] != "readme.txt"], "-readme.txt"),
            "header_zeroed_record_forged": (bytes(forged), [f for f in files if f[0] != "readme.txt"], "-readme.txt"),
            "record_renamed": (bytes(renamed), files, None),
            "cut_in_big": (archive[:cut], files[:[n for n, _ in files].index("sub/big.bin") + 1 - copied("sub/big.bin")],
                           "sub/big.bin"),
            "flipped_in_readme": (bytes(flipped), files, "readme.txt"),
        }
        if copied("readme.txt"):
            del damages["flipped_in_readme"]  # copied with the flip, as it cannot be checked
        directory = writer != "python_pipe_unsigned"  # the unsigned variant lost its central directory
        for mode in MODES:
            for damage, (damaged, expected, hurt) in damages.items():
                with self.subTest(mode=mode, damage=damage):
                    run, entries = self.repair(damaged, mode, passwords)
                    texts = run.texts()
                    if mode == "classic" and streamed:
                        # Without descriptors the header's zeros are believed: a
                        # stored entry is saved empty, a deflated one as damaged.
                        # Neither is called OK.
                        unverified = "WARNING: %s (size = 0) could not be verified: no CRC-32 was found to check it against"
                        for name, data in files:
                            if data and self.layout[name][2] and damage == "intact":
                                self.assertTrue(any(t == unverified % name or
                                                    t.startswith("ERROR: File %s is corrupt." % name) for t in texts),
                                                name + "\n" + run.dump())
                        continue
                    # A lost header whose record survives: the entry comes back through it, in its place (told last).
                    proves = directory and mode != "classic" and not encrypted and not copied("readme.txt")  # PPMd: no decode does
                    recovered = damage.endswith(("zeroed", "garbage")) and proves
                    if recovered:
                        expected = files
                    names = [e[0].decode("cp437") for e in entries]
                    self.assertEqual(names, [n for n, _ in expected], run.dump())
                    for (name, data), (_, flags, method, got) in zip(expected, entries):
                        data = data or b""
                        if copied(name):  # PPMd data comes back as it was (7z t has checked its CRC-32)
                            info, start, _ = self.layout[name]
                            self.assertTrue(got == archive[start:start + info.compress_size], name)
                        elif name != hurt:
                            self.assertTrue(got == data, name)
                        elif damage == "cut_in_big" and plain_stored(name):
                            self.assertEqual(got, data[:cut - big[1]])  # every byte up to the cut
                        elif damage == "cut_in_big":
                            self.assertTrue(data.startswith(got) and len(got) >= len(known) - 1, "%d" % len(got))
                        elif plain_stored(name):
                            self.assertEqual(got, data[:flip - readme[1]] + bytes([data[flip - readme[1]] ^ 0x55]) +
                                             data[flip - readme[1] + 1:])
                        elif self.layout[name][0].compress_type in (12, 93):  # a damaged bzip2 or Zstandard block gives nothing
                            self.assertTrue(data.startswith(got))
                        else:
                            self.assertEqual(got[:1000], data[:1000])
                    if hurt is None or hurt == "-readme.txt" and directory:
                        # A header lost while the central directory stands: that entry is named there.
                        not_found = "ERROR: %s is listed in the archive's central directory but was not found"
                        lost = [not_found % "readme.txt"] if hurt else []
                        if damage == "record_renamed" and directory:
                            lost = ["WARNING: README.TXT is listed in the central directory at an entry already saved: "
                                    "not saved twice" if proves else not_found % "README.TXT"]
                        found = [f for f in expected if not recovered or f[0] != "readme.txt"]
                        if recovered:
                            lost = [ok([f for f in files if f[0] == "readme.txt"])[0] + " (found through the central directory)"]
                        n_copied = sum(map(copied, (n for n, d in expected if d)))
                        summary = ["Salvage attempt complete", "  %d files found" % len(expected)] + \
                            ["  1 files found through the central directory"] * recovered + \
                            ["  1 listed files not found"] * sum(t.startswith("ERROR") for t in lost) + \
                            ["  1 listed files point at entries already saved"] * sum(t.startswith("WARN") for t in lost) + \
                            ["  %d files copied as they were, unverified" % n_copied] * (n_copied > 0) + \
                            ["Salvaged data stored in " + run.output]
                        self.assertEqual(texts, ["Beginning salvage operations..."] + ok(found) + lost + summary)
                    elif hurt == "-readme.txt":
                        self.assertEqual(texts[1:len(expected) + 1], ok(expected))
                    elif hurt == "readme.txt":
                        at = [n for n, _ in expected].index(hurt) + 1
                        self.assertEqual(texts[1:at] + texts[at + 1:len(expected) + 1], ok(expected[:at - 1] + expected[at:]))
                        want = "ERROR: File readme.txt is corrupt.  CRC is " if plain_stored(hurt) else "ERROR: File readme.txt is corrupt."
                        self.assertTrue(texts[at].startswith(want) or not plain_stored(hurt) and
                                        texts[at].startswith("WARNING: Size of readme.txt is "), run.dump())
                    elif big_lost:
                        self.assertIn("  1 unrecoverable files", texts, run.dump())
                    else:
                        self.assertIn("  1 partially recoverable files", texts, run.dump())
                        self.assertFalse(any("unrecoverable" in t for t in texts), run.dump())
                        if plain_stored(hurt) and not streamed:
                            self.assertIn("ERROR: File sub/big.bin is corrupt.  Salvaged %d of %d" %
                                          (cut - big[1], len(BIG)), texts)
                    if mode == "default" and damage == "intact" and not encrypted:
                        # Intact entries keep their compressed data as the archiver made it.
                        for info in zipfile.ZipFile(run.output).infolist():
                            orig = self.layout[info.orig_filename][0]
                            self.assertEqual((info.compress_type, info.compress_size, info.flag_bits & 8),
                                             (orig.compress_type, orig.compress_size, 0), info.orig_filename)
                    if damage in ("intact", "header_zeroed"):  # the directory's host and attributes carried over, or MS-DOS's
                        for info in zipfile.ZipFile(run.output).infolist():
                            orig = self.layout[info.orig_filename][0]
                            plain = (0, 0x10 if info.orig_filename.endswith("/") else 0)
                            self.assertEqual((info.create_system, info.external_attr),
                                             plain if mode == "classic" or not directory else (orig.create_system, orig.external_attr))


    def test_zip_stdin(self):  # Info-ZIP zipping standard input writes a ZIP64 local header (to a pipe, bit 3 and 8-byte descriptor sizes too): whole, cut, without directory
        self.write("src/big.bin", BIG)
        for to in ("../made.zip -", "- - >../made.zip"):
            subprocess.run("cd '%s' && tar cf - big.bin | zip -q %s" % (self.path("src"), to), shell=True, check=True)
            z = zipfile.ZipFile(self.path("made.zip"))
            archive, info, data = self.read("made.zip"), z.infolist()[0], z.read("-")
            start = local_layout(archive, info)[0]
            cut = start + info.compress_size // 2
            for damaged in (archive, archive[:directory_offset(archive)], archive[:cut]):
                run, entries = self.repair(damaged, "default", None)
                if len(damaged) > cut:
                    self.assertEqual((entries[0][3], run.texts()[1]), (data, "    -: size = %d:  OK" % len(data)), run.dump())
                else:  # a good prefix, all but the last byte of what zlib gets from the cut stream
                    known = len(zlib.decompressobj(-15).decompress(archive[start:cut]))
                    self.assertTrue(data.startswith(entries[0][3]) and len(entries[0][3]) >= known - 1, run.dump())

    def extract(self, archive, password):  # every entry as 7z reads it with the password
        out = self.path("x")
        shutil.rmtree(out, True)
        p = subprocess.run(["7z", "x", "-y", "-p" + password.decode(), "-o" + out, archive], capture_output=True)
        self.assertEqual(p.returncode, 0, p.stdout[-600:] + p.stderr)
        return {n: self.read("x/" + n) for n in os.listdir(out)}

    def test_7z_aes(self):  # AES-256 and -128 from 7z (AE-2), AE-2 made AE-1 (version 1, CRC-32 recorded), library methods inside
        if not shutil.which("7z"):
            self.skipTest("7z is not installed")
        files = {"a.txt": b"abc", "readme.txt": TEXT, "zbig.txt": BIG}  # 7z orders them by name
        for name, data in files.items():
            self.write("src/" + name, data)
        os.makedirs(self.path("out"))
        for bits, method in (("256", "Deflate"), ("128", "Deflate"), ("AE-1", "Deflate"), ("256", "BZip2"), ("256", "XZ")):
            made = self.path("aes%s%s.zip" % (bits, method))
            subprocess.run(["7z", "a", "-tzip", "-mm=" + method, "-mem=AES" + bits.replace("AE-1", "256"), "-p" + PASSWORD.decode(),
                            made] + list(files), cwd=self.path("src"), check=True, capture_output=True)
            archive = bytearray(self.read(made))
            infos = {i.filename: i for i in zipfile.ZipFile(made).infolist()}
            if bits == "AE-1":
                archive = bytearray(bytes(archive).replace(b"\x01\x99\x07\x00\x02\x00AE", b"\x01\x99\x07\x00\x01\x00AE"))
                at = directory_offset(archive)
                for i in infos.values():  # the CRC-32 into the local and the central header
                    struct.pack_into("<I", archive, i.header_offset + 14, zlib.crc32(files[i.filename]))
                    struct.pack_into("<I", archive, at + 16, zlib.crc32(files[i.filename]))
                    at += 46 + sum(struct.unpack_from("<HHH", archive, at + 28))
            raw = lambda a, i: bytes(a[local_layout(a, i)[0]:][:i.compress_size])
            readme, big = (local_layout(archive, infos[n])[0] for n in ("readme.txt", "zbig.txt"))
            flipped = bytearray(archive)
            flipped[readme + 40] ^= 0x55
            cut = big + infos["zbig.txt"].compress_size // 2
            streamed = b"".join(  # as written to a pipe: flag bit 3, CRC-32 and sizes 0, a descriptor after the data; no directory
                a[:6] + bytes([a[6] | 8]) + a[7:14] + bytes(12) + a[26:local_layout(archive, i)[0] - i.header_offset + i.compress_size] +
                b"PK\x07\x08" + a[14:18] + struct.pack("<II", i.compress_size, i.file_size) for i, a in ((i, archive[i.header_offset:]) for i in infos.values()))
            for damage, damaged, mode, hurt in (("intact", archive, "default", None), ("intact", archive, "recompress", None),
                                                ("streamed", streamed, "default", None), ("streamed", streamed, "recompress", None),
                                                ("directory_cut", archive[:directory_offset(archive)], "default", None),
                                                ("flipped", flipped, "default", "readme.txt"), ("cut", archive[:cut], "default", "zbig.txt")):
                with self.subTest(aes=bits, method=method, damage=damage, mode=mode):
                    run = Run(self.write("in/a.zip", bytes(damaged)), self.path("out"), OVERWRITE | MODES[mode], passwords=[PASSWORD])
                    got = self.extract(run.output, PASSWORD)
                    self.assertEqual({n: d for n, d in got.items() if n != hurt}, {n: d for n, d in files.items() if n != hurt})
                    if hurt:
                        self.assertTrue(files[hurt].startswith(got.get(hurt, b"")) or damage == "flipped", run.dump())
                        self.assertEqual(len(run.texts(2)), 2, run.dump())  # the entry and the counter
                        continue
                    self.assertEqual(run.texts(2) + run.texts(1), [], run.dump())
                    kept = zipfile.ZipFile(run.output)
                    if mode == "default":  # still encrypted, the data as it was, the 0x9901 block in both headers
                        out = self.read(run.output)
                        for i in kept.infolist():
                            block = infos[i.filename].extra[-11:].replace(b"\x02\x00AE", b"\x01\x00AE" if bits == "AE-1" else b"\x02\x00AE")
                            self.assertEqual((raw(out, i), i.extra, i.flag_bits & 8), (raw(archive, infos[i.filename]), block, 8 * (damage == "streamed")))
                    else:
                        self.assertEqual({i.filename: kept.read(i) for i in kept.infolist()}, files)
            # No password that opens them: every entry copied as it was, warned about, exit 1.
            self.write("in/a.zip", bytes(archive))
            for args in ([], ["-p", "wrong"]):
                status, _, err = command(["--no-prompt", "-f", "-o", self.path("cmd")] + args + [self.path("in/a.zip")])
                self.assertEqual((status, err.count("copied as it was, not verified"), err.count("3 encrypted files copied")),
                                 (1, 3, 1), err)
                self.assertEqual(self.extract(self.path("cmd/a.zip"), PASSWORD), files)
            status, _, err = command(["-f", "-p", PASSWORD.decode(), "-o", self.path("cmd"), self.path("in/a.zip")])
            self.assertEqual((status, err), (0, ""))
        # PPMd inside (method 98, no decoder here): copied as it was with the right password, never emptied.
        made = self.path("ppmd.zip")
        subprocess.run(["7z", "a", "-tzip", "-mm=PPMd", "-mem=AES256", "-p" + PASSWORD.decode(), made, "readme.txt"],
                       cwd=self.path("src"), check=True, capture_output=True)
        status, _, err = command(["-f", "-p", PASSWORD.decode(), "-o", self.path("ppmd"), made])
        self.assertEqual((status, err.count("its method 98 has no decoder here: copied as it was, not verified\n")), (1, 1), err)
        self.assertEqual(self.extract(self.path("ppmd/ppmd.zip"), PASSWORD), {"readme.txt": TEXT})

for _writer in WRITERS:
    setattr(Table, "test_" + _writer, lambda self, w=_writer: self.check(w))


class Legacy(Case):
    """Real DOS-era archives: every entry back with its recorded CRC-32; cut or flipped, a good prefix."""

    def test_fixtures(self):
        legacy = os.path.join(FIXTURES, "legacy")
        passwords = {"zipcrypto-stored-sharpcompress.zip": b"test",
                     "zipcrypto-deflated-dd-infozip30-libarchive.zip": b"12345678"}
        names = sorted(n for n in os.listdir(legacy) if n.endswith(".zip"))
        self.assertGreaterEqual(len(names), 17)
        for name in names:
            with self.subTest(archive=name):
                infos = [i for i in zipfile.ZipFile(os.path.join(legacy, name)).infolist()]
                self.assertTrue({i.compress_type for i in infos} & {1, 2, 3, 4, 5, 6} or name in passwords)
                os.makedirs(self.path(name), exist_ok=True)
                run = Run(os.path.join(legacy, name), self.path(name), 0, passwords=[passwords.get(name, b"")])
                self.assertEqual(run.texts(2), [], run.dump())
                whole = check_valid(self, run.output)
                self.assertEqual([(e[0], len(e[3]), zlib.crc32(e[3])) for e in whole],
                                 [(i.orig_filename.encode("cp437"), i.file_size, i.CRC) for i in infos])
                if name in passwords or len(infos) < 2:
                    continue
                # Cut in the middle of the largest entry, or bytes flipped there: the
                # entries before it stay whole (after it too, when flipped), it keeps
                # a good prefix when cut, and it alone is reported.
                data = self.read(os.path.join(legacy, name))
                hit = max(infos, key=lambda i: i.compress_size)
                middle = local_layout(data, hit)[0] + hit.compress_size // 2
                flipped = bytearray(data)
                for k in range(4):
                    flipped[middle + 7 * k] ^= 0x5A
                for label, damaged in (("cut", data[:middle]), ("flipped", bytes(flipped))):
                    run = Run(self.write(label + ".zip", damaged), self.path(name), OVERWRITE)
                    got = {e[0]: e[3] for e in check_valid(self, run.output)}
                    self.assertEqual(len(run.texts()) - len(run.texts(0)), 2, run.dump())  # the entry and its counter
                    for i, e in zip(infos, whole):
                        if i is hit and label == "cut":
                            self.assertTrue(e[3].startswith(got[e[0]]) and len(got[e[0]]) > len(e[3]) // 4, label)
                        elif i is not hit and (label == "flipped" or i.header_offset < hit.header_offset):
                            self.assertEqual(got.get(e[0]), e[3], label)

class Resync(Case):
    """A deflated entry flushed every 64 KiB whose seventh block header is broken: with RESYNC the
    blocks after it come back, placed by the recorded size with the lost block as fill (from a full
    flush exactly; from a sync flush with fill bytes mapped where copies reach back), without it the
    prefix alone. Random bytes inside a block decode as symbols and the stream ends well with the
    wrong CRC: the damage is found and the entry comes back the same way, the rest of the damaged
    block with it."""

    def test_resumes_past_damage(self):
        os.makedirs(self.path("out"), exist_ok=True)
        text = b"".join(b"%06d the search resumes at the next block that proves itself\n" % i for i in range(20000))
        burst = bytes(random.Random(19).getrandbits(8) for _ in range(512))
        for flush, flags, want, hit in ((zlib.Z_FULL_FLUSH, RESYNC, "pieces", 4),
                                        (zlib.Z_SYNC_FLUSH, RESYNC, "pieces", 4),
                                        (zlib.Z_FULL_FLUSH, 0, "Salvaged %d of %d" % (6 * 65536, len(text)), 4),
                                        (zlib.Z_NO_FLUSH, RESYNC, "pieces", 516)):
            c = zlib.compressobj(6, zlib.DEFLATED, -15)
            packed = bytearray(b"".join(c.compress(text[i:i + 65536]) + c.flush(flush) for i in range(0, len(text), 65536)) + c.flush())
            marks = [i for i in range(len(packed)) if packed[i:i + 4] == b"\0\0\xff\xff"] or [len(packed) // 2]
            packed[marks[5 % len(marks)] + 4:marks[5 % len(marks)] + hit] = burst[:hit - 4] if hit > 4 else b"\xff"
            name = b"big.txt"
            header = struct.pack("<I5H3I2H", 0x04034B50, 20, 0, 8, 0, 0, zlib.crc32(text), len(packed), len(text), len(name), 0)
            with self.subTest(flush=flush, flags=flags):
                run = Run(self.write("in/r.zip", header + name + bytes(packed)), self.path("out"), OVERWRITE | flags)
                got = zipfile.ZipFile(run.output).read("big.txt")
                self.assertTrue(any(want in t for t in run.texts(2)), run.dump())
                kept = 6 * 65536 if hit == 4 else len(text) // 2 - 65536
                self.assertTrue(got.startswith(text[:kept]), run.dump())
                if flags:  # every byte right or fill (the text has no zero bytes), in place
                    self.assertEqual(len(got), len(text), run.dump())
                    wrong = [i for i, (g, t) in enumerate(zip(got, text)) if g not in (0, t)]
                    self.assertEqual((wrong, flush != zlib.Z_FULL_FLUSH or got[7 * 65536:] == text[7 * 65536:]), ([], True))
                    if hit == 516:  # the damaged block's rest comes back too, not only the blocks after it
                        fill = got[got.index(0):]
                        self.assertLess(len(fill) - len(fill.lstrip(b"\0")), 300000)
                else:
                    self.assertEqual(got, text[:6 * 65536])

    def test_bzip2_blocks(self):
        """A bzip2 entry of level-1 blocks (Python's zipfile, 7z) with a byte damaged in its third block, its first,
        its stream header, or its end magic cut off: by default every other block back in order, the lost one mapped;
        with --prefix-only the blocks before the damage, never a damaged block's output."""
        text = b"".join(b"%06d the blocks after a damaged one come back\n" % i for i in range(9000))
        self.write("src/t.txt", text)
        writers = {"python3": "python3 -c \"import zipfile; zipfile.ZipFile('../p.zip', 'w', 12, compresslevel=1).write('t.txt')\"",
                   "7z": "7z a -tzip -mm=BZip2 -mx=1 ../p.zip t.txt >/dev/null"}
        for tool, cmd in ((t, c) for t, c in writers.items() if shutil.which(t)):
            if os.path.exists(self.path("p.zip")):
                os.remove(self.path("p.zip"))
            subprocess.run(cmd, shell=True, cwd=self.path("src"), check=True)
            archive = self.read("p.zip")
            start = local_layout(archive, zipfile.ZipFile(self.path("p.zip")).infolist()[0])[0]
            bits = bin(int.from_bytes(archive[start:], "big"))[2:].zfill(8 * (len(archive) - start))
            blocks = [i for i in range(len(bits)) if bits.startswith(format(0x314159265359, "048b"), i)]
            end = bits.find(format(0x177245385090, "048b"))
            self.assertGreaterEqual(len(blocks), 4)
            for damage, at, kinds in (("third", blocks[2] // 8 + 30, ["known", "lost", "known"]), ("header", 1, ["lost", "known"]),
                                      ("first", blocks[0] // 8 + 30, ["lost", "known"]), ("end", None, None)):
                damaged = bytearray(archive[:start + end // 8 + 2] if at is None else archive)
                if at is not None:
                    damaged[start + at] ^= 0x55
                with self.subTest(tool=tool, damage=damage):
                    self.write("in/d.zip", bytes(damaged))
                    got = []
                    for args in (["--prefix-only"], ["--json"]):
                        shutil.rmtree(self.path("out"), True)
                        status, out, err = command(args + ["-f", "-o", self.path("out"), self.path("in/d.zip")])
                        self.assertIn("ERROR: File t.txt is corrupt.  Salvaged", err)
                        z = self.path("out/d.zip")
                        got.append(zipfile.ZipFile(z).read("t.txt") if os.path.exists(z) else b"")
                    prefix, whole = got
                    ranges = json.loads(out)["archives"][0]["entries"][0].get("resync", {"ranges": []})["ranges"]
                    self.assertTrue(text.startswith(prefix) and whole.startswith(prefix) and text.endswith(whole[len(prefix):]))
                    self.assertEqual([r["kind"] for r in ranges] or None, kinds, err)
                    lost = len(text) - len(whole)  # one level-1 block (100,000 bytes before its run-length step), or none
                    self.assertTrue(90000 < lost <= 100000 if damage in ("first", "third") else lost == 0, lost)
                    self.assertEqual(len(prefix), ranges[kinds.index("lost")]["offset"] if kinds else len(text))

if __name__ == "__main__":
    main()
