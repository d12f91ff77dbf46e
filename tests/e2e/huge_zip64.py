#!/usr/bin/env python3
# With ARCSALVE_HUGE_TESTS=1: 2.5 GB stored, 4.5 GB deflated by zipfile, by Info-ZIP from pipe to pipe (bit 3), and of Zstandard,
# kept and compressed anew into ZIP64 archives that zipfile (CRC-32s streamed), 7z and unzip read. Needs 10 GB of TMPDIR.
import os, struct, subprocess, sys, tempfile, zipfile, zlib

CHUNK, BIG = 1 << 20, 4_500_000_000

def chunks(name, size):  # numbered lines, each MiB numbered too
    body = b"".join(b"%s line %08d\n" % (name.encode(), i) for i in range(CHUNK // 16))[:CHUNK - 16]
    return ((b"%015d\n" % k + body)[:size - k] for k in range(0, size, CHUNK))

def piped(command, name, out):  # BIG bytes through the command into out: their size and CRC-32
    p, crc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=out), 0
    for c in chunks(name, BIG):
        p.stdin.write(c)
        crc = zlib.crc32(c, crc)
    p.communicate()
    assert p.returncode == 0, command
    return {name: (BIG, crc, True)}

def zipfile_row(source):
    with zipfile.ZipFile(source, "w") as z:
        for name, size, z.compression in (("video.bin", 2_500_000_000, zipfile.ZIP_STORED), ("disk.img", BIG, zipfile.ZIP_DEFLATED)):
            with z.open(name, "w", force_zip64=True) as w: w.writelines(chunks(name, size))
    return {i.filename: (i.file_size, i.CRC, True) for i in z.infolist()}

def zstd_row(source):  # the frame behind room for its local header, whose ZIP64 block then gets the sizes; no directory
    with open(source, "wb") as f:
        f.seek(57)
        recorded = piped(["zstd", "-1", "-q", "-c"], "log.txt", f)
        os.pwrite(f.fileno(), struct.pack("<IHHHHHIIIHH7sHHQQ", 0x04034B50, 63, 0, 93, 0, 0x21, recorded["log.txt"][1], 0xFFFFFFFF,
                                          0xFFFFFFFF, 7, 20, b"log.txt", 1, 16, BIG, os.path.getsize(source) - 57), 0)
    return recorded

if os.environ.get("ARCSALVE_HUGE_TESTS") != "1": sys.exit(77)
with tempfile.TemporaryDirectory() as scratch:
    source, out, result = (os.path.join(scratch, n) for n in ("huge.zip", "out", "out/huge.zip"))
    for recorded in (make(source) for make in (zipfile_row, lambda s: piped(["zip", "-q", "-1", "-", "-"], "-", open(s, "wb")), zstd_row)):
        for mode in ([], ["--classic"]):
            subprocess.run(["/usr/bin/time", "-f", "%s %s: %%e s, %%U s user, %%S s system, %%M KB peak" % (list(recorded), mode),
                            os.environ["ARCSALVE_CLI"], "-o", out, "-f", "--no-progress", *mode, source], check=True, env=dict(os.environ, TMPDIR=scratch))
            with zipfile.ZipFile(result) as z:
                assert {i.filename: (i.file_size, i.CRC, i.file_size < 1 << 32 or i.extract_version >= 45) for i in z.infolist()} == recorded
                readable = all(i.compress_type in (0, 8) for i in z.infolist())  # zipfile, 7z and unzip know no Zstandard
                for i in z.infolist() if readable else ():
                    with z.open(i) as f:  # read to the end: zipfile checks the size and CRC-32
                        while f.read(CHUNK): pass
            assert subprocess.run(["tail", "-c", "98", result], capture_output=True).stdout[:4] == b"PK\x06\x06"
            [subprocess.run(reader + [result], check=True, stdout=subprocess.DEVNULL) for reader in (["7z", "t"], ["unzip", "-tq"]) if readable]
