#!/usr/bin/env python3
# The arcsalve command, checked against its exact output and exit status:
# without a terminal (standard input a file), with passwords from -p and
# --password-file, and on a pseudo-terminal, where it asks its questions,
# draws colour and stops at Ctrl-C.
import fcntl
import io
import json
import os
import pty
import re
import resource
import select
import signal
import subprocess
import sys
import termios
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from salvage import CLI, SOURCE, Case, check_valid, command, main, zip_encrypted

DAMAGED, OLD = "DAMAGED ARCHIVE BYTES", "OLD OUTPUT"
TRY = "Try 'arcsalve --help' for more information.\n"
PROMPT = b"(Enter to skip, Ctrl-D to skip all): "


class Command(Case):
    def setUp(self):
        super().setUp()
        os.makedirs(self.path("tmp"))

    def run_cli(self, *args, stdin=b"", env=None):
        env = dict(env or {}, TMPDIR=self.path("tmp"))
        result = command(args, cwd=self.dir, stdin=stdin, env=env)
        self.assertEqual(os.listdir(self.path("tmp")), [], "the private temporary directory was left")
        return result

    def stored(self, name, files):
        with zipfile.ZipFile(self.path(name), "w") as z:
            for n, data in files:
                z.writestr(n, data)

    def test_help_version_and_usage_errors(self):
        for option in ("--help", "-h"):
            status, out, err = self.run_cli(option)
            self.assertTrue(out.startswith("Usage: arcsalve [OPTION]... ARCHIVE...\n"))
            self.assertIn("    5  a question (backup, overwrite) was not answered with yes\n", out)
            self.assertEqual((status, err), (0, ""))
        status, out, err = self.run_cli("--version")
        self.assertEqual((status, out[:9], err), (0, "arcsalve ", ""))
        self.write("a.zip", DAMAGED)
        for args, first in [((), "no archive given"), (("--bogus", "a.zip"), "unknown option: --bogus"),
                            (("-x", "a.zip"), "unknown option: -x"), (("-qx", "a.zip"), "unknown option: -x"),
                            (("a.zip", "-o"), "option needs a value: -o"),
                            (("-o", "a.zip", "a.zip"), "not a directory: a.zip"),
                            (("-o", "", "a.zip"), "not a directory: ''"),
                            (("-j", "0", "a.zip"), "not a number of threads (1 to 64): 0"),
                            (("--password-file", "none.txt", "a.zip"),
                             "cannot read password file none.txt: No such file or directory")]:
            self.assertEqual(self.run_cli(*args), (2, "", "arcsalve: " + first + "\n" + (TRY if "password" not in first else "")))
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.zip", "tmp"])

    def test_environment(self):
        os.makedirs(self.path("out"))
        example = os.path.join(SOURCE, "examples", "damaged.zip")
        want = self.run_cli("-f", "-o", "out", example)
        self.assertEqual(want[0], 1)
        env = dict(os.environ)
        env.pop("TMPDIR")
        p = subprocess.run([CLI, "-f", "-o", "out", example], cwd=self.dir, capture_output=True, env=env)
        self.assertEqual((p.returncode, p.stdout.decode(), p.stderr.decode()), want)  # TMPDIR unset: /tmp
        # Standard input closed: the archive is the first file opened, as descriptor 0.
        p = subprocess.run([CLI, "-f", "-o", "out", example], cwd=self.dir, capture_output=True, preexec_fn=lambda: os.close(0))
        self.assertEqual((p.returncode, p.stdout.decode(), p.stderr.decode()), want)
        # A read that fails (/proc/self/mem at offset 0: an I/O error) ends the input like its end.
        p = subprocess.run([CLI, "-o", "out", "/proc/self/mem"], cwd=self.dir, capture_output=True, timeout=60)
        self.assertEqual((p.returncode, p.stderr.decode().split("\n")[0]), (4, "error: No files found in archive."))
        # A file size limit makes every write past it fail, as a full disk does.
        self.stored("big.zip", [("f%d" % i, bytes(30000)) for i in range(5)])

        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (70000, 70000))
        p = subprocess.run([CLI, "-f", "-o", "out", "big.zip"], cwd=self.dir, capture_output=True, preexec_fn=limit, timeout=60)
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr.decode().count("ERROR (STOPPED): A write failed (is the disk full?); nothing more can be saved\n"), 1)

    def test_unreadable_archives(self):
        os.makedirs(self.path("dir.zip"))
        os.makedirs(self.path("out/x.zip"))
        long_name, longest = "n" * 5000 + ".zip", "n" * 250 + ".zip"  # (NAME_BAK.zip, NAME.arcsalve: too long)
        for name in ("x.zip", longest):
            self.stored(name, [("a", "b")])
        # The reason alone, first: what the library said ("File Error") is not shown.
        for args, line in [(["missing.zip"], "missing.zip: No such file or directory"), (["dir.zip"], "dir.zip: not a regular file"),
                           ([long_name], long_name + ": name too long"),
                           (["-f", "-o", "out", "x.zip"], "x.zip: cannot create the rebuilt archive out/x.zip: Is a directory"),
                           (["-o", "out", longest], "%s: cannot create the rebuilt archive out/%s: File name too long" % (longest, longest)),
                           ([longest], "%s: cannot move it to %s_BAK.zip: File name too long; nothing was changed (-o DIR repairs "
                                       "into another directory)" % (longest, longest[:-4]))]:
            self.assertEqual(self.run_cli("-q", *args), (3, "", "arcsalve: " + line + "\n"))
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(["dir.zip", "out", "tmp", "x.zip", longest]))
        self.assertEqual(os.listdir(self.path("out")), ["x.zip"])

    def test_questions_without_a_terminal(self):
        self.write("a.zip", DAMAGED)
        self.write("a_BAK.zip", OLD)
        self.assertEqual(self.run_cli("a.zip"), (5, "", "arcsalve: a.zip: the backup a_BAK.zip already exists; "
                                                        "--use-backup salvages from it again (replaces a.zip)\n"))
        self.assertEqual(self.read("a.zip"), DAMAGED.encode())
        status, out, err = self.run_cli("--use-backup", "a.zip")
        self.assertEqual(status, 4)  # the backup holds no archive: nothing is replaced
        self.assertTrue(err.endswith("arcsalve: a.zip: nothing could be salvaged; the file was left as it was\n"), err)
        self.assertEqual((self.read("a_BAK.zip"), self.read("a.zip")), (OLD.encode(), DAMAGED.encode()))
        self.assertEqual(self.run_cli("--no-prompt", "a_BAK.zip"),
                         (5, "", "arcsalve: a_BAK.zip: the name marks a backup; --from-backup salvages it into a.zip "
                                 "(it exists: --force lets it be replaced), --no-backup-name-check treats the name as ordinary\n"))
        self.assertEqual(self.run_cli("--no-backup-name-check", "-q", "a_BAK.zip")[:2], (4, ""))
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.zip", "a_BAK.zip", "tmp"])
        os.makedirs(self.path("out"))
        self.stored("b.zip", [("b.txt", "b")])
        self.write("out/b.zip", OLD)
        self.assertEqual(self.run_cli("-o", "out", "b.zip"), (5, "", "arcsalve: out/b.zip already exists; --force replaces it\n"))
        self.assertEqual(self.run_cli("-o", "out", "--force", "b.zip")[0], 0)
        self.assertNotEqual(self.read("out/b.zip"), OLD.encode())
        self.assertFalse(os.path.exists(self.path("b_BAK.zip")))
        # Several archives: each is tried, headed by its name; the highest status wins.
        self.assertEqual(self.run_cli("missing.zip", "a.zip"),
                         (5, "==> missing.zip <==\n\n==> a.zip <==\n",
                          "arcsalve: missing.zip: No such file or directory\n"
                          "arcsalve: a.zip: the backup a_BAK.zip already exists; --use-backup salvages from it again (replaces a.zip)\n"))

    def test_outcomes_of_a_repair(self):
        self.stored("intact.zip", [("a.txt", "first file\n"), ("b.txt", "second file\n")])
        self.assertEqual(self.run_cli("intact.zip"), (0, "Beginning salvage operations...\n    a.txt: size = 11:  OK\n"
                                                         "    b.txt: size = 12:  OK\nSalvage attempt complete\n  2 files found\n"
                                                         "Salvaged data stored in intact.zip\nDamaged archive kept as intact_BAK.zip\n", ""))
        os.makedirs(self.path("out"))
        self.assertEqual(self.run_cli("-o", "out", os.path.join(SOURCE, "examples", "damaged.zip")),
                         (1, "Beginning salvage operations...\n    README.txt: size = 68:  OK\n    notes/todo.txt: size = 3120:  OK\n"
                             "Salvage attempt complete\n  3 files found\nSalvaged data stored in out/damaged.zip\n",
                          "ERROR: File notes/poem.txt is corrupt.  Salvaged 2923 of 9252\nerror: 1 partially recoverable files\n"))
        self.write("garbage.zip", DAMAGED)
        self.assertEqual(self.run_cli("-q", "garbage.zip"), (4, "", "error: No files found in archive.\n"
                                                                 "arcsalve: garbage.zip: nothing could be salvaged; the file was left as it was\n"))
        # Over several archives with -q, warnings and errors name their archive. A size the library does not know
        # (a streamed entry cut before its descriptor: 0 in its header) is shown as unknown.
        data = io.BytesIO()
        with zipfile.ZipFile(data, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("s.txt", "".join("line %d\n" % i for i in range(3000)))
        data = bytearray(data.getvalue())
        data[6] |= 8  # streamed: CRC-32 and sizes after the data
        data[14:26] = bytes(12)
        self.write("s.zip", bytes(data[:len(data) // 2]))
        self.assertRegex("%d%r%s" % self.run_cli("-q", "-f", "-o", "out", "s.zip", "garbage.zip"),  # status, no output
                         r"^4''s\.zip: ERROR: File s\.txt is corrupt\.  Salvaged \d+ of unknown size\ns\.zip: error: 1 partially "
                         r"recoverable files\ngarbage\.zip: error: No files found in archive\.\narcsalve: garbage\.zip: nothing")
        # Threads change nothing: over intact, damaged and streamed entries -j 2 writes and says what -j 1 does.
        mixed = io.BytesIO()
        with zipfile.ZipFile(mixed, "w", zipfile.ZIP_DEFLATED) as z:
            for n in range(8):
                z.writestr("f%d" % n, "".join("%d %d\n" % (n, i) for i in range(3000 * n)))
            for n in range(60):  # small entries, which a worker takes several at a time (the tiny, the scan)
                z.writestr("t%d" % n, bytes(range(n, 256)) * (n % 3))
        mixed = bytearray(mixed.getvalue())
        mixed[len(mixed) // 2] ^= 0xFF
        self.write("mixed.zip", bytes(mixed) + bytes(data) + bytes(mixed))
        runs = [(self.run_cli("-v", "-f", "-j", j, "-o", "out", "mixed.zip"), self.read("out/mixed.zip")) for j in "12"]
        self.assertEqual((runs[0], runs[0][0][1].count("intact, kept"), runs[0][0][0]), (runs[1], 134, 1))
        # Texts from a catalogue, those it lacks as built in.
        self.write("lang.txt", "17\tD\u00e9but du sauvetage...\n")
        lang = {"ARCSALVE_LANGUAGE": self.path("lang.txt")}
        self.write("g.zip", DAMAGED)
        self.assertTrue(self.run_cli("g.zip", env=lang)[1].startswith("D\u00e9but du sauvetage...\nSalvage attempt complete\n"))
        # Names are shown with control characters and broken UTF-8 escaped.
        self.stored("names.zip", [("a\x1b[31m\u202e.txt", "x"), ("b\x7f\u00e9.txt", "y")])  # both flagged UTF-8
        self.write("names.zip", self.read("names.zip").replace(b"b\x7f\xc3", b"\xff\x7f\xc3"))
        self.assertEqual(self.run_cli("-o", "out", "names.zip")[1].splitlines()[1:3],
                         ["    a\\x1B[31m\\u202E.txt: size = 1:  OK", "    \xa0\\x7F\u251c\u2310.txt: size = 1:  OK"])
        # (a flagged name that is not UTF-8 reads as CP437); broken UTF-8 in an argument is escaped.
        os.rename(self.path("names.zip"), os.path.join(os.fsencode(self.dir), b"\xff.zip"))
        self.assertTrue(self.run_cli("-o", "out", b"\xff.zip")[1].endswith("Salvaged data stored in out/\\xFF.zip\n"))

    def test_test_list_and_json(self):
        with open(os.path.join(SOURCE, "examples", "damaged.zip"), "rb") as f:
            self.write("a.zip", f.read())
        self.write("garbage.zip", DAMAGED)
        files = lambda: sorted((root, n, open(os.path.join(root, n), "rb").read()) for root, _, names in os.walk(self.dir)
                               for n in names)
        before = files()
        # A test writes nothing (no -o folder, no temporary) and exits as the repair does.
        for args, status in [(["-t", "a.zip"], 1), (["--test", "-o", "new", "a.zip"], 1), (["-t", "garbage.zip"], 4),
                             (["-t", "missing.zip"], 3)]:
            got = self.run_cli(*args)
            self.assertEqual((got[0], "stored in" in got[1], files()), (status, False, before), args)
        listing = ["Method       Compressed         Size       Offset  Verdict                Name",
                   "stored               68           68            0  intact, kept           README.txt",
                   "deflated            295         3120          108  intact, kept           notes/todo.txt",
                   "deflated            428         9252          447  partial, 2923 bytes    notes/poem.txt"]
        self.assertEqual(self.run_cli("-q", "-l", "a.zip")[:2], (1, "\n".join(listing) + "\n"))
        self.assertEqual(self.run_cli("-v", "--classic", "-o", "out", "a.zip")[1].splitlines()[-3:],
                         [l.replace("intact, kept         ", "intact, re-compressed") for l in listing[1:]])
        # JSON: the report alone on standard output; names are bytes, escaped so that they come back whole.
        self.stored("names.zip", [("a\x1b\u202e\".txt", "x"), ("b\u00e9.txt", "y")])
        self.write("names.zip", self.read("names.zip").replace(b"b\xc3\xa9", b"b\xff\xa9"))
        status, out, err = self.run_cli("--json", "-o", "out2", "a.zip", "names.zip", "garbage.zip")
        report = json.loads(out)
        self.assertEqual((status, report["status"], [a["status"] for a in report["archives"]]), (4, 4, [1, 0, 4]))
        a, names = report["archives"][:2]
        self.assertEqual((a["input"], a["output"], a["entries_found"], a["entries_intact"], a["entries_partial"], a["bytes_saved"]),
                         ("a.zip", "out2/a.zip", 3, 2, 1, 6111))
        self.assertEqual([(e["name"], e["method_name"], e["offset"], e["verdict"], e["saved_size"]) for e in a["entries"]],
                         [("README.txt", "stored", 0, "kept", 68), ("notes/todo.txt", "deflated", 108, "kept", 3120),
                          ("notes/poem.txt", "deflated", 447, "partial", 2923)])
        self.assertEqual([e["name"].encode("utf-8", "surrogateescape") for e in names["entries"]],
                         ["a\x1b\u202e\".txt".encode(), b"b\xff\xa9.txt"])
        self.assertIn("Beginning salvage operations...", err)

    def test_what_the_central_directory_keeps(self):
        """Modes, links, comments and the writer's host survive a repair; Info-ZIP then reads them as written."""
        os.makedirs(self.path("src"))
        self.write("src/run.sh", "#!/bin/sh\necho hi\n")
        os.chmod(self.path("src/run.sh"), 0o755)
        os.symlink("run.sh", self.path("src/link"))
        self.write("src/na\u00efve.txt", "caf\u00e9\n")
        subprocess.run("cd src && zip -q -y ../info.zip run.sh link na\u00efve.txt && cd .. && echo archive words | "
                       "zip -q -z info.zip && echo about run | zip -q -c info.zip run.sh", shell=True, check=True, cwd=self.dir)
        with zipfile.ZipFile(self.path("py.zip"), "w") as z:
            z.comment = b"python archive"
            info = zipfile.ZipInfo("tool")
            info.create_system, info.external_attr, info.comment = 3, 0o100750 << 16, b"a tool"
            z.writestr(info, b"#!/bin/sh\n")
        self.write("zeroed.zip", bytes(30) + self.read("info.zip")[30:])  # run.sh's local header lost: found through its record
        os.makedirs(self.path("out"))
        info_entries = {"run.sh": (0o100755, b"about run"), "link": (0o120777, b"")}
        for name, comment, entries in [("info.zip", b"archive words", info_entries), ("zeroed.zip", b"archive words", info_entries),
                                       ("py.zip", b"python archive", {"tool": (0o100750, b"a tool")})]:
            self.assertEqual(self.run_cli("-q", "-o", "out", name), (0, "", ""))
            z = zipfile.ZipFile(self.path("out", name))
            self.assertEqual(z.comment, comment)
            for entry, (mode, text) in entries.items():
                info = z.getinfo(entry)
                self.assertEqual((info.create_system, info.external_attr >> 16, info.comment), (3, mode, text))
        for name in ("info.zip", "zeroed.zip"):  # Info-ZIP's own listings, in the input's order
            listing = subprocess.run(["unzip", "-Z", self.path("out", name)], capture_output=True).stdout.decode()
            lines = [(l.split()[0], l.split()[-1]) for l in listing.splitlines()[2:-1]]
            self.assertEqual((lines[:2], lines[2][1]), ([("-rwxr-xr-x", "run.sh"), ("lrwxrwxrwx", "link")], "na\u00efve.txt"), listing)
            listing = subprocess.run(["unzip", "-l", self.path("out", name)], capture_output=True).stdout.decode()
            self.assertIn(" na\u00efve.txt\n", listing)
        report = json.loads(self.run_cli("--json", "-t", "zeroed.zip")[1])
        self.assertEqual({e["name"]: e["found_by"] for e in report["archives"][0]["entries"]},
                         {"run.sh": "central_directory", "link": "local_header", "na\u00efve.txt": "local_header"})
        subprocess.run(["unzip", "-q", self.path("out", "info.zip"), "-d", self.path("x")], check=True)
        self.assertEqual((os.readlink(self.path("x/link")), os.stat(self.path("x/run.sh")).st_mode & 0o777), ("run.sh", 0o755))

    def test_passwords(self):
        os.makedirs(self.path("src"))
        plain = {"doc%d.txt" % i: ("text %d\n" % i) * (200 + 100 * i) for i in range(3)}
        plain.update({"other.txt": "other\n" * 50, "plain.txt": "plain\n" * 20})
        for n, d in plain.items():
            self.write("src/" + n, d)
        zip_encrypted(self.path("src"), self.path("d.zip"), ["zip -q -X -P 'open sesame' ../d.zip doc0.txt doc1.txt doc2.txt",
                      "zip -q -X -P second ../d.zip other.txt", "zip -q -X ../d.zip plain.txt"],
                      [b"open sesame", b"second", b"nope", b"wrong", b"also-wrong", b"x" * 39])
        data = open(self.path("d.zip"), "rb").read()
        self.write("damaged.zip", data[:data.index(b"PK\x01\x02")])  # the central directory cut off
        self.write("pw.txt", "nope\n\nsecond\r\n")
        os.makedirs(self.path("out"))
        names = lambda: [e[0].decode() for e in check_valid(self, self.path("out/damaged.zip"))]
        for args, stdin in [(["-p", "second", "--password=open sesame"], b""),
                            (["-p", "wrong", "-p", "open sesame", "-p", "also-wrong", "-p", "second"], b""),
                            (["--password-file", "pw.txt", "-p", "open sesame"], b""),
                            (["--password-file", "-"], b"open sesame\nsecond\n")]:
            status, out, err = self.run_cli("--no-progress", "-o", "out", "-f", *args, "damaged.zip", stdin=stdin)
            self.assertEqual((status, err), (0, ""))
            self.assertIn("    other.txt: size = 300:  OK\n", out)
            self.assertEqual(names(), sorted(plain))
        hint = "arcsalve: doc0.txt is encrypted: -p PASSWORD or --password-file FILE gives its password\n"
        for args, first, saved in [([], hint, ["plain.txt"]), (["--no-prompt"], hint, ["plain.txt"]),
                                   (["-p", "second"], "arcsalve: doc0.txt is encrypted and none of the passwords given fits\n",
                                    ["other.txt", "plain.txt"])]:
            status, out, err = self.run_cli("--no-progress", "-o", "out", "-f", *args, "damaged.zip")
            self.assertEqual(status, 1)
            self.assertTrue(err.startswith(first), err)
            self.assertIn("ERROR (SKIPPING FILE): Cannot decrypt doc1.txt\n", err)
            self.assertIn("error: %d undecryptable files\n" % (5 - len(saved)), err)
            self.assertNotIn("Incorrect Password", err)
            self.assertEqual(names(), saved)
        err = self.run_cli("--no-progress", "-o", "out", "-f", "-p", "x" * 45, "-p", "second", "damaged.zip")[2]
        self.assertTrue(err.startswith("arcsalve: a password given is longer than 39 characters: only its first 39 are used\n"))
        self.assertNotIn("longer than", self.run_cli("--no-progress", "-o", "out", "-f", "-p", "x" * 39, "damaged.zip")[2])


def stored_bytes(files):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name, data in files:
            z.writestr(name, data)
    return out.getvalue()


SMALL, MANY, VALID, MISSING, CLOSE_PIPE = "@small", "@many", "@valid", "@missing", -1
CONTENT = {SMALL: stored_bytes([("a.txt", "first file\n"), ("b.txt", "second\n")]),
           MANY: stored_bytes([("n" * 180 + str(i), "x") for i in range(600)])}  # more lines than a pipe holds


def run_stopped(cwd, args, stop):
    """Runs the command with its output into a pipe; with a stop (a signal, or the pipe closed by its
    reader) the pipe is left unread until full, so the stop comes in the middle of the run."""
    with open(os.path.join(cwd, "..", "stderr"), "w+b") as err:
        p = subprocess.Popen([CLI] + args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err,
                             env=dict(os.environ, TMPDIR=os.path.join(cwd, "..")))
        if stop:
            capacity, queued = fcntl.fcntl(p.stdout, fcntl.F_GETPIPE_SZ), bytearray(4)
            for _ in range(2000):
                fcntl.ioctl(p.stdout, termios.FIONREAD, queued)
                if int.from_bytes(queued, "little") > capacity - 4096:  # full, to a page
                    break
                time.sleep(0.005)
            p.stdout.close() if stop == CLOSE_PIPE else p.send_signal(stop)
        out = p.stdout.read() if stop != CLOSE_PIPE else b""
        status = p.wait(60)
        err.seek(0)
        return status, (out + err.read()).decode()


class FileSafety(Case):
    """What the command leaves of the user's files, whatever happens."""

    def test_files_are_never_lost_or_silently_replaced(self):
        stopped = "holds the entries salvaged before the stop, completed with a central directory"
        cases = [  # files before (name, content[, mode]), arguments, stop, files after, status, a line printed
            ([("notes.txt", "plain text")], ["notes.txt"], 0, [("notes.txt", "plain text"), ("notes_BAK.txt", MISSING)], 4,
             "notes.txt: nothing could be salvaged; the file was left as it was"),
            ([("m.zip", MANY, 0o600)], ["m.zip"], signal.SIGINT, [("m.zip", VALID, 0o600), ("m_BAK.zip", MANY)], 130, "m.zip " + stopped),
            ([("m.zip", MANY)], ["m.zip"], signal.SIGTERM, [("m.zip", VALID), ("m_BAK.zip", MANY)], 143,
             "the damaged archive is kept as m_BAK.zip"),
            ([("m.zip", MANY)], ["m.zip"], signal.SIGHUP, [("m.zip", VALID), ("m_BAK.zip", MANY)], 129, "m.zip " + stopped),
            ([("m.zip", MANY)], ["m.zip"], CLOSE_PIPE, [("m.zip", VALID), ("m_BAK.zip", MANY)], 141, "m.zip " + stopped),
            ([("m.zip", MANY), ("out/m.zip", "OLD")], ["-f", "-o", "out", "m.zip"], signal.SIGTERM,
             [("out/m.zip", VALID), ("m.zip", MANY)], 143, "out/m.zip " + stopped),
            # Permissions follow the damaged file, in place and into -o DIR.
            ([("s.zip", SMALL, 0o640)], ["s.zip"], 0, [("s.zip", VALID, 0o640), ("s_BAK.zip", SMALL, 0o640)], 0,
             "Damaged archive kept as s_BAK.zip"),
            ([("s.zip", SMALL, 0o600)], ["-o", "out", "s.zip"], 0, [("out/s.zip", VALID, 0o600), ("s.zip", SMALL)], 0, "stored in out/s.zip"),
            # -o makes its directory and the missing parents.
            ([("s.zip", SMALL)], ["-o", "new/deep/", "s.zip"], 0, [("new/deep/s.zip", VALID), ("s.zip", SMALL)], 0,
             "stored in new/deep/s.zip"),
            # -o naming the archive's own directory is an in-place repair.
            ([("s.zip", SMALL)], ["-o", ".", "s.zip"], 0, [("s.zip", VALID), ("s_BAK.zip", SMALL)], 0,
             "s.zip: . is the archive's own directory: repairing in place"),
            # --from-backup replaces an existing file only with -f.
            ([("r_BAK.zip", SMALL), ("r.zip", "unrelated")], ["--from-backup", "r_BAK.zip"], 0,
             [("r.zip", "unrelated"), ("r_BAK.zip", SMALL)], 5, "r.zip already exists; --force replaces it"),
            ([("r_BAK.zip", SMALL), ("r.zip", "unrelated")], ["-f", "--from-backup", "r_BAK.zip"], 0,
             [("r.zip", VALID), ("r_BAK.zip", SMALL)], 0, "stored in r.zip"),
            # Two inputs of one run with one output: the second is refused.
            ([("a/x.zip", SMALL), ("b/x.zip", "PK\3\4 not this one")], ["-f", "-o", "out", "a/x.zip", "b/x.zip"], 0,
             [("out/x.zip", VALID), ("b/x.zip", "PK\3\4 not this one")], 5,
             "b/x.zip: not repaired: out/x.zip holds what was salvaged from a/x.zip in this run"),
            # A backup that is not a regular file is never read, and nothing is deleted.
            ([("u.zip", "keep me"), ("other", SMALL), ("u_BAK.zip", "->other")], ["--use-backup", "u.zip"], 0,
             [("u.zip", "keep me"), ("other", SMALL)], 3, "u_BAK.zip: not a regular file"),
        ]
        for n, (before, args, stop, after, status, line) in enumerate(cases):
            with self.subTest(case=n, args=args, stop=stop):
                root = self.path("case%d" % n, "d")
                for sub in ("out", "a", "b"):
                    os.makedirs(os.path.join(root, sub))
                for name, content, *mode in before:
                    path = os.path.join(root, name)
                    if content.startswith("->"):
                        os.symlink(content[2:], path)
                    else:
                        with open(path, "wb") as f:
                            f.write(CONTENT.get(content) or content.encode())
                    if mode:
                        os.chmod(path, mode[0])
                got, printed = run_stopped(root, args, stop)
                self.assertEqual(got, status, printed)
                self.assertIn(line, printed)
                for name, content, *mode in after:
                    path = os.path.join(root, name)
                    if content == MISSING:
                        self.assertFalse(os.path.exists(path), name)
                    elif content == VALID:
                        self.assertTrue(check_valid(self, path), name)
                    else:
                        self.assertEqual(open(path, "rb").read(), CONTENT.get(content) or content.encode(), name)
                    if mode:
                        self.assertEqual(os.stat(path).st_mode & 0o777, mode[0], name)
                self.assertEqual([f for _, _, fs in os.walk(root) for f in fs if ".arcsalve" in f], [])


def on_terminal(cwd, args, replies=(), env=None, close_stdin=False):
    """Runs the command on a pseudo-terminal; types each reply once the screen shows its cue."""
    pid, fd = pty.fork()
    if pid == 0:
        if close_stdin:  # as a daemon host runs: the archive is then opened as descriptor 0
            os.close(0)
        os.chdir(cwd)
        os.environ.pop("NO_COLOR", None)
        os.environ.update({"TMPDIR": cwd, "TERM": "xterm"}, **(env or {}))
        os.execv(CLI, [CLI] + args)
    screen, replies, seen = b"", list(replies), 0
    while True:
        if replies and replies[0][0] in screen[seen:]:
            # A password is typed once echo is off: the command flushes what came before.
            for _ in range(200 if replies[0][0] == PROMPT else 0):
                if not termios.tcgetattr(fd)[3] & termios.ECHO:
                    break
                time.sleep(0.01)
            os.write(fd, replies.pop(0)[1])
            seen = len(screen)  # the cue is used up
        ready, _, _ = select.select([fd], [], [], 20)
        if not ready:
            os.kill(pid, signal.SIGKILL)
            break
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        screen += chunk
    status = os.waitpid(pid, 0)[1]
    os.close(fd)
    return os.waitstatus_to_exitcode(status), screen.decode("utf-8", "replace")


class Terminal(Case):
    def test_questions_asked_and_answered(self):
        self.write("a.zip", "DAMAGED")
        self.write("a_BAK.zip", "BACKUP")
        q = b"[y/N] "
        status, screen = on_terminal(self.dir, ["a.zip"], [(q, b"n\r")])
        self.assertIn("a_BAK.zip already exists. Salvage from it again? (replaces a.zip) [y/N] ", screen)
        self.assertIn("arcsalve: a.zip: not repaired", screen)
        self.assertEqual(status, 5)
        for answer in (b"sure\r", b"yess\r", b"  \r", b"n" * 300 + b"\r"):  # only y or yes is yes
            self.assertEqual(on_terminal(self.dir, ["a.zip"], [(q, answer)])[0], 5, answer)
            self.assertEqual(self.read("a.zip"), b"DAMAGED")
        # A long answer is read to its end: it cannot answer the next question.
        status, screen = on_terminal(self.dir, ["a.zip", "a.zip"], [(q, b"n" * 300 + b"y\r"), (q, b"n\r")])
        self.assertEqual((status, screen.count("not repaired")), (5, 2), screen)
        status, screen = on_terminal(self.dir, ["a.zip"], [(q, b" y \r")])
        self.assertEqual(status, 4)  # the backup holds no archive: nothing is replaced
        self.assertIn("arcsalve: a.zip: nothing could be salvaged; the file was left as it was", screen)
        os.makedirs(self.path("out"))
        self.write("b.zip", "DAMAGED")
        self.write("out/b.zip", "OLD")
        status, screen = on_terminal(self.dir, ["-o", "out", "b.zip"], [(q, b"YES\r")])
        self.assertIn("out/b.zip already exists. Replace it? [y/N] ", screen)
        self.assertEqual(status, 4)

    def test_no_prompt_ctrl_c_colour_and_progress(self):
        self.write("a.zip", "DAMAGED")
        self.write("a_BAK.zip", "BACKUP")
        status, screen = on_terminal(self.dir, ["--no-prompt", "a.zip"])
        self.assertNotIn("[y/N]", screen)
        self.assertIn("--use-backup salvages from it again", screen)
        self.assertEqual(status, 5)
        status, screen = on_terminal(self.dir, ["a.zip", "a.zip"], [(b"[y/N] ", b"\x03")])
        self.assertIn("arcsalve: a.zip: not repaired (interrupted)", screen)
        self.assertEqual((status, screen.count("[y/N]")), (130, 1), screen)
        self.assertEqual(self.read("a.zip"), b"DAMAGED")
        self.write("g.zip", "DAMAGED")
        status, screen = on_terminal(self.dir, ["-q", "g.zip"])
        self.assertEqual((status, screen.split("\r\n")[0]), (4, "\x1b[1;31merror:\x1b[0m No files found in archive."))
        for env in ({"NO_COLOR": "1"}, {"TERM": "dumb"}):
            self.assertEqual(on_terminal(self.dir, ["-q", "g.zip"], env=env)[1].split("\r\n")[0], "error: No files found in archive.", env)
        # A bar while a large archive is read; Ctrl-C stops after the entry in hand. (Large enough that the rest
        # cannot be copied before the key arrives.)
        with zipfile.ZipFile(self.path("big.zip"), "w") as z:
            for i in range(40):
                z.writestr("f%d" % i, bytes(4000000))
        os.makedirs(self.path("out"))
        # (On one thread: verified ahead, the rest may be done before the key arrives.)
        status, screen = on_terminal(self.dir, ["-j", "1", "-o", "out", "big.zip"], [(b":  OK", b"\x03")])
        self.assertEqual(status, 130, screen)
        self.assertIn("\x1b[1;31merror:\x1b[0m Salvage Aborted", screen)
        self.assertIn("arcsalve: interrupted: out/big.zip holds the entries salvaged before the stop, completed with a central "
                      "directory", screen)
        self.assertTrue(check_valid(self, self.path("out/big.zip")))  # (Ctrl-C flushes what the terminal had not shown)
        self.assertFalse(os.path.exists(self.path("arcsalve.tmp")))
        # The bar counts from the start even when the archive is descriptor 0.
        status, screen = on_terminal(self.dir, ["-f", "-o", "out", "big.zip"], close_stdin=True)
        self.assertEqual(status, 0)
        self.assertEqual(re.search(r"(\d+)% \[", screen).group(1), "1")
        # The bar is redrawn only when its percentage rises: never back when a damaged entry is read again,
        # ending at 100%, naming its archive in a run over several; TERM=dumb gets a line at each quarter.
        damaged = bytearray(self.read("big.zip"))
        damaged[len(damaged) * 3 // 4] ^= 1
        self.write("d.zip", bytes(damaged))
        screen = on_terminal(self.dir, ["-f", "-o", "out", "d.zip", "big.zip"])[1]
        bars = re.findall(r"\r *(\d+)% \[[# ]+\] (\S+)", screen)
        for name in ("d.zip", "big.zip"):
            shown = [int(p) for p, n in bars if n == name]
            self.assertTrue(0 < len(shown) < 200 and shown == sorted(shown) and shown[-1] == 100, (name, shown))
        screen = on_terminal(self.dir, ["-f", "-o", "out", "d.zip"], env={"TERM": "dumb"})[1]
        self.assertEqual(re.findall(r"progress: (\d+)%", screen), ["25", "50", "75", "100"])
        self.assertIsNone(re.search("\x1b|\r(?!\n)", screen))  # (the terminal adds \r to each \n)
        # Ctrl-C where no entry follows: the scan ends and completes the archive.
        with open(self.path("zeros.zip"), "wb") as f:
            f.truncate(1 << 30)
        status, screen = on_terminal(self.dir, ["-o", "out", "zeros.zip"], [(b"%", b"\x03")])
        self.assertEqual(status, 130)
        self.assertIn("arcsalve: interrupted before any entry was salvaged: zeros.zip was left as it was", screen)

    def test_password_prompt(self):
        os.makedirs(self.path("src"))
        for n in ("a.txt", "b.txt"):
            self.write("src/" + n, n * 100)
        zip_encrypted(self.path("src"), self.path("e.zip"), ["zip -q -X -P right ../e.zip a.txt b.txt"], [b"right", b"wrong"])
        os.makedirs(self.path("out"))
        cue = PROMPT
        os.makedirs(self.path("again"))
        os.link(self.path("e.zip"), self.path("again", "f.zip"))
        status, screen = on_terminal(self.dir, ["-o", "out", "e.zip", "again/f.zip"], [(cue, b"wrong\r"), (cue, b"right\r")])
        self.assertEqual((status, screen.count("Password for a.txt (Enter to skip, Ctrl-D to skip all): ")), (0, 2), screen)
        self.assertNotIn("right", screen)  # typed without echo
        self.assertNotIn("Password for b.txt", screen)  # the password is remembered, for the next archive too
        # Enter skips the entry (the next one asks again).
        status, screen = on_terminal(self.dir, ["-f", "-o", "out", "e.zip"], [(cue, b"\r"), (cue, b"\r"), (cue, b"right\r")])
        self.assertEqual((status, screen.count(cue.decode())), (4, 2), screen)
        self.assertIn("Cannot decrypt b.txt", screen)
        # Ctrl-D skips every encrypted entry left in the run, in all its archives.
        self.write("e2.zip", self.read("e.zip"))
        status, screen = on_terminal(self.dir, ["-f", "-o", "out", "e.zip", "e2.zip"], [(cue, b"\x04")])
        self.assertEqual((status, screen.count(cue.decode()), screen.count("Cannot decrypt")), (4, 1, 4), screen)


if __name__ == "__main__":
    main()
