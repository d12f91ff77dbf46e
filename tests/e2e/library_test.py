#!/usr/bin/env python3
# RepairFile's contract through the public interface: the questions and the
# paths that come with them, backup names, file errors, the callback slots,
# progress and stopping at every progress report, passwords; the C
# interface's counts, entry reports, statuses and per-call state.
import ctypes
import os
import random
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from salvage import (LIB, SOURCE, zip_encrypted, _passes, Case, Run, check_valid, main, MessageFn, ALLOW_BACKUP_INPUT, NO_BACKUP_NAME_CHECK,
                     OVERWRITE, USE_EXISTING_BACKUP, EXTENSIONS)

DAMAGED, OLD = b"DAMAGED ARCHIVE BYTES", b"OLD OUTPUT"
BACKUP_EXISTS, INPUT_IS_BACKUP, ERR_BACKUP, OUTPUT_EXISTS, ERR_FILE, NO_INPUT = 5001, 5002, 5005, 5006, 3, 10


class Paths(Case):
    def expand(self, p):
        return None if p is None else self.path(p[2:]) if p.startswith("D/") else p

    def test_questions_come_back_before_anything_changes(self):
        cases = [  # files, input, output dir, flags, result, source, output
            (["a.zip", "a_BAK.zip"], "D/a.zip", None, 0, BACKUP_EXISTS, "D/a_BAK.zip", "D/a.zip"),
            (["a_BAK.zip"], "D/a_BAK.zip", None, 0, INPUT_IS_BACKUP, "D/a_BAK.zip", "D/a.zip"),
            (["a_BAK"], "D/a_BAK", None, 0, INPUT_IS_BACKUP, "D/a_BAK", "D/a"),
            (["a.zip", "out/a.zip"], "D/a.zip", "D/out", 0, OUTPUT_EXISTS, "D/a.zip", "D/out/a.zip"),
            (["a.zip", "out/a.zip"], "D/a.zip", "D/out/", 0, OUTPUT_EXISTS, "D/a.zip", "D/out/a.zip"),
            (["a.zip", "a_BAK.zip"], "D/a.zip", "D/out", 0, BACKUP_EXISTS, "D/a_BAK.zip", "D/out/a.zip"),
            (["a_BAK.zip", "out/a.zip"], "D/a_BAK.zip", "D/out", 0, INPUT_IS_BACKUP, "D/a_BAK.zip", "D/out/a.zip"),
            (["a_BAK.zip"], "D/a_BAK.zip", None, USE_EXISTING_BACKUP | OVERWRITE, INPUT_IS_BACKUP, "D/a_BAK.zip", "D/a.zip"),
            (["a.tar.gz", "a.tar_BAK.gz"], "D/a.tar.gz", None, 0, BACKUP_EXISTS, "D/a.tar_BAK.gz", "D/a.tar.gz"),
            (["d.x/a", "d.x/a_BAK"], "D/d.x/a", None, 0, BACKUP_EXISTS, "D/d.x/a_BAK", "D/d.x/a"),
            (["a.zip", "a_BAK.zip"], "D/a.zip", "", 0, BACKUP_EXISTS, "D/a_BAK.zip", "/a.zip"),  # "" is the root
        ]
        for n, (files, inp, out, flags, result, source, output) in enumerate(cases):
            with self.subTest(case=n):
                self.setUp()
                os.makedirs(self.path("out"))
                for f in files:
                    self.write(f, DAMAGED)
                run = Run(self.expand(inp), self.expand(out), flags)
                self.assertEqual((run.result, run.source, run.output, run.extra),
                                 (result, self.expand(source), self.expand(output), ""))
                self.assertEqual(run.messages, [])
                self.assertEqual([self.read(f) for f in files], [DAMAGED] * len(files))

    def test_in_place_backup_names(self):
        cases = [("a.zip", 0, "a_BAK.zip"), ("a_BAK.zip", NO_BACKUP_NAME_CHECK, "a_BAK_BAK.zip"),
                 ("a_bak.zip", 0, "a_bak_BAK.zip"), ("a_BAKE.zip", 0, "a_BAKE_BAK.zip"), ("a", 0, "a_BAK"),
                 ("d.x/a", 0, "d.x/a_BAK"), ("x_BAK.d/a", 0, "x_BAK.d/a_BAK"), (".zip", 0, "_BAK.zip")]
        cwd = os.getcwd()
        self.addCleanup(os.chdir, cwd)
        for inp, flags, backup in cases:
            with self.subTest(name=inp):
                self.setUp()
                os.chdir(self.dir)
                self.write(inp, DAMAGED)
                run = Run(inp, None, flags)  # relative, as a command line gives it
                self.assertEqual((run.result, run.source, run.output), (0, backup, inp))
                self.assertEqual(self.read(backup), DAMAGED)
                self.assertNotEqual(self.read(inp), DAMAGED)

    def test_in_place_then_again_from_the_backup(self):
        a = self.write("a.zip", DAMAGED)
        self.assertEqual(Run(a).texts(), ["Beginning salvage operations...", "No files found in archive.",
                                          "Salvage attempt complete", "  0 files found"])
        self.assertEqual(self.read("a_BAK.zip"), DAMAGED)
        self.write("a.zip", OLD)
        self.assertEqual(Run(a).result, BACKUP_EXISTS)
        self.assertEqual(self.read("a.zip"), OLD)
        run = Run(a, None, USE_EXISTING_BACKUP)
        self.assertEqual((run.result, run.source), (0, self.path("a_BAK.zip")))
        self.assertEqual(self.read("a_BAK.zip"), DAMAGED)
        self.assertNotEqual(self.read("a.zip"), OLD)
        self.assertFalse(os.path.exists(self.path("a_BAK_BAK.zip")))
        # A backup as input, answered: rebuilt under the plain name, replacing it without 5006.
        self.write("a.zip", OLD)
        run = Run(self.path("a_BAK.zip"), None, ALLOW_BACKUP_INPUT)
        self.assertEqual((run.result, run.output), (0, a))
        self.assertNotEqual(self.read("a.zip"), OLD)
        self.assertEqual(self.read("a_BAK.zip"), DAMAGED)

    def test_output_directory(self):
        a = self.write("a.zip", DAMAGED)
        os.makedirs(self.path("out"))
        self.assertEqual(Run(a, self.path("out/")).output, self.path("out/a.zip"))
        self.write("out/a.zip", OLD)
        self.assertEqual(Run(a, self.path("out")).result, OUTPUT_EXISTS)
        self.assertEqual(self.read("out/a.zip"), OLD)
        self.assertEqual(Run(a, self.path("out"), OVERWRITE).result, 0)
        self.assertNotEqual(self.read("out/a.zip"), OLD)
        self.assertEqual(self.read("a.zip"), DAMAGED)
        self.assertFalse(os.path.exists(self.path("a_BAK.zip")))
        # An output that is a link is replaced, never written through to what it points at.
        os.remove(self.path("out/a.zip"))
        os.symlink(self.write("victim", OLD), self.path("out/a.zip"))
        self.assertEqual(Run(a, self.path("out"), OVERWRITE).result, 0)
        self.assertEqual((self.read("victim"), os.path.islink(self.path("out/a.zip"))), (OLD, False))
        # The input's own directory spelt differently is in place: "replace" must not delete the input.
        os.makedirs(self.path("sub"))
        run = Run(a, self.path("sub/.."), OVERWRITE)
        self.assertEqual((run.result, run.source), (0, self.path("a_BAK.zip")))
        self.assertEqual(self.read("a_BAK.zip"), DAMAGED)
        self.assertTrue(os.path.exists(a))

    def test_file_errors_change_nothing(self):
        os.makedirs(self.path("out"))
        os.makedirs(self.path("sub.zip"))
        os.mkfifo(self.path("pipe.zip"))
        self.write("out/a.zip", OLD)
        self.write("b.zip", OLD)
        long_name = "/" + "a" * 4200
        cases = [("a.zip", None, 0), ("a.zip", "out", OVERWRITE), ("sub.zip", None, 0), ("pipe.zip", None, 0),
                 ("b_BAK.zip", None, ALLOW_BACKUP_INPUT), (long_name, None, 0),
                 ("b.zip", "/" + "c" * 4094, 0), (self.path("b" * (4093 - len(self.dir))), None, 0),
                 ("b.zip", "missing", 0), ("b.zip", "/proc", 0)]  # /proc: a directory that cannot take a file
        for inp, out, flags in cases:
            with self.subTest(input=inp[:20], out=(out or "")[:20]):
                run = Run(self.path(inp), out and self.path(out), flags)
                self.assertEqual((run.result, run.messages), (ERR_FILE, [(-1, "File Error")]))
                self.assertEqual(run.source, self.path(inp) if len(inp) < 4000 and out != "/" + "c" * 4094 else "")
        self.assertEqual((self.read("out/a.zip"), self.read("b.zip")), (OLD, OLD))
        self.assertEqual(sorted(os.listdir(self.dir)), ["b.zip", "out", "pipe.zip", "sub.zip"])

    def test_backup_that_cannot_be_made(self):
        a = self.write("a" * 251 + ".zip", DAMAGED)  # its backup name is too long for the file system
        run = Run(a)
        self.assertEqual((run.result, run.messages), (ERR_BACKUP, [(-1, "Error creating backup file")]))
        self.assertEqual(os.listdir(self.dir), [os.path.basename(a)])
        # The backup name held by a link to nothing: not a backup, and never replaced.
        b = self.write("b.zip", DAMAGED)
        os.symlink("nowhere", self.path("b_BAK.zip"))
        run = Run(b)
        self.assertEqual((run.result, run.messages), (ERR_BACKUP, [(-1, "Error creating backup file")]))
        self.assertEqual((self.read("b.zip"), os.readlink(self.path("b_BAK.zip"))), (DAMAGED, "nowhere"))

    def test_null_input_empties_the_paths(self):
        self.write("a.zip", DAMAGED)
        self.write("a_BAK.zip", DAMAGED)
        self.assertEqual(Run(self.path("a.zip")).result, BACKUP_EXISTS)
        run = Run(None)
        self.assertEqual((run.result, run.source, run.output, run.extra, run.messages), (NO_INPUT, "", "", "", []))
        LIB.GetFilePaths(None, None, None)  # any pointer may be left out


class Callbacks(Case):
    def stored_archive(self, sizes):
        p = self.path("in.zip")
        with zipfile.ZipFile(p, "w") as z:
            for i, size in enumerate(sizes):
                z.writestr("f%d.bin" % i, random.Random(i).randbytes(size))
        return p

    def test_slots_return_the_previous_address(self):
        a, b = MessageFn(lambda l, t: None), MessageFn(lambda l, t: None)
        pa, pb = ctypes.cast(a, ctypes.c_void_p).value, ctypes.cast(b, ctypes.c_void_p).value
        for setter in (LIB.SetMessageCallback, LIB.SetProgressCallback, LIB.SetPasswordCallback, LIB.SetNoticeCallback):
            self.assertEqual(setter(pa), None)
            self.assertEqual(setter(pb), pa)
            self.assertEqual(setter(0), pb)

    def test_progress_and_a_stop_at_every_report(self):
        inp = self.stored_archive([30000, 5, 60000, 0, 25000])
        os.makedirs(self.path("out"))
        whole = Run(inp, self.path("out"), OVERWRITE)
        size = os.path.getsize(inp)  # a report per 10,000 bytes read, in whole percent
        self.assertEqual(whole.progress, [k * 1000000 // size for k in range(1, size // 10000 + 1)])
        for stop in range(1, len(whole.progress) + 1):
            with self.subTest(stop=stop):
                # On every core (0x800) the same reports, messages and archive.
                runs = []
                for cores in (0, 0x800):
                    run = Run(inp, self.path("out"), OVERWRITE | EXTENSIONS | cores, stop_at=stop)
                    out = open(run.output, "rb").read()
                    runs.append((run.progress, run.texts(), out))
                self.assertEqual(runs[0], runs[1])
                if run.texts()[-1] == "Salvage Aborted":
                    # The entries before the one in hand, each with its data, and nothing more.
                    saved = [t.split(":")[0].strip() for t in run.texts()[1:-1]]
                    at = 0
                    for name in saved:
                        self.assertEqual(out[at:at + 4], b"PK\x03\x04")
                        n, e = int.from_bytes(out[at + 26:at + 28], "little"), int.from_bytes(out[at + 28:at + 30], "little")
                        self.assertEqual(out[at + 30:at + 30 + n].decode(), name)
                        at += 30 + n + e + int.from_bytes(out[at + 18:at + 22], "little")
                    self.assertEqual(at, len(out))
                    self.assertLess(len(saved), 5)
                else:  # no entry after the stop: the archive is completed
                    self.assertEqual(len(check_valid(self, run.output)), 5, run.dump())
                self.assertEqual(os.listdir(os.environ["TMPDIR"]), [])

    def test_passwords_remembered_and_asked_again(self):
        p = self.path("enc.zip")
        os.makedirs(self.path("src"))
        for i in range(3):
            self.write("src/f%d.txt" % i, "secret %d\n" % i * 50)
        zip_encrypted(self.path("src"), p, ["zip -q -X -P right ../enc.zip f0.txt f1.txt", "zip -q -X -P other ../enc.zip f2.txt"],
                      [b"wrong", b"right", b"x" * 39, b"other"])
        os.makedirs(self.path("out"))
        run = Run(p, self.path("out"), OVERWRITE, passwords=[b"wrong", b"right", b"x" * 39 + b"ignored", b"other"])
        self.assertEqual(run.asked, ["f0.txt", "f0.txt", "f2.txt", "f2.txt"])  # f1.txt: the remembered one fits
        self.assertEqual(run.notices, [("The entered password does not appear to be correct", "Incorrect Password", 0x10)] * 2)
        self.assertEqual([e[3] for e in check_valid(self, run.output)], [self.read("src/f%d.txt" % i) for i in range(3)])
        # Both are remembered for the next repair; without a callback nothing is asked.
        run = Run(p, self.path("out"), OVERWRITE)
        self.assertEqual(len(check_valid(self, run.output)), 3, run.dump())
        LIB.SetPasswordCallback(0)


class Passwords(Case):
    def test_wrong_password_passing_the_check_byte_gives_way(self):
        os.makedirs(self.path("src"))
        self.write("src/stored.txt", "stored text\n" * 50)
        self.write("src/deflated.txt", "deflated text\n" * 50)
        subprocess.run("zip -q -X -0 -P only-here ../w.zip stored.txt && zip -q -X -P only-here ../w.zip deflated.txt", shell=True,
                       cwd=self.path("src"), check=True)
        data = self.read("w.zip")
        info = zipfile.ZipFile(self.path("w.zip")).getinfo("stored.txt")
        wrong = next(w for w in (b"w%d" % i for i in range(100000)) if _passes(data, info, w))
        os.makedirs(self.path("out"))
        # Alone it decrypts to garbage, a damaged entry, and is not remembered.
        run = Run(self.path("w.zip"), self.path("out"), OVERWRITE, passwords=[wrong])
        self.assertTrue(run.texts()[1].startswith("ERROR: File stored.txt is corrupt.  CRC is "), run.dump())
        self.assertFalse([t for t in run.texts() if t.endswith(":  OK")], run.dump())
        # With the right one next, the entry is decoded again with it.
        run = Run(self.path("w.zip"), self.path("out"), OVERWRITE, passwords=[wrong, b"only-here"])
        self.assertEqual(run.asked, ["stored.txt", "stored.txt"])
        self.assertEqual([e[3] for e in check_valid(self, run.output)], [self.read("src/stored.txt"), self.read("src/deflated.txt")])


    def test_encrypted_without_passwords(self):
        os.makedirs(self.path("src"))
        self.write("src/a.txt", "plain\n" * 100)
        self.write("src/b.txt", "secret\n" * 100)
        os.system("cd '%s' && zip -q -X ../m.zip a.txt && zip -q -X -P pw ../m.zip b.txt" % self.path("src"))
        for answers in ([], None):  # the host skips; no host callback at all (no dialog here: a skip as well)
            run = Run(self.path("m.zip"), self.path("src"), OVERWRITE, passwords=answers)
            self.assertIn("ERROR (SKIPPING FILE): Cannot decrypt b.txt", run.texts(2))
            self.assertEqual((run.texts(2)[-1], run.notices), ("  1 undecryptable files", []), run.dump())
            self.assertEqual([e[0] for e in check_valid(self, run.output)], [b"a.txt"])


class Entry(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("name", ctypes.c_char_p), ("name_length", ctypes.c_size_t),
                ("name_utf8", ctypes.c_int), ("display_name", ctypes.c_char_p), ("method", ctypes.c_uint), ("encrypted", ctypes.c_int),
                ("offset", ctypes.c_ulonglong), ("compressed_size", ctypes.c_ulonglong),
                ("uncompressed_size", ctypes.c_ulonglong), ("verdict", ctypes.c_int), ("saved_size", ctypes.c_ulonglong)]


CMessageFn = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)
CProgressFn = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint)
CPasswordFn = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_char))
CEntryFn = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(Entry))


class Options(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("flags", ctypes.c_ulong), ("passwords", ctypes.POINTER(ctypes.c_char_p)),
                ("password_count", ctypes.c_size_t), ("user", ctypes.c_void_p), ("on_message", CMessageFn),
                ("on_progress", CProgressFn), ("on_password", CPasswordFn), ("on_notice", ctypes.c_void_p),
                ("on_entry", CEntryFn), ("workers", ctypes.c_uint)]


class Result(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("status", ctypes.c_int), ("code", ctypes.c_ulong), ("stopped", ctypes.c_int)] + \
               [(n, ctypes.c_long) for n in ("found", "intact", "partial", "lost", "unverified")] + \
               [("bytes_saved", ctypes.c_ulonglong), ("source", ctypes.c_char * 4096), ("output", ctypes.c_char * 4096)]


C_REPAIR = ctypes.CDLL(os.environ["ARCSALVE_LIB"]).arcsalve_repair
C_REPAIR.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(Options), ctypes.POINTER(Result)]
KEPT, RECOMPRESSED, PARTIAL, LOST, UNVERIFIED = range(5)


def c_repair(archive, out_dir=None, flags=0x20 | 0x40 | 0x80, passwords=(), asked=None, defaults=False, go_on=1,
             workers=0):
    """arcsalve_repair: (status, Result, [(name, method, offset, verdict, saved)], [message levels])."""
    entries, levels = [], []
    words = (ctypes.c_char_p * max(1, len(passwords)))(*passwords)
    opts = Options(ctypes.sizeof(Options), flags, words, len(passwords), None,
                   CMessageFn(lambda u, level, t: levels.append(level)), CProgressFn(lambda u, percent: go_on),
                   CPasswordFn(lambda u, name, buf: 0 if asked is None else asked.append(name) or 0), None,
                   CEntryFn(lambda u, e: entries.append((e[0].name, e[0].method, e[0].offset, e[0].verdict,
                                                         e[0].saved_size))), workers)
    res = Result(ctypes.sizeof(Result))
    enc = lambda p: None if p is None else os.fsencode(p)
    status = C_REPAIR(enc(archive), enc(out_dir), None if defaults else ctypes.byref(opts), ctypes.byref(res))
    return status, res, entries, levels


class CInterface(Case):
    def test_counts_entries_and_statuses(self):
        example = os.path.join(SOURCE, "examples", "damaged.zip")
        with open(example, "rb") as f:
            a = self.write("a.zip", f.read())
        # Test only: the same verdicts and status, and no file made, moved or changed (a temporary either).
        listing = lambda: sorted((d, f, open(os.path.join(d, f), "rb").read()) for d in (self.dir, os.environ["TMPDIR"])
                                 for f in os.listdir(d))
        before = listing()
        tested = c_repair(a, flags=0xE0 | 0x100)
        self.assertEqual(listing(), before)
        self.assertEqual((tested[0], tested[1].output, [e[3:] for e in tested[2]]),
                         (1, b"", [(KEPT, 68), (KEPT, 3120), (PARTIAL, 2923)]))
        status, res, _, _ = c_repair(a, defaults=True)  # options NULL: in place, the command's defaults
        self.assertEqual((status, res.status, res.found, res.intact, res.partial, res.lost, res.unverified, res.bytes_saved),
                         (1, 1, 3, 2, 1, 0, 0, 68 + 3120 + 2923))
        self.assertEqual((res.source, res.output), (os.fsencode(self.path("a_BAK.zip")), os.fsencode(a)))
        self.assertEqual(len(check_valid(self, a)), 3)
        # The entries as found, and the questions: nothing changes until answered.
        status, res, entries, levels = c_repair(self.path("a_BAK.zip"), self.out(), flags=0x20 | 0x40 | 0x80 | 0x04)
        self.assertEqual([(e[0], e[3], e[4]) for e in entries],
                         [(b"README.txt", KEPT, 68), (b"notes/todo.txt", KEPT, 3120), (b"notes/poem.txt", PARTIAL, 2923)])
        self.assertEqual(entries[0][1:3], (0, 0))
        self.assertEqual((status, levels.count(2) > 0), (1, True))
        for path, question in ((self.path("a_BAK.zip"), 5002), (a, 5001)):
            status, res, _, _ = c_repair(path, self.out(), 0x80)
            self.assertEqual((status, res.code, res.output), (5, question, os.fsencode(self.path("out", "a.zip"))))
        # Without the extensions every entry is compressed anew; nothing found is status 4, a missing file 3.
        status, res, entries, _ = c_repair(self.path("a_BAK.zip"), self.out(), 0x84 | OVERWRITE)
        self.assertEqual([e[3] for e in entries], [RECOMPRESSED, RECOMPRESSED, PARTIAL])
        self.write("text.zip", "no archive here")
        self.assertEqual(c_repair(self.path("text.zip"), self.out())[:2][0], 4)
        self.assertEqual(self.read("text.zip"), b"no archive here")
        self.assertEqual([c_repair(self.path("missing.zip"), self.out())[1].code, C_REPAIR(None, None, None, None)], [3, 2])
        # A stop at the first progress report (within the second entry) keeps the first.
        with zipfile.ZipFile(self.path("two.zip"), "w") as z:
            z.writestr("small", b"x" * 5)
            z.writestr("big", random.Random(1).randbytes(50000))
        for workers in (0, 2):
            status, res, entries, _ = c_repair(self.path("two.zip"), self.out(), 0xE0 | OVERWRITE, go_on=0, workers=workers)
            self.assertEqual((status, res.stopped, res.intact, [e[0] for e in entries]), (1, 1, 1, [b"small"]))

    def test_passwords_stay_within_the_call(self):
        os.makedirs(self.path("src"))
        for i in range(2):
            self.write("src/f%d.txt" % i, "secret %d\n" % i * 50)
        zip_encrypted(self.path("src"), self.path("e.zip"), ["zip -q -X -P right ../e.zip f0.txt f1.txt"], [b"wrong", b"right"])
        asked = []
        status, res, entries, _ = c_repair(self.path("e.zip"), self.out(), passwords=[b"wrong", b"right"], asked=asked)
        self.assertEqual((status, res.intact, asked), (0, 2, []))
        self.assertEqual([e[3] for e in entries], [RECOMPRESSED, RECOMPRESSED])
        # The next call remembers nothing: the host is asked, skips, and both are lost.
        status, res, entries, _ = c_repair(self.path("e.zip"), self.out(), 0xE2, asked=asked)
        self.assertEqual((status, res.lost, asked, [e[3] for e in entries]), (4, 2, [b"f0.txt", b"f1.txt"], [LOST, LOST]))


if __name__ == "__main__":
    main()
