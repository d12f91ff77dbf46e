#!/usr/bin/env python3
# Entries past 4 GiB, with ARCSALVE_HUGE_TESTS=1 (else skipped): 2.5 GB stored and 4.5 GB deflated, kept and
# compressed anew, into a ZIP64 archive that zipfile (CRC-32s streamed), 7z and unzip read; needs 8 GB of TMPDIR.
import os, subprocess, sys, tempfile, zipfile

SIZES, CHUNK = {"video.bin": (2_500_000_000, zipfile.ZIP_STORED), "disk.img": (4_500_000_000, zipfile.ZIP_DEFLATED)}, 1 << 20

if os.environ.get("ARCSALVE_HUGE_TESTS") != "1": sys.exit(77)
with tempfile.TemporaryDirectory() as scratch:
    source, out, result, timing = (os.path.join(scratch, n) for n in ("huge.zip", "out", "out/huge.zip", "time"))
    with zipfile.ZipFile(source, "w") as z:
        for name, (size, method) in SIZES.items():  # numbered lines, each MiB numbered too
            body = b"".join(b"%s line %08d\n" % (name.encode(), i) for i in range(CHUNK // 16))[:CHUNK - 16]
            z.compression = method
            with z.open(name, "w", force_zip64=True) as w:
                w.writelines((b"%015d\n" % k + body)[:size - k] for k in range(0, size, CHUNK))
        recorded = {i.filename: (i.file_size, i.CRC, True) for i in z.infolist()}
    for mode in ([], ["--classic"]):
        subprocess.run(["/usr/bin/time", "-o", timing, "-f", "%e s, %U s user, %S s system, %M KB peak", os.environ["ARCSALVE_CLI"],
                        "-o", out, "-f", "--no-progress", *mode, source], check=True, env=dict(os.environ, TMPDIR=scratch))
        print(mode, open(timing).read().strip(), "; %d bytes, rebuilt %d" % (os.path.getsize(source), os.path.getsize(result)))
        with zipfile.ZipFile(result) as z:
            assert {i.filename: (i.file_size, i.CRC, i.file_size < 1 << 32 or i.extract_version == 45) for i in z.infolist()} == recorded
            for i in z.infolist():
                with z.open(i) as f:  # read to the end: zipfile checks the size and CRC-32
                    while f.read(CHUNK): pass
        assert subprocess.run(["tail", "-c", "98", result], capture_output=True).stdout[:4] == b"PK\x06\x06"
        [subprocess.run(reader + [result], check=True, stdout=subprocess.DEVNULL) for reader in (["7z", "t"], ["unzip", "-tq"])]
        os.unlink(result)
