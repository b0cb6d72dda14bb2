#!/usr/bin/env python3
"""End-to-end tests of the kelmcat command on temporary folders of real files.

Usage: cli_test.py PATH_TO_KELMCAT [unittest arguments]

Files get their sizes from sparse files (os.truncate), the answers come from
an answers file, and the database is read back with Python's sqlite3. Every
wait is bounded in time.
"""
import json
import os
import pty
import select
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

KELMCAT = None
RUN_TIMEOUT = 120  # seconds for one command; ASan builds are slow
NOBODY = 65534

GiB = 1 << 30


def make_tree(root, files):
    """files: {relative path: size}; sizes come from sparse files."""
    for rel, size in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb"):
            pass
        os.truncate(path, size)


def write_answers(path, lookup, movie=None, indexed=None, corrections=None):
    doc = {"lookup": lookup}
    if movie is not None:
        doc["movie"] = movie
    if indexed is not None:
        doc["indexed"] = indexed
    if corrections is not None:
        doc["corrections"] = corrections
    with open(path, "w", encoding="utf-8") as f:
        json.dump(doc, f)


def db_rows(db):
    con = sqlite3.connect(db, timeout=10)
    try:
        return dict(con.execute("SELECT k, v FROM vault").fetchall())
    finally:
        con.close()


def integrity(db):
    con = sqlite3.connect(db, timeout=10)
    try:
        return con.execute("PRAGMA integrity_check").fetchone()[0]
    finally:
        con.close()


def record_count(db):
    """Rows committed so far, or -1 while the database is not readable yet."""
    try:
        con = sqlite3.connect("file:%s?mode=ro" % db, uri=True, timeout=1)
        try:
            return con.execute("SELECT count(*) FROM vault").fetchone()[0]
        finally:
            con.close()
    except sqlite3.Error:
        return -1


def default_signals():
    # A signal ignored by whoever started the tests would stay ignored.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


FILMS = {
    "Films/Heat (1995)/Heat (1995).mkv": 7 * GiB,
    "Films/Heat (1995)/Extras/Making of Heat.mkv": 500 << 20,
    "Films/Heat (1995)/poster.jpg": 200 << 10,
    "Films/Ronin.avi": 2 * GiB,
    "TV/Show/Season 1/Show.S01E01.mkv": GiB,
    "TV/Show/Season 1/Show 1x02.mkv": GiB,
    "TV/Show/Season 1/Show Season 1 Episode 3.mkv": GiB,
    "Home/Birthday.mp4": 300 << 20,
}
FILM_ANSWERS = {
    "Heat (1995).mkv": "tt0113277",
    "Ronin.avi": "tt0122690",
    "Making of Heat.mkv": None,
    "Show.S01E01.mkv": {"id": "tt0000001", "tv": True},
    "Show 1x02.mkv": {"id": "tt0000001", "tv": True},
    "Show Season 1 Episode 3.mkv": "tt0000001",
}
FILM_MOVIE = {"tt0000001": False}


class Case(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kelmcat-cli-")
        self.root = os.path.join(self.tmp, "library")
        os.mkdir(self.root)
        self.db = os.path.join(self.tmp, "db", "test.db")
        os.mkdir(os.path.dirname(self.db))
        self.answers = os.path.join(self.tmp, "answers.json")

    def tearDown(self):
        # Folders a test made unreadable must be readable again to go.
        for dirpath, dirnames, _ in os.walk(self.tmp):
            for d in dirnames:
                p = os.path.join(dirpath, d)
                if not os.path.islink(p):
                    os.chmod(p, 0o755)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run_cli(self, *args, expect=None, **kw):
        p = subprocess.run([KELMCAT, *args], capture_output=True, timeout=RUN_TIMEOUT, **kw)
        p.out = p.stdout.decode("utf-8", "replace")
        p.err = p.stderr.decode("utf-8", "replace")
        if expect is not None:
            self.assertEqual(p.returncode, expect, "kelmcat %s\nstdout: %s\nstderr: %s" %
                             (" ".join(args), p.out[-2000:], p.err[-2000:]))
        return p

    def scan(self, *extra, expect=0, root=None, **kw):
        """A scan with --json; returns (process, result document or None)."""
        p = self.run_cli("scan", root or self.root, "--answers", self.answers, "--db", self.db,
                         "--json", *extra, expect=expect, **kw)
        doc = json.loads(p.out) if p.out.strip() else None
        return p, doc

    def outcomes(self, doc):
        return {r["key"]: r["outcome"] for r in doc["results"]}


class ScanTest(Case):
    def test_first_scan_then_unchanged_rescan_writes_nothing(self):
        make_tree(self.root, FILMS)
        write_answers(self.answers, FILM_ANSWERS, FILM_MOVIE)
        p, doc = self.scan()
        self.assertEqual(doc["stats"]["added"], 5, p.err)
        self.assertEqual(doc["stats"]["unmatched"], 2)
        self.assertEqual(doc["warnings"], [])
        self.assertIn("scan summary:", p.err)
        self.assertIn("unmatched files (to name one: kelmcat correct KEY IMDB_ID):\n"
                      "  Films/Heat (1995)/Extras/Making of Heat.mkv_%d\n"
                      "  Home/Birthday.mp4_%d\n" % (500 << 20, 300 << 20), p.err)
        rows = db_rows(self.db)
        self.assertEqual(len(rows), 5)
        heat = json.loads(next(v for v in rows.values() if "Heat (1995).mkv" in v))
        self.assertEqual(heat["IMDbID"], "tt0113277")
        self.assertEqual(heat["Size"], 7 * GiB)
        episodes = sorted((json.loads(v)["Season"], json.loads(v)["Episode"])
                          for v in rows.values() if "tt0000001" in v)
        self.assertEqual(episodes, [(1, 1), (1, 2), (1, 3)])

        p, doc = self.scan()
        self.assertEqual(doc["stats"]["vaultWrites"], 0)
        self.assertEqual(doc["stats"]["unchanged"], 5)
        self.assertEqual(doc["warnings"], [])
        self.assertNotIn("warnings:", p.err)
        self.assertEqual(db_rows(self.db), rows)

        # results: the same records, as a table and as JSON lines.
        lines = self.run_cli("results", "--db", self.db, "--json", expect=0).out.splitlines()
        self.assertEqual(sorted(json.loads(l)["Key"] for l in lines),
                         sorted(json.loads(v)["Key"] for v in rows.values()))
        table = self.run_cli("results", "--db", self.db, expect=0).out.splitlines()
        self.assertTrue(table[0].startswith("IMDB ID"))
        self.assertEqual(len(table), 6)
        self.assertTrue(any("tt0113277" in l and "Heat (1995).mkv_%d" % (7 * GiB) in l
                            for l in table))
        # Another user has no records here.
        other = self.run_cli("results", "--db", self.db, "--user", "someone", "--json", expect=0)
        self.assertEqual(other.out, "")

    def stderr_on_terminal(self, *extra):
        """Runs a scan whose stderr is a terminal; returns what it wrote there."""
        master, slave = pty.openpty()
        proc = subprocess.Popen([KELMCAT, "scan", self.root, "--answers", self.answers,
                                 "--db", self.db, *extra],
                                stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        out = b""
        deadline = time.monotonic() + RUN_TIMEOUT
        try:
            while time.monotonic() < deadline:
                ready, _, _ = select.select([master], [], [], 0.5)
                if not ready:
                    if proc.poll() is not None:
                        break
                    continue
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # the terminal closed with the command
                    break
                if not chunk:
                    break
                out += chunk
        finally:
            os.close(master)
            try:
                proc.wait(timeout=RUN_TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.assertEqual(proc.returncode, 0, out)
        return out

    def test_status_line_only_on_a_terminal_and_not_quiet(self):
        make_tree(self.root, {"TV/Show/e%02d.mkv" % i: 1 for i in range(1, 30)})
        write_answers(self.answers, {"e%02d.mkv" % i: "tt0000001" for i in range(1, 30)})
        out = self.stderr_on_terminal()
        self.assertIn(b"\r\x1b[K", out)
        # Redrawn at most ten times a second: the first report at least.
        self.assertRegex(out, rb"\r\x1b\[K/\S*  files \d+  matched \d+  unmatched 0  errors 0  "
                              rb"\d+ files/s")
        # Erased before the summary, which starts on a line of its own.
        self.assertIn(b"\r\x1b[Kscan summary:", out)
        quiet = self.stderr_on_terminal("--quiet")
        self.assertNotIn(b"files/s", quiet)
        self.assertIn(b"scan summary:", quiet)
        # Not a terminal: no status line either.
        p, _ = self.scan()
        self.assertNotIn("files/s", p.err)
        self.assertNotIn("\x1b", p.err)

    def test_folder_name_with_json_specials(self):
        root = os.path.join(self.tmp, 'my "films" \\ \u00e9t\u00e9\t2024')
        make_tree(root, {"A.mkv": 5})
        write_answers(self.answers, {"A.mkv": "tt0000001"})
        _, doc = self.scan(root=root)
        self.assertEqual(self.outcomes(doc), {"A.mkv_5": 1})

    def test_key_command_names_the_keys_the_scan_writes(self):
        make_tree(self.root, {"Films/Ronin.avi": 1234})
        write_answers(self.answers, {"Ronin.avi": "tt0122690"})
        self.scan("--user", "anna")
        p = self.run_cli("key", "/Films/Ronin.avi", "1234", "--user", "anna", expect=0)
        keys = dict((part.strip() for part in line.split("  ", 1)) for line in p.out.splitlines())
        self.assertEqual(keys["identity key"], "Films/Ronin.avi_1234")
        self.assertEqual(list(db_rows(self.db)), [keys["record key"]])
        self.assertEqual(keys["correction key"],
                         keys["record key"].replace("_MatchedIMDbId_", "_CorrectIMDbId_"))

    def test_add_new_only_picks_up_a_new_file(self):
        make_tree(self.root, {"Films/Heat.mkv": 1000, "Films/Ronin.avi": 2000})
        lookup = {"Heat.mkv": "tt0113277", "Ronin.avi": "tt0122690", "Alien.mkv": "tt0078748"}
        write_answers(self.answers, lookup)
        _, doc = self.scan()
        indexed = [r["key"] for r in doc["results"]]
        make_tree(self.root, {"Films/Alien.mkv": 3000})
        write_answers(self.answers, lookup, indexed=indexed)
        p, doc = self.scan("--add-new-only")
        self.assertEqual(self.outcomes(doc), {"Films/Alien.mkv_3000": 1}, p.err)
        self.assertEqual(doc["stats"]["matcherCalls"], 2)  # lookup and movie check
        self.assertEqual(len(db_rows(self.db)), 3)

    def test_correction_takes_effect_at_the_next_scan(self):
        make_tree(self.root, {"Films/Heat.mkv": 1000, "Films/Unknown.mkv": 5})
        write_answers(self.answers, {"Heat.mkv": "tt0000002"})
        self.scan()
        for key, imdb in (("Films/Heat.mkv_1000", "tt0113277"), ("Films/Unknown.mkv_5", "tt0000003")):
            p = self.run_cli("correct", key, imdb, "--db", self.db, expect=0)
            self.assertIn("correction recorded", p.out)
        # --correct looks at the corrected files alone; a plain scan after it
        # finds them current.
        for args, heat, unknown in ((["--correct"], 2, 1), ([], 3, 3)):
            with self.subTest(args=args):
                p, doc = self.scan(*args)
                by_key = {r["key"]: (r["imdbId"], r["outcome"]) for r in doc["results"]}
                self.assertEqual(by_key, {"Films/Heat.mkv_1000": ("tt0113277", heat),
                                          "Films/Unknown.mkv_5": ("tt0000003", unknown)}, p.err)
        records = [json.loads(l) for l in
                   self.run_cli("results", "--db", self.db, "--json", expect=0).out.splitlines()]
        heat = next(r for r in records if r["Key"] == "Films/Heat.mkv_1000")
        self.assertEqual((heat["IMDbID"], heat["RequiredVerify"]), ("tt0113277", False))
        # A correction on a database that does not exist creates nothing.
        missing = os.path.join(self.tmp, "none.db")
        p = self.run_cli("correct", "a_1", "tt1", "--db", missing, expect=1)
        self.assertIn("no database", p.err)
        self.assertFalse(os.path.exists(missing))

    def test_include_and_exclude_paths(self):
        make_tree(self.root, {"Films/A.mkv": 1, "Films/Extras/B.mkv": 2, "TV/C.mkv": 3,
                              "TV/Old/D.mkv": 4})
        write_answers(self.answers, {n: "tt0000009" for n in ("A.mkv", "B.mkv", "C.mkv", "D.mkv")})
        cases = [
            ([], {"Films/A.mkv_1", "Films/Extras/B.mkv_2", "TV/C.mkv_3", "TV/Old/D.mkv_4"}),
            (["--include", "Films"], {"Films/A.mkv_1", "Films/Extras/B.mkv_2"}),
            (["--exclude", "Films/Extras", "--exclude", "/TV/Old/"], {"Films/A.mkv_1", "TV/C.mkv_3"}),
            (["--include", "TV", "--exclude", "TV/Old"], {"TV/C.mkv_3"}),
            (["--include", "Films/Extras", "--include", "TV/Old"],
             {"Films/Extras/B.mkv_2", "TV/Old/D.mkv_4"}),
        ]
        for args, keys in cases:
            with self.subTest(args=args):
                _, doc = self.scan(*args)
                self.assertEqual(set(self.outcomes(doc)), keys)

    def test_extensions_and_max_depth(self):
        make_tree(self.root, {"a.mkv": 1, "b.MP4": 2, "c.avi": 3, "deep/er/e.mkv": 4})
        write_answers(self.answers, {n: "tt0000009" for n in ("a.mkv", "b.MP4", "c.avi", "e.mkv")})
        _, doc = self.scan("--extensions", "MP4,.avi")
        self.assertEqual(set(self.outcomes(doc)), {"b.MP4_2", "c.avi_3"})
        p, doc = self.scan("--max-depth", "1", expect=1)
        self.assertIn("scan failed", p.err)
        self.assertIn("depth", p.err)

    def test_link_loop_with_and_without_follow_symlinks(self):
        make_tree(self.root, {"Films/A.mkv": 10, "Other/B.mkv": 20})
        os.symlink("..", os.path.join(self.root, "Films", "up"))
        os.symlink(os.path.join(self.root, "Other", "B.mkv"), os.path.join(self.root, "Films", "B-link.mkv"))
        write_answers(self.answers, {"A.mkv": "tt0000001", "B.mkv": "tt0000002",
                                     "B-link.mkv": "tt0000002"})
        _, doc = self.scan()
        self.assertEqual(set(self.outcomes(doc)), {"Films/A.mkv_10", "Other/B.mkv_20"})
        p, doc = self.scan("--follow-symlinks")
        keys = set(self.outcomes(doc))
        # The loop is walked once: the folder reached again through "up" lists empty.
        self.assertIn("Films/B-link.mkv_20", keys)
        self.assertLessEqual(len(keys), 4, keys)
        self.assertEqual(doc["stats"]["errors"], 0, p.err)

    def test_name_that_is_not_utf8_is_reported(self):
        make_tree(self.root, {"Films/Good.mkv": 10})
        with open(os.path.join(self.root.encode(), b"Films", b"Bad\xff name.mkv"), "wb") as f:
            f.write(b"x")
        write_answers(self.answers, {"Good.mkv": "tt0000001"})
        p, doc = self.scan()
        self.assertEqual(set(self.outcomes(doc)), {"Films/Good.mkv_10"})
        self.assertEqual(len(doc["warnings"]), 1, doc["warnings"])
        self.assertIn("rejected 1 entry", doc["warnings"][0])
        self.assertIn("\\xFF", doc["warnings"][0])
        self.assertRegex(p.err, r"rejected entries\s+1\n")

    def test_unreadable_folder_is_reported(self):
        make_tree(self.root, {"Films/A.mkv": 10, "Secret/B.mkv": 20})
        write_answers(self.answers, {"A.mkv": "tt0000001", "B.mkv": "tt0000002"})
        kw = {}
        if os.geteuid() == 0:
            # root reads any folder: scan as nobody, in a tree nobody may use.
            for path in (self.tmp, os.path.dirname(self.db)):
                os.chmod(path, 0o777)
            for dirpath, dirnames, filenames in os.walk(self.tmp):
                for n in dirnames + filenames:
                    os.chmod(os.path.join(dirpath, n), 0o777 if n in dirnames else 0o666)

            def as_nobody():
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
            kw["preexec_fn"] = as_nobody
            probe = subprocess.run([KELMCAT, "--version"], capture_output=True,
                                   timeout=RUN_TIMEOUT, preexec_fn=as_nobody)
            if probe.returncode != 0:
                self.skipTest("the command cannot run as uid %d here" % NOBODY)
        os.chmod(os.path.join(self.root, "Secret"), 0)
        p, doc = self.scan(**kw)
        self.assertEqual(set(self.outcomes(doc)), {"Films/A.mkv_10"})
        self.assertRegex(p.err, r"unreadable folders\s+1\n")
        self.assertIn("unreadable folders:\n  /Secret\n", p.err)


class DatabaseTest(Case):
    def test_corrupt_or_foreign_database_is_a_clear_error(self):
        make_tree(self.root, {"a.mkv": 1})
        write_answers(self.answers, {})
        with open(self.db, "wb") as f:
            f.write(b"this is not a database at all\n" * 200)
        for args in (["scan", self.root, "--answers", self.answers], ["results"]):
            with self.subTest(command=args[0]):
                p = self.run_cli(*args, "--db", self.db, expect=1)
                self.assertIn(self.db, p.err)
                self.assertNotIn("Try 'kelmcat --help'", p.err)
        os.remove(self.db)
        con = sqlite3.connect(self.db)
        con.execute("CREATE TABLE other(x)")
        con.commit()
        con.close()
        p = self.run_cli("scan", self.root, "--answers", self.answers, "--db", self.db, expect=1)
        self.assertIn("not a vault", p.err)

    def test_bad_answers_file_or_folder(self):
        with open(self.answers, "w") as f:
            f.write("{not json")
        p = self.run_cli("scan", self.root, "--answers", self.answers, "--db", self.db, expect=1)
        self.assertIn("answers", p.err)
        write_answers(self.answers, {})
        p = self.run_cli("scan", os.path.join(self.tmp, "nowhere"), "--answers", self.answers,
                         "--db", self.db, expect=1)
        self.assertIn("No such file", p.err)
        long_root = os.path.join(self.tmp, *(["d" * 200] * 3))
        os.makedirs(long_root)
        p = self.run_cli("scan", long_root, "--answers", self.answers, "--db", self.db, expect=1)
        self.assertIn("too long", p.err)
        self.assertFalse(os.path.exists(self.db))


class UsageTest(unittest.TestCase):
    CASES = [
        ([], "missing subcommand"),
        (["frobnicate"], "unknown subcommand"),
        (["--db", "x", "results"], "subcommand"),
        (["scan", "/tmp", "--answers", "a", "--bogus"], "unknown option"),
        (["scan", "/tmp", "--answers"], "needs a value"),
        (["scan", "/tmp", "--answers", "a", "--max-depth", "deep"], "--max-depth"),
        (["scan", "/tmp", "--answers", "a", "--max-depth", "0"], "--max-depth"),
        (["scan", "/tmp", "--answers", "a", "--max-depth", "5000"], "--max-depth"),
        (["scan", "/tmp", "--answers", "a", "--matcher", "https://m.example"], "exclude each other"),
        (["scan", "/tmp"], "--matcher"),
        (["scan", "--answers", "a"], "missing operand"),
        (["scan", "/tmp", "/var", "--answers", "a"], "unexpected operand"),
        (["scan", "/tmp", "--answers", "a", "--ca-file", "c.pem"], "needs '--matcher'"),
        (["scan", "/tmp", "--matcher", "https://m.example", "--media-index", "https://i.example"],
         "go together"),
        (["scan", "/tmp", "--matcher", "http://plain.example"], "--matcher"),
        (["scan", "/tmp", "--answers", "a", "--extensions", "mkv,,mp4"], "--extensions"),
        (["scan", "/tmp", "--answers", "a", "--db", "a.db", "--db", "b.db"], "twice"),
        (["scan", "/tmp", "--answers", "a", "--quiet=yes"], "takes no value"),
        (["scan", "/tmp", "--answers", "a", "--user", ""], "non-empty"),
        (["scan", "/tmp", "--answers", "a", "--user", "u" * 2000], "--user"),
        (["results", "--config", "c"], "does not apply"),
        (["results", "extra"], "unexpected operand"),
        (["correct", "Films/a.mkv_1"], "missing operand"),
        (["correct", "Films/a.mkv_1", "12345"], "IMDB_ID"),
        (["key", "a.mkv"], "missing operand"),
        (["key", "a.mkv", "big"], "SIZE"),
        (["key", "a.mkv", "-5"], "SIZE"),
        (["key", "a.mkv", "1", "--json"], "does not apply"),
    ]

    def test_usage_errors_exit_2_with_a_hint(self):
        cwd = tempfile.mkdtemp(prefix="kelmcat-usage-")
        try:
            for args, message in self.CASES:
                with self.subTest(args=args):
                    p = subprocess.run([KELMCAT, *args], capture_output=True, text=True,
                                       timeout=RUN_TIMEOUT, cwd=cwd)
                    self.assertEqual(p.returncode, 2, p.stderr)
                    self.assertIn(message, p.stderr)
                    self.assertIn("Try 'kelmcat --help'", p.stderr)
                    self.assertEqual(p.stdout, "")
            # No usage error leaves a database behind.
            self.assertEqual(os.listdir(cwd), [])
        finally:
            shutil.rmtree(cwd, ignore_errors=True)

    def test_help_and_version(self):
        p = subprocess.run([KELMCAT, "--help"], capture_output=True, text=True, timeout=RUN_TIMEOUT)
        self.assertEqual(p.returncode, 0)
        self.assertIn("kelmcat scan DIR", p.stdout)
        p = subprocess.run([KELMCAT, "--version"], capture_output=True, text=True,
                           timeout=RUN_TIMEOUT)
        self.assertEqual(p.returncode, 0)
        self.assertRegex(p.stdout, r"^kelmcat \d+\.\d+\.\d+\n$")


class InterruptTest(Case):
    """Signals in the middle of a long scan. The tree is big enough that a scan
    lasts a while; a test that finds its scan finished before the signal
    retries with a tree twice as big."""

    FOLDERS = 100

    def big_tree(self, files):
        if getattr(self, "made", 0) == files:
            return files
        self.made = files
        lookup = {}
        per = files // self.FOLDERS
        for d in range(self.FOLDERS):
            folder = os.path.join(self.root, "f%03d" % d)
            os.makedirs(folder, exist_ok=True)
            for i in range(per):
                name = "Film %03d-%05d.mkv" % (d, i)
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(b"x")
                lookup[name] = "tt%07d" % (d * per + i + 1)
        write_answers(self.answers, lookup)
        return per * self.FOLDERS

    def interrupted_scan(self, sig):
        """Starts a scan, signals it once records are committed; returns the
        exit status and the number of files, or None when it always finished
        first."""
        files = 20000
        made = 0
        for _ in range(3):
            made = self.big_tree(files)
            for f in os.listdir(os.path.dirname(self.db)):
                os.remove(os.path.join(os.path.dirname(self.db), f))
            proc = subprocess.Popen([KELMCAT, "scan", self.root, "--answers", self.answers,
                                     "--db", self.db, "--quiet"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    preexec_fn=default_signals)
            deadline = time.monotonic() + 60
            while proc.poll() is None and time.monotonic() < deadline:
                if record_count(self.db) > 0:
                    break
                time.sleep(0.01)
            if proc.poll() is None:
                proc.send_signal(sig)
            try:
                _, err = proc.communicate(timeout=RUN_TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.communicate()
                self.fail("the scan did not stop after signal %d" % sig)
            if proc.returncode != 0:
                return proc.returncode, err.decode("utf-8", "replace"), made
            files *= 2
        self.skipTest("every scan finished before the signal")

    def test_sigint_and_sigterm_keep_what_was_written(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig):
                rc, err, files = self.interrupted_scan(sig)
                self.assertEqual(rc, 130, err)
                self.assertIn("scan cancelled", err)
                self.assertEqual(integrity(self.db), "ok")
                kept = len(db_rows(self.db))
                self.assertGreater(kept, 0)
                self.assertLess(kept, files)
                added = int(err.split("added", 1)[1].split()[0])
                self.assertEqual(added, kept)

    def test_kill_9_leaves_a_database_a_rescan_completes(self):
        rc, _, files = self.interrupted_scan(signal.SIGKILL)
        self.assertEqual(rc, -signal.SIGKILL)
        self.assertEqual(integrity(self.db), "ok")
        kept = len(db_rows(self.db))
        p = self.run_cli("scan", self.root, "--answers", self.answers, "--db", self.db, "--quiet",
                         expect=0)
        rows = db_rows(self.db)
        self.assertEqual(len(rows), files)
        self.assertRegex(p.err, r"unchanged\s+%d\n" % kept)
        self.assertTrue(all(json.loads(v)["IMDbID"].startswith("tt") for v in rows.values()))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: cli_test.py PATH_TO_KELMCAT [unittest arguments]")
    KELMCAT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
