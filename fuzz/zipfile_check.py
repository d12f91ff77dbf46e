#!/usr/bin/env python3
"""Second opinion on a fuzz corpus: repairs every input with the arcsalve
command and reads each rebuilt archive with Python's zipfile (testzip, then
every entry). The fuzz target judges its outputs with the tests' strict
reader, which is quick enough to run on every input; this script gives the
corpus an independent reader now and then.

usage: zipfile_check.py ARCSALVE [--classic | --recompress] INPUT...
"""
import os
import subprocess
import sys
import tempfile
import zipfile


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    command, args = sys.argv[1], sys.argv[2:]
    flags = [a for a in args if a in ("--classic", "--recompress")]
    inputs = [a for a in args if a not in flags]
    bad = archives = 0
    with tempfile.TemporaryDirectory() as scratch:
        env = dict(os.environ, TMPDIR=scratch)  # the library's temporary file
        out = os.path.join(scratch, "out")
        os.mkdir(out)
        for path in inputs:
            for name in os.listdir(out):
                os.unlink(os.path.join(out, name))
            # The passwords of the test archives, so encrypted entries decode.
            run = subprocess.run([command, *flags, "-q", "-f", "--no-progress", "--no-prompt",
                                  "-p", "secret", "-p", "pw", "-o", out, path],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, timeout=300)
            made = [os.path.join(out, name) for name in os.listdir(out)]
            if run.returncode not in (0, 1, 4) or not made:
                print("exit %d, %d archives: %s" % (run.returncode, len(made), path))
                bad += 1
                continue
            for archive in made:
                archives += 1
                try:
                    with zipfile.ZipFile(archive) as z:
                        if z.testzip() is not None:
                            raise ValueError("testzip: CRC-32 mismatch")
                        for info in z.infolist():
                            z.read(info)
                except Exception as e:  # any refusal counts
                    print("refused (%s): %s" % (e, path))
                    bad += 1
    print("%d inputs, %d archives read, %d bad (%s)" % (len(inputs), archives, bad, " ".join(flags) or "default"))
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
