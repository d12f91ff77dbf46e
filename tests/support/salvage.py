# Shared by the Python tests: the library through ctypes (its public
# functions only), the command, and the independent readers that judge a
# rebuilt archive (Python's zipfile, unzip -t, 7z when installed).
import atexit
import ctypes
import lzma
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib

CLI = os.environ["ARCSALVE_CLI"]
FIXTURES = os.environ["ARCSALVE_FIXTURES"]
SOURCE = os.environ["ARCSALVE_SOURCE"]
# The library's temporary file has a fixed name: each test process gets its
# own TMPDIR, set before anything runs.
os.environ["TMPDIR"] = tempfile.mkdtemp(prefix="arcsalve-py-")
atexit.register(shutil.rmtree, os.environ["TMPDIR"], True)
os.environ.pop("ARCSALVE_LANGUAGE", None)
_dll = ctypes.CDLL(os.environ["ARCSALVE_LIB"])


class LIB:
    """The exports, under their C++ (Itanium ABI) names."""
    RepairFile = _dll._Z10RepairFilePcS_mP6HWND__
    GetFilePaths = _dll._Z12GetFilePathsPPcS0_S0_
    SetMessageCallback = _dll._Z18SetMessageCallbackm
    SetProgressCallback = _dll._Z19SetProgressCallbackm
    SetPasswordCallback = _dll._Z19SetPasswordCallbackm
    SetNoticeCallback = _dll._Z17SetNoticeCallbackm


OVERWRITE, ALLOW_BACKUP_INPUT, NO_BACKUP_NAME_CHECK, USE_EXISTING_BACKUP = 0x02, 0x04, 0x08, 0x10
TRAILING, KEEP_INTACT, METADATA, RECOVERY, RESYNC = 0x20, 0x40, 0x200, 0x400, 0x1000
EXTENSIONS = TRAILING | KEEP_INTACT | METADATA | RECOVERY
# As the command sets them, but for RESYNC (the command's default too), which
# only the rows that test it set: elsewhere a damaged entry keeps its prefix.
MODES = {"default": EXTENSIONS, "recompress": EXTENSIONS & ~KEEP_INTACT, "classic": 0}

MessageFn = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p)
ProgressFn = ctypes.CFUNCTYPE(ctypes.c_ulong, ctypes.c_ulong)
PasswordFn = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_char))
NoticeFn = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong)
for name in ("SetMessageCallback", "SetProgressCallback", "SetPasswordCallback", "SetNoticeCallback"):
    getattr(LIB, name).restype = ctypes.c_void_p
    getattr(LIB, name).argtypes = [ctypes.c_void_p]
LIB.RepairFile.restype = ctypes.c_ulong
LIB.RepairFile.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_void_p]


def addr(fn):
    return ctypes.cast(fn, ctypes.c_void_p).value if fn else 0


class Run:
    """One RepairFile call with recording callbacks."""

    def __init__(self, source, out_dir=None, flags=0, stop_at=0, passwords=None):
        self.messages, self.progress, self.asked, self.notices = [], [], [], []
        answers = list(passwords or [])

        def on_message(level, text):
            self.messages.append((level, text.decode("utf-8", "surrogateescape")))

        def on_progress(percent):
            self.progress.append(percent)
            return 0 if stop_at and len(self.progress) >= stop_at else 1

        def on_password(parent, name, buffer):
            self.asked.append(name.decode("utf-8", "surrogateescape"))
            if not answers:
                return 0
            word = answers.pop(0)
            ctypes.memmove(buffer, word, min(len(word), 39))
            return 1

        def on_notice(owner, text, caption, flags):
            self.notices.append((text.decode(), caption.decode(), flags))

        keep = [MessageFn(on_message), ProgressFn(on_progress), PasswordFn(on_password), NoticeFn(on_notice)]
        LIB.SetMessageCallback(addr(keep[0]))
        LIB.SetProgressCallback(addr(keep[1]))
        LIB.SetPasswordCallback(addr(keep[2]) if passwords is not None else 0)
        LIB.SetNoticeCallback(addr(keep[3]))
        enc = lambda p: None if p is None else os.fsencode(p)
        self.result = LIB.RepairFile(enc(source), enc(out_dir), flags, None)
        for setter in (LIB.SetMessageCallback, LIB.SetProgressCallback, LIB.SetPasswordCallback, LIB.SetNoticeCallback):
            setter(0)
        self.source, self.output, self.extra = paths()

    def texts(self, level=None):
        return [t for l, t in self.messages if level is None or l == level]

    def dump(self):
        return "\n".join("%d|%s" % m for m in self.messages)


def paths():
    got = [ctypes.c_char_p() for _ in range(3)]
    LIB.GetFilePaths(*[ctypes.byref(p) for p in got])
    return [os.fsdecode(p.value or b"") for p in got]


def command(args, cwd=None, stdin=b"", env=None):
    """Runs the command; returns (status, stdout, stderr) as text."""
    full = dict(os.environ, **(env or {}))
    p = subprocess.run([CLI] + list(args), cwd=cwd, input=stdin, capture_output=True, env=full, timeout=120)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def zstd_decompress(data):
    """Zstandard frames through the zstd command (zipfile has no Zstandard)."""
    return subprocess.run(["zstd", "-d", "-q", "-c"], input=data, capture_output=True).stdout


def read_entry(z, info):
    """zipfile's reading; Deflate64 by unzip; xz and Zstandard decoded here, with their CRC-32 checked; the compressed
    bytes as they stand for other methods zipfile lacks (PPMd, unknown numbers)."""
    if info.compress_type in (0, 8, 12, 14):  # a CRC-32 that does not match raises
        return z.read(info)
    if info.compress_type == 9:  # unzip -p checks the CRC-32, gives all entries of the name
        data = subprocess.run(["unzip", "-p", z.filename, info.filename], capture_output=True, check=True).stdout
        return data[:len(data) // [i.filename for i in z.infolist()].count(info.filename)]
    raw = zipfile.ZipInfo(info.filename)
    raw.header_offset, raw.compress_size, raw.file_size, raw.flag_bits = \
        info.header_offset, info.compress_size, info.compress_size, info.flag_bits & ~1
    data = z.open(raw).read()
    plain = {95: lambda d: lzma.decompress(d, lzma.FORMAT_XZ), 93: zstd_decompress}.get(info.compress_type)
    if plain is None:
        return data
    data = plain(data)
    if zlib.crc32(data) != info.CRC:
        raise zipfile.BadZipFile("CRC-32 of %s" % info.filename)
    return data


def read_zip(path):
    """Every entry as Python's zipfile reads it: [(raw name, flag bits, method, data)]; raises on damage."""
    with zipfile.ZipFile(path) as z:
        return [(i.orig_filename.encode("utf-8" if i.flag_bits & 0x800 else "cp437"), i.flag_bits,
                 i.compress_type, read_entry(z, i)) for i in z.infolist()]


def check_valid(test, path):
    """zipfile, unzip -t and (when installed) 7z all accept the archive; returns zipfile's entries."""
    entries = read_zip(path)
    p = subprocess.run(["unzip", "-t", "-qq", path], capture_output=True)
    # unzip reads stored, deflated, Deflate64 and bzip2 data; of other entries it says "skipping" (status 81).
    unzip_reads = all(e[2] in (0, 8, 9, 12) for e in entries)
    test.assertEqual(p.returncode, (0 if entries else 1) if unzip_reads else 81, p.stdout + p.stderr)
    if entries and shutil.which("7z"):
        p = subprocess.run(["7z", "t", "-p-", path], capture_output=True)
        test.assertEqual(p.returncode, 0, p.stdout[-400:])
    return entries


def zip_encrypted(src_dir, archive, commands, passwords):
    """Runs the `zip -P` commands in src_dir, writing `archive`, until each encrypted entry has exactly
    one of `passwords` passing its check byte: a wrong password passes it 1 or 2 times in 256 (the
    encryption header is random), and the tests must not depend on that draw."""
    for _ in range(50):
        if os.path.exists(archive):
            os.remove(archive)
        for c in commands:
            subprocess.run(c, shell=True, cwd=src_dir, check=True)
        with open(archive, "rb") as f:
            data = f.read()
        infos = [i for i in zipfile.ZipFile(archive).infolist() if i.flag_bits & 1]
        if all(sum(_passes(data, i, p) for p in passwords) == 1 for i in infos):
            return
    raise AssertionError("every archive let a wrong password through")


def _passes(data, info, password):
    """The library's check: the header's last byte, decrypted, is the CRC's high byte, or with
    bit 3 the file time's."""
    at = info.header_offset + 30 + int.from_bytes(data[info.header_offset + 26:info.header_offset + 28], "little") + \
        int.from_bytes(data[info.header_offset + 28:info.header_offset + 30], "little")
    last = zipfile._ZipDecrypter(password)(data[at:at + 12])[11]
    return last == info.CRC >> 24 or bool(info.flag_bits & 8) and last == info._raw_time >> 8


class Case(unittest.TestCase):
    """A test with a scratch directory of its own."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="arcsalve-t-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, data):
        p = self.path(name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return p

    def out(self):
        """The output directory of the repairs (never the input's own: that would be in place)."""
        os.makedirs(self.path("out"), exist_ok=True)
        return self.path("out")

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()


def main():
    import warnings
    warnings.simplefilter("ignore", ResourceWarning)
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=1)
