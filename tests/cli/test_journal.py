"""The undo journal end to end: `edclean clean --journal FILE` and `edclean restore FILE`
on generated trees.

EDCLEAN_CLI names the program.
"""

import json
import os
import pty
import select
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest

CLI = os.environ.get("EDCLEAN_CLI", "edclean")
# The same program with pause points (EDCLEAN_TEST_PAUSE=POINT:DIR), for the
# tests that change the tree at the moment a guard is for.
CLI_HOOKED = os.environ.get("EDCLEAN_CLI_HOOKED")
IS_ROOT = os.geteuid() == 0
NOT_ROOT = "needs root: a second user's objects and root's trust in a journal"
# Ids of no account on the machine: the other user of the tests that need one.
OTHER_UID, OTHER_GID = 54321, 54322


def run(*args, stdin=subprocess.DEVNULL):
    return subprocess.run([CLI, *args], stdin=stdin, capture_output=True, timeout=120)


class Paused:
    """Runs the hooked program, which stops at `point`; `act` changes the tree
    there, then the program goes on. Returns the CompletedProcess-like result."""

    def __init__(self, point, work):
        self.point = point
        self.dir = os.path.join(work, "pause-" + point)
        os.mkdir(self.dir)

    def run(self, args, act, timeout=60):
        env = dict(os.environ, EDCLEAN_TEST_PAUSE=f"{self.point}:{self.dir}")
        proc = subprocess.Popen([CLI_HOOKED, *args], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        ready = os.path.join(self.dir, "ready")
        deadline = time.monotonic() + timeout
        while not os.path.exists(ready) and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.005)
        paused = os.path.exists(ready)
        if paused:
            act()
        open(os.path.join(self.dir, "go"), "wb").close()
        out, err = proc.communicate(timeout=timeout)
        return paused, subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


def record(root, dir_atimes=True):
    """Every entry below root: kind, size, permission bits, owner, and times in ns.
    Listing a directory can move its access time; dir_atimes=False leaves those out where
    the test itself lists directories it compares."""
    entries = {}
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(directory, name)
            st = os.lstat(path)
            entries[os.path.relpath(path, root)] = entry = {
                "kind": "dir" if stat.S_ISDIR(st.st_mode) else "file",
                "size": st.st_size if stat.S_ISREG(st.st_mode) else None,
                "mode": oct(stat.S_IMODE(st.st_mode)),
                "owner": (st.st_uid, st.st_gid),
                "atime": st.st_atime_ns,
                "mtime": st.st_mtime_ns,
            }
            if not dir_atimes and entry["kind"] == "dir":
                del entry["atime"]
    return entries


def read_journal(path):
    """The entry lines of a journal (its first line, with the roots, left out)."""
    with open(path, encoding="utf-8") as f:
        lines = [json.loads(line) for line in f]
    return [line for line in lines if "edclean_journal" not in line and line["kind"] != "parent"]


def header_line(*roots):
    return json.dumps({"edclean_journal": 1, "roots": list(roots),
                       "user": {"name": "test", "uid": os.geteuid()}})


def entry_line(path, kind, mode=0o755, uid=None, gid=None, atime=(1_600_000_000, 1),
               mtime=(1_500_000_000, 2), **extra):
    line = {"path": path, "kind": kind, "mode": mode,
            "uid": os.geteuid() if uid is None else uid,
            "gid": os.getegid() if gid is None else gid,
            "atime": {"sec": atime[0], "nsec": atime[1]},
            "mtime": {"sec": mtime[0], "nsec": mtime[1]}}
    line.update(extra)
    return json.dumps(line)


class Workspace(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.top = os.path.realpath(self._tmp.name)
        self.root = os.path.join(self.top, "root")
        os.mkdir(self.root)
        self.journal = os.path.join(self.top, "journal.jsonl")

    def tearDown(self):
        # Read-only directories the tests made must not stop the cleanup.
        for directory, dirs, _ in os.walk(self.top):
            for name in dirs:
                path = os.path.join(directory, name)
                if not os.path.islink(path):
                    os.chmod(path, 0o700)
        self._tmp.cleanup()


class RoundTripTest(Workspace):
    """A cleaned tree comes back as it was: names, kinds, sizes, modes, owners, times."""

    def build_tree(self):
        now = time.time_ns()
        # The scan lists directories, which on a relatime mount moves an
        # access time that is older than the last change (setting the times
        # is one); an access time a little ahead of now stays where it is.
        def times(i):
            return (now + 3600 * 10**9 + i * 1_000_003, 1_400_000_000 * 10**9 + i * 7_654_321_123)

        owners = [(1234, 5678), (0, 4321)] if IS_ROOT else [(os.geteuid(), os.getegid())]
        # (path, kind, mode); parents before children.
        layout = [
            ("keep", "dir", 0o755),
            ("keep/data", "data", 0o640),
            ("keep/zero-644", "file", 0o644),
            ("keep/zero-400", "file", 0o400),
            ("keep/zero-000", "file", 0o000),
            ("keep/zero-setuid", "file", 0o4755),
            ("zero-top", "file", 0o600),
            ("chain", "dir", 0o711),
            ("chain/a", "dir", 0o750),
            ("chain/a/b", "dir", 0o700),
            ("chain/a/b/leaf-ro", "dir", 0o555),
            ("chain/a/b/leaf-setgid", "dir", 0o2775),
            ("chain/a/sticky", "dir", 0o1777),
            ("chain/a/none", "dir", 0o000),
            ("deep/" + "/".join(f"d{i}" for i in range(12)), "dir", 0o755),
        ]
        for i, (rel, kind, _) in enumerate(layout):
            path = os.path.join(self.root, rel)
            if kind == "dir":
                os.makedirs(path)
            else:
                with open(path, "wb") as f:
                    f.write(b"kept data" if kind == "data" else b"")
        # Owners, modes and times from the leaves up: an entry made inside a
        # directory after its times were set would move them again.
        everything = sorted(record(self.root), key=lambda rel: -rel.count("/"))
        for i, rel in enumerate(everything):
            path = os.path.join(self.root, rel)
            mode = next((m for r, _, m in layout if r == rel), 0o755)
            if IS_ROOT:
                os.chown(path, *owners[i % len(owners)])
            os.chmod(path, mode)
            os.utime(path, ns=times(i))
        return record(self.root)

    def test_restore_recreates_the_cleaned_tree(self):
        before = self.build_tree()
        os.utime(self.root, ns=(time.time_ns() + 3600 * 10**9, 1_300_000_000 * 10**9))
        root_before = os.stat(self.root)
        out = run("clean", "--yes", "--journal", self.journal, self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        after_clean = record(self.root)
        removed = set(before) - set(after_clean)
        self.assertIn("keep/zero-setuid", removed)
        self.assertIn("chain/a/b/leaf-ro", removed)
        journal = read_journal(self.journal)
        self.assertEqual(sorted(os.path.relpath(e["path"], self.root) for e in journal),
                         sorted(removed))
        # Removal moved the times of the directories that held what went.
        self.assertNotEqual(after_clean["keep"]["mtime"], before["keep"]["mtime"])

        out = run("restore", self.journal)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(f"Restored {len(removed)} of {len(removed)} entries.".encode(), out.stdout)
        # A journal never hands out set-id or sticky bits; each one left off
        # is said, and a directory open to all under the sticky bit is not
        # left open without it.
        special = {"keep/zero-setuid": (0o4755, 0o755), "chain/a/b/leaf-setgid": (0o2775, 0o775),
                   "chain/a/sticky": (0o1777, 0o755)}
        notes = out.stderr.decode().splitlines()
        self.assertEqual(len(notes), len(special), notes)
        for rel, (was, now) in special.items():
            self.assertIn(f"edclean: recreated, set-id and sticky bits not restored, permissions "
                          f"{now:04o} in place of {was:04o}: {self.root}/{rel}", notes)
            before[rel]["mode"] = oct(now)
        root_after = os.stat(self.root)
        after = record(self.root)
        self.assertEqual(sorted(after), sorted(before))
        # Everything as it was, the times of the directories that stayed too.
        for rel, was in before.items():
            self.assertEqual(after[rel], was, rel)
        self.assertEqual((root_after.st_atime_ns, root_after.st_mtime_ns),
                         (root_before.st_atime_ns, root_before.st_mtime_ns))


class BadJournalTest(Workspace):
    maxDiff = None
    """What restore refuses as a whole (exit 1, nothing created), what lines it refuses
    (exit 3, the rest recreated) and what it skips (exit 3, nothing that exists changed)."""

    def write_journal(self, lines):
        with open(self.journal, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")

    def test_bad_lines_are_refused_with_their_number(self):
        made = os.path.join(self.root, "made")
        good = entry_line(made, "dir")
        os.mkdir(self.root + "x")  # a sibling whose name begins with the root's
        other = os.path.join(self.root, "other")  # holds nothing the journal lists
        os.mkdir(other)
        other_id = os.stat(other)
        cases = [
            # (name, bad line, message naming the line, path it must not create)
            ("not JSON", '{"path": ', ":3: not JSON", None),
            ("not an object", "[1, 2]", ":3: not a JSON object", None),
            ("dot-dot component", entry_line(self.root + "/made/../x", "file"),
             ":3: refused: path contains ..", self.root + "/x"),
            ("relative path", entry_line("root/x", "file"), ':3: "path" is not an absolute path',
             None),
            ("unknown kind", entry_line(self.root + "/x", "link"),
             ':3: "kind" missing or not "dir", "file" or "parent"', self.root + "/x"),
            ("missing time", json.dumps({"path": self.root + "/x", "kind": "file", "mode": 420,
                                         "uid": 0, "gid": 0, "atime": {"sec": 1, "nsec": 0}}),
             ':3: "mtime" missing', self.root + "/x"),
            ("nanoseconds past a second",
             entry_line(self.root + "/x", "file", mtime=(1, 1_073_741_823)),
             ':3: "mtime" missing or not', self.root + "/x"),
            ("mode beyond permission bits", entry_line(self.root + "/x", "file", mode=0o100644),
             ':3: "mode" holds more than permission bits', self.root + "/x"),
            ("negative owner", entry_line(self.root + "/x", "file", uid=-1),
             ':3: "uid" missing or not', self.root + "/x"),
            ("escaped NUL in path", entry_line(self.root + "/x\0y", "file"),
             ':3: "path" holds a NUL', None),
            ("outside the roots", entry_line(self.top + "/outside", "dir"),
             ":3: refused: not beneath a root the journal records: " + self.top + "/outside",
             self.top + "/outside"),
            ("root's name as a prefix", entry_line(self.root + "x/inside", "file"),
             ":3: refused: not beneath a root the journal records: ", self.root + "x/inside"),
            ("a second first line", header_line(self.top),
             ":3: a first line where an entry belongs", None),
            ("parent line for no entry",
             json.dumps({"path": other, "kind": "parent",
                         "id": {"volume": other_id.st_dev, "object": other_id.st_ino},
                         "atime": {"sec": 1, "nsec": 0}, "mtime": {"sec": 1, "nsec": 0}}),
             ":3: refused: a parent line for no entry the journal lists", None),
        ]
        for name, bad, message, target in cases:
            with self.subTest(name):
                if os.path.isdir(made):
                    os.rmdir(made)
                self.write_journal([header_line(self.root), good, bad])
                out = run("restore", self.journal)
                self.assertEqual(out.returncode, 3, out.stderr)
                self.assertIn((self.journal + message).encode(), out.stderr)
                self.assertIn(b"Restored 1 of 1 entry.", out.stdout)
                self.assertTrue(os.path.isdir(made))
                if target is not None:
                    self.assertFalse(os.path.lexists(target))
                self.assertEqual(os.stat(other).st_mtime_ns, other_id.st_mtime_ns)

    def test_untrusted_journals_create_nothing(self):
        made = os.path.join(self.root, "made")
        good = entry_line(made, "dir")
        fifo = os.path.join(self.top, "fifo")
        os.mkfifo(fifo)
        cases = [
            # (name, lines or None for a file made by `prepare`, journal, message)
            ("first line not JSON", ["{nope", good], None, ":1: not a journal: not JSON"),
            ("roots not an array", [json.dumps({"edclean_journal": 1, "roots": self.root}), good],
             None, ':1: first line: "roots" missing or not an array of paths'),
            ("no roots", [json.dumps({"edclean_journal": 1, "roots": []}), good], None,
             ':1: first line: "roots" missing'),
            ("relative root", [header_line("root"), good], None,
             ":1: first line: a root is not an absolute path"),
            ("dot-dot root", [header_line(self.root + "/.."), good], None,
             ":1: first line: refused: path contains .."),
            ("another format", [json.dumps({"edclean_journal": 2, "roots": [self.root]}), good],
             None, ":1: first line: a journal of another format than 1"),
            ("a FIFO", None, fifo, " cannot be trusted, nothing restored: not a regular file"),
            ("missing", None, os.path.join(self.top, "missing.jsonl"), "cannot read journal"),
        ]
        if IS_ROOT:
            cases += [
                ("owned by another user", [header_line(self.root), good],
                 lambda: os.chown(self.journal, OTHER_UID, OTHER_GID),
                 f" cannot be trusted, nothing restored: owned by user {OTHER_UID}, not by root"),
                ("writable by its group", [header_line(self.root), good],
                 lambda: os.chmod(self.journal, 0o664),
                 " cannot be trusted, nothing restored: writable by others than its owner"),
                ("writable by anyone", [header_line(self.root), good],
                 lambda: os.chmod(self.journal, 0o646),
                 " cannot be trusted, nothing restored: writable by others than its owner"),
            ]
        if not IS_ROOT:
            with self.subTest("journals root may not trust"):
                self.skipTest(NOT_ROOT)
        for name, lines, prepare, message in cases:
            with self.subTest(name):
                journal = self.journal
                if lines is not None:
                    if os.path.exists(self.journal):
                        os.unlink(self.journal)
                    self.write_journal(lines)
                    if callable(prepare):
                        prepare()
                else:
                    journal = prepare
                out = run("restore", journal)
                self.assertEqual(out.returncode, 1, out.stderr)
                self.assertIn(message.encode(), out.stderr)
                self.assertFalse(os.path.lexists(made))

    def test_journal_without_first_line_is_restored_with_a_warning(self):
        # As an earlier release wrote it: no roots recorded, no parent lines.
        made = os.path.join(self.root, "made")
        self.write_journal([entry_line(made, "dir", mode=0o750),
                            entry_line(made + "/file", "file", mode=0o640)])
        out = run("restore", self.journal)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(b"edclean: warning: " + self.journal.encode() +
                      b" has no first line with the roots of its clean", out.stderr)
        self.assertIn(b"Restored 2 of 2 entries.", out.stdout)
        self.assertEqual(stat.S_IMODE(os.stat(made).st_mode), 0o750)
        self.assertEqual(stat.S_IMODE(os.stat(made + "/file").st_mode), 0o640)

    def test_skipped_entries_are_reported_and_left_as_they_are(self):
        existing_file = os.path.join(self.root, "existing-file")
        with open(existing_file, "wb") as f:
            f.write(b"data")
        os.chmod(existing_file, 0o600)
        existing_dir = os.path.join(self.root, "existing-dir")
        os.mkdir(existing_dir, 0o700)
        outside = os.path.join(self.top, "outside")
        os.mkdir(outside)
        os.symlink(outside, os.path.join(self.root, "link"))
        with open(os.path.join(self.root, "plain-file"), "wb"):
            pass

        cases = [
            # (journal line, message on standard error)
            (entry_line(existing_file, "file", mode=0o644), "exists, left as it is: "),
            (entry_line(existing_dir, "dir", mode=0o755), "exists, left as it is: "),
            (entry_line(existing_file, "dir"), "exists, left as it is: "),
            (entry_line(self.root + "/gone/child", "file"),
             "not recreated, the directory that would hold it is missing: "),
            (entry_line(self.root + "/link/child", "file"),
             f"not recreated, {self.root}/link on the way is a link or not a directory: "),
            (entry_line(self.root + "/plain-file/child", "dir"),
             f"not recreated, {self.root}/plain-file on the way is a link or not a directory: "),
        ]
        recreated = os.path.join(self.root, "recreated")
        lines = [line for line, _ in cases] + [entry_line(recreated, "file", mode=0o640)]
        # The times of a directory that is not the one the clean saw stay.
        root_id = os.stat(self.root)
        other = json.dumps({"path": self.root, "kind": "parent",
                            "id": {"volume": root_id.st_dev, "object": root_id.st_ino + 1},
                            "atime": {"sec": 1, "nsec": 0}, "mtime": {"sec": 1, "nsec": 0}})
        with open(self.journal, "w", encoding="utf-8") as f:
            f.write("\n".join([header_line(self.root)] + lines + [other]) + "\n")
        before = record(self.top, dir_atimes=False)
        del before["root"]["mtime"]  # the recreated entry lands in it
        del before["journal.jsonl"]  # read, so its access time moves
        out = run("restore", self.journal)
        self.assertEqual(out.returncode, 3, out.stderr)
        self.assertIn(f"Restored 1 of {len(lines)} entries.".encode(), out.stdout)
        for line, message in cases:
            self.assertIn(f"edclean: {message}{json.loads(line)['path']}\n".encode(), out.stderr)
        self.assertIn(f"edclean: times not set back (it is not the directory the clean saw): "
                      f"{self.root}\n".encode(), out.stderr)
        self.assertNotEqual(os.stat(self.root).st_mtime_ns, 1_000_000_000)
        # Only the one new entry; everything that was there is as it was.
        after = record(self.top, dir_atimes=False)
        del after["root"]["mtime"], after["journal.jsonl"]
        self.assertEqual(after.pop("root/recreated")["mode"], oct(0o640))
        self.assertEqual(after, before)

    def test_names_in_messages_cannot_drive_the_terminal(self):
        # A journal line's path is hostile text: restore's messages quote it
        # as the scan's listing does.
        name = "esc\x1b[1Adir\nsecond"
        existing = os.path.join(self.root, name)
        os.mkdir(existing)
        with open(self.journal, "w", encoding="utf-8") as f:
            f.write(header_line(self.root) + "\n" + entry_line(existing, "dir") + "\n")
        out = run("restore", self.journal)
        self.assertEqual(out.returncode, 3, out.stderr)
        self.assertNotIn(b"\x1b", out.stderr)
        self.assertIn(b"exists, left as it is: '" + self.root.encode() + b"/esc'$'\\033''[1Adir'"
                      b"$'\\n''second'\n", out.stderr)


class CleanJournalTest(Workspace):
    def make(self, *entries):
        for rel in entries:
            path = os.path.join(self.root, rel)
            if rel.endswith("/"):
                os.makedirs(path)
            else:
                open(path, "wb").close()

    def test_only_what_the_library_removed_is_journaled(self):
        # A file listed by the scan that gains data before the removal is
        # refused by the library, and must not appear in the journal.
        self.make("empty/", "zero-a", "zero-b")
        master, slave = pty.openpty()
        proc = subprocess.Popen([CLI, "clean", "--journal", self.journal, self.root],
                                stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.close(slave)
        try:
            prompt = b""
            while b"[y/N]" not in prompt:
                ready, _, _ = select.select([proc.stdout], [], [], 60)
                self.assertTrue(ready, "no prompt")
                chunk = os.read(proc.stdout.fileno(), 4096)
                self.assertTrue(chunk, prompt)
                prompt += chunk
            with open(os.path.join(self.root, "zero-a"), "wb") as f:
                f.write(b"written after the scan")
            os.write(master, b"y\n")
            out, err = proc.communicate(timeout=60)
        finally:
            os.close(master)
        self.assertEqual(proc.returncode, 3, err)
        self.assertIn(b"\n  kept: holds data now (written since the scan, or on Windows in a named stream): "
                      + os.path.join(self.root, "zero-a").encode() +
                      b"\n", out)
        self.assertEqual(sorted((e["path"], e["kind"]) for e in read_journal(self.journal)),
                         [(self.root + "/empty", "dir"), (self.root + "/zero-b", "file")])
        self.assertTrue(os.path.exists(os.path.join(self.root, "zero-a")))

    def test_journal_that_cannot_be_made_stops_the_clean(self):
        self.make("empty/", "zero")
        with open(self.journal, "w") as f:
            f.write("an earlier journal\n")
        before = record(self.top, dir_atimes=False)
        for name, target, message in [
            ("existing file", self.journal, b"exists; a journal is always a new file"),
            ("missing folder", os.path.join(self.top, "no", "j.jsonl"), b"No such file"),
        ]:
            with self.subTest(name):
                out = run("clean", "--yes", "--journal", target, self.root)
                self.assertEqual(out.returncode, 1, out.stderr)
                self.assertIn(message, out.stderr)
                self.assertEqual(out.stdout, b"")  # not even scanned
                self.assertEqual(record(self.top, dir_atimes=False), before)

    @unittest.skipIf(os.name == "nt", "file modes are POSIX's")
    def test_journal_is_readable_by_its_maker_only(self):
        # It names every path removed and their owners: nobody else's to read,
        # whatever the umask says.
        self.make("empty/")
        old = os.umask(0o022)
        try:
            out = run("clean", "--yes", "--journal", self.journal, self.root)
        finally:
            os.umask(old)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(os.stat(self.journal).st_mode & 0o777, 0o600)

    def test_dry_run_writes_no_journal(self):
        self.make("empty/")
        out = run("clean", "--dry-run", "--journal", self.journal, self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertFalse(os.path.exists(self.journal))
        self.assertTrue(os.path.isdir(os.path.join(self.root, "empty")))

    def test_interrupted_clean_leaves_a_journal_of_what_went(self):
        for d in range(100):
            base = os.path.join(self.root, f"d{d}")
            os.makedirs(base)
            with open(os.path.join(base, "data"), "wb") as f:
                f.write(b"x")
            for i in range(200):
                open(os.path.join(base, f"z{i}"), "wb").close()
        listed = {os.path.join(directory, name)
                  for directory, _, files in os.walk(self.root) for name in files
                  if name != "data"}
        proc = subprocess.Popen([CLI, "clean", "--yes", "--journal", self.journal, self.root],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and proc.poll() is None:
            if os.path.exists(self.journal):  # past its first line, the roots
                with open(self.journal, "rb") as f:
                    if f.read().count(b"\n") > 1:
                        break
            time.sleep(0.001)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        self.assertEqual(proc.returncode, -signal.SIGKILL, "the clean ended before it was killed")
        journaled = {entry["path"] for entry in read_journal(self.journal)}
        gone = {path for path in listed if not os.path.lexists(path)}
        self.assertTrue(journaled)
        self.assertLess(len(gone), len(listed), "killed after the last removal")
        self.assertLessEqual(journaled, gone)
        # At most the entry whose removal had returned and whose line was
        # being written when the process died.
        self.assertLessEqual(len(gone - journaled), 1)

    @unittest.skipUnless(CLI_HOOKED, "needs the program built with its pause points")
    def test_an_interrupt_stops_the_clean_between_two_entries(self):
        # Ctrl-C, a hang-up or a termination request while entries go: the
        # entry in hand is finished and journaled, nothing after it is
        # touched, and the user is told what went and where it is recorded.
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                shutil.rmtree(self.root)
                os.mkdir(self.root)
                self.make("a/", "b/", "c/", "z1", "z2")
                journal = os.path.join(self.top, f"journal-{sig.name}.jsonl")
                pause = os.path.join(self.top, f"pause-{sig.name}")
                os.mkdir(pause)
                env = dict(os.environ, EDCLEAN_TEST_PAUSE=f"one-removed:{pause}")
                proc = subprocess.Popen([CLI_HOOKED, "clean", "--yes", "--journal", journal,
                                         self.root], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
                deadline = time.monotonic() + 60
                while (not os.path.exists(os.path.join(pause, "ready")) and
                       proc.poll() is None and time.monotonic() < deadline):
                    time.sleep(0.005)
                proc.send_signal(sig)
                time.sleep(0.1)
                open(os.path.join(pause, "go"), "wb").close()
                out, err = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, 130, err)
                self.assertIn(b"Removed 1 of 5 entries.\n", out)
                self.assertIn(b"Not reached (4): the clean was interrupted.\n", out)
                self.assertIn(b"interrupted: 1 of 5 entries was removed, all recorded in the "
                              b"journal " + journal.encode(), err)
                left = sorted(os.listdir(self.root))
                self.assertEqual(len(left), 4, left)
                self.assertEqual(len(read_journal(journal)), 1)

    def test_journal_inside_the_tree_is_neither_listed_nor_removed(self):
        # The journal is made before the scan, empty, under a name that is not
        # the scan's spelling of it: it is told apart by identity.
        for name, others in [("alone", []), ("after another zero-byte file", ["a-zero"]),
                             ("beside an empty directory", ["empty/"])]:
            with self.subTest(name):
                for entry in os.listdir(self.root):
                    path = os.path.join(self.root, entry)
                    os.rmdir(path) if os.path.isdir(path) else os.unlink(path)
                self.make(*others)
                out = subprocess.run([CLI, "clean", "--yes", "--journal", "undo.jsonl", "."],
                                     cwd=self.root, capture_output=True, timeout=60)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stderr, b"")
                self.assertNotIn(b"undo.jsonl", out.stdout)
                journal = os.path.join(self.root, "undo.jsonl")
                self.assertEqual(len(read_journal(journal)), len(others))
                out = run("restore", journal)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(sorted(os.listdir(self.root)),
                                 sorted([o.rstrip("/") for o in others] + ["undo.jsonl"]))

    @unittest.skipUnless(CLI_HOOKED, "needs the program built with its pause points")
    def test_journal_describes_the_object_that_was_removed(self):
        # Between reading the metadata and the removal another file takes the
        # name: its line would describe the file that went, which is not the
        # one removed, so it is not removed.
        self.make("swapped", "plain")
        swapped = os.path.join(self.root, "swapped")
        os.chmod(swapped, 0o644)
        newcomer = os.path.join(self.top, "newcomer")

        def swap():
            with open(newcomer, "wb"):
                pass
            os.chmod(newcomer, 0o600)
            os.rename(newcomer, swapped)

        paused, out = Paused("metadata-read", self.top).run(
            ["clean", "--yes", "--journal", self.journal, self.root], swap)
        self.assertTrue(paused, out.stderr)
        self.assertEqual(out.returncode, 3, out.stderr)
        self.assertIn(b"\n  kept: it is not the object whose metadata was read: " +
                      swapped.encode() + b"\n", out.stdout)
        self.assertEqual([e["path"] for e in read_journal(self.journal)],
                         [os.path.join(self.root, "plain")])
        self.assertEqual(stat.S_IMODE(os.lstat(swapped).st_mode), 0o600)


    @unittest.skipUnless(CLI_HOOKED, "needs the program built with its pause points")
    def test_each_entrys_outcome_is_the_one_its_removal_gave(self):
        # A folder on the way to an offered entry is swapped for a link after the
        # scan: to a copy of the tree (the entry is reached through a link), or to a
        # folder without the entry (its path no longer leads to it). Neither entry is
        # removed, and each says why as its removal found it, whatever the path shows
        # afterwards.
        cases = [
            ("to the same folder", lambda: "a2",
             {"outcome": "kept", "message": "refused: symlink",
              "reason": "now a link, or reached through one"}),
            ("to another folder", lambda: os.path.join(self.root, "elsewhere"),
             {"outcome": "kept",
              "message": "it is not the object whose metadata was read "
                         "(No such file or directory)"}),
        ]
        for name, target, expected in cases:
            with self.subTest(name):
                shutil.rmtree(self.root)
                os.mkdir(self.root)
                if os.path.exists(self.journal):
                    os.remove(self.journal)
                self.make("a/e/", "elsewhere/")
                for data in ("a/data", "elsewhere/data"):
                    with open(os.path.join(self.root, data), "wb") as f:
                        f.write(b"x")
                entry = os.path.join(self.root, "a", "e")

                def swap():
                    os.rename(os.path.join(self.root, "a"), os.path.join(self.root, "a2"))
                    os.symlink(target(), os.path.join(self.root, "a"))

                pause = Paused("metadata-read", self.top)
                paused, out = pause.run(
                    ["clean", "--yes", "--json", "--journal", self.journal, self.root], swap)
                shutil.rmtree(pause.dir)
                self.assertTrue(paused, out.stderr)
                self.assertEqual(out.returncode, 1, out.stderr)
                records = [json.loads(line) for line in out.stdout.splitlines()]
                self.assertEqual(len(records), 1, out.stdout)
                self.assertEqual({k: records[0].get(k) for k in expected}, expected)
                self.assertEqual(records[0]["path"], entry)
                self.assertTrue(os.path.isdir(os.path.join(self.root, "a2", "e")))
                self.assertEqual(read_journal(self.journal), [])


@unittest.skipUnless(IS_ROOT, NOT_ROOT)
class SharedDirectoryTest(Workspace):
    """Root restores into a directory every user may write to; another user swaps a
    directory of theirs in for the one restore just made."""

    @unittest.skipUnless(CLI_HOOKED, "needs the program built with its pause points")
    def test_swapped_in_directory_is_left_alone(self):
        shared = os.path.join(self.root, "shared")
        os.mkdir(shared)
        os.chmod(shared, 0o777)  # not sticky
        victim = os.path.join(shared, "victim")
        private = os.path.join(self.top, "private")  # the other user's, with a secret
        os.mkdir(private, 0o700)
        with open(os.path.join(private, "secret"), "wb") as f:
            f.write(b"secret")
        for path in (private, os.path.join(private, "secret")):
            os.chown(path, OTHER_UID, OTHER_GID)
        with open(self.journal, "w", encoding="utf-8") as f:
            f.write("\n".join([header_line(self.root),
                                entry_line(victim, "dir", mode=0o755, uid=0, gid=0),
                                entry_line(victim + "/child", "dir", mode=0o755, uid=0, gid=0)])
                    + "\n")

        def swap():
            os.rename(victim, os.path.join(self.top, "moved-away"))
            os.rename(private, victim)

        paused, out = Paused("dir-created", self.top).run(["restore", self.journal], swap)
        self.assertTrue(paused, out.stderr)
        self.assertEqual(out.returncode, 3, out.stderr)
        self.assertIn(b"Restored 0 of 2 entries.", out.stdout)
        self.assertIn(b"recreated, but metadata not set, it was replaced since it was "
                      b"recreated: " + victim.encode(), out.stderr)
        self.assertIn(b"not recreated (the directory that holds it is no longer the one restore "
                      b"made): " + victim.encode() + b"/child", out.stderr)
        st = os.stat(victim)
        self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)),
                         (OTHER_UID, OTHER_GID, 0o700))
        self.assertEqual(os.listdir(victim), ["secret"])
        # Nothing of restore's own is left behind in the shared directory.
        self.assertEqual(os.listdir(shared), ["victim"])


if __name__ == "__main__":
    unittest.main()
