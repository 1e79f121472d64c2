"""The undo journal end to end: `edclean clean --journal FILE` and `edclean restore FILE`
on generated trees.

EDCLEAN_CLI names the program.
"""

import json
import os
import pty
import select
import signal
import stat
import subprocess
import tempfile
import time
import unittest

CLI = os.environ.get("EDCLEAN_CLI", "edclean")
IS_ROOT = os.geteuid() == 0


def run(*args, stdin=subprocess.DEVNULL):
    return subprocess.run([CLI, *args], stdin=stdin, capture_output=True, timeout=120)


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
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


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
        out = run("clean", "--yes", "--journal", self.journal, self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        after_clean = record(self.root)
        removed = set(before) - set(after_clean)
        self.assertIn("keep/zero-setuid", removed)
        self.assertIn("chain/a/b/leaf-ro", removed)
        journal = read_journal(self.journal)
        self.assertEqual(sorted(os.path.relpath(e["path"], self.root) for e in journal),
                         sorted(removed))

        out = run("restore", self.journal)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stderr, b"")
        self.assertIn(f"Restored {len(removed)} of {len(removed)} entries.".encode(), out.stdout)
        after = record(self.root)
        self.assertEqual(sorted(after), sorted(before))
        for rel, was in before.items():
            now = dict(after[rel])
            expected = dict(was)
            if rel not in removed and was["kind"] == "dir":
                # A directory that stayed saw entries go and come back.
                for key in ("atime", "mtime"):
                    del now[key], expected[key]
            self.assertEqual(now, expected, rel)


class BadJournalTest(Workspace):
    maxDiff = None
    """What restore refuses as a whole (exit 1, nothing created) and what it skips
    (exit 3, the rest recreated, nothing that exists changed)."""

    def test_unreadable_journals_create_nothing(self):
        made = os.path.join(self.root, "made")
        good = entry_line(made, "dir")
        cases = [
            # (name, lines, message naming the line)
            ("not JSON", [good, '{"path": '], ":2: not JSON"),
            ("not an object", [good, "[1, 2]"], ":2: not a JSON object"),
            ("dot-dot component", [good, entry_line(self.root + "/made/../x", "file")],
             ":2: refused: path contains .."),
            ("relative path", [good, entry_line("root/x", "file")],
             ':2: "path" is not an absolute path'),
            ("unknown kind", [good, entry_line(self.root + "/x", "link")],
             ':2: "kind" missing or neither "dir" nor "file"'),
            ("missing time", [good, json.dumps({"path": self.root + "/x", "kind": "file",
                                                "mode": 420, "uid": 0, "gid": 0,
                                                "atime": {"sec": 1, "nsec": 0}})],
             ':2: "mtime" missing'),
            ("nanoseconds past a second", [good, entry_line(self.root + "/x", "file",
                                                            mtime=(1, 1_073_741_823))],
             ':2: "mtime" missing or not'),
            ("mode beyond permission bits", [good, entry_line(self.root + "/x", "file",
                                                              mode=0o100644)],
             ':2: "mode" holds more than permission bits'),
            ("negative owner", [good, entry_line(self.root + "/x", "file", uid=-1)],
             ':2: "uid" missing or not'),
            ("escaped NUL in path", [good, entry_line(self.root + "/x\0y", "file")],
             ':2: "path" holds a NUL'),
            ("blank lines counted", [good, "", "  ", "nope"], ":4: not JSON"),
        ]
        for name, lines, message in cases:
            with self.subTest(name):
                if os.path.isdir(made):  # left by a case that failed
                    os.rmdir(made)
                with open(self.journal, "w", encoding="utf-8") as f:
                    f.write("\n".join(lines) + "\n")
                out = run("restore", self.journal)
                self.assertEqual(out.returncode, 1, out.stderr)
                self.assertIn((self.journal + message).encode(), out.stderr)
                # The good first line was not acted on either.
                self.assertFalse(os.path.lexists(made))

        out = run("restore", os.path.join(self.top, "missing.jsonl"))
        self.assertEqual(out.returncode, 1)
        self.assertIn(b"cannot read journal", out.stderr)

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
        with open(self.journal, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        before = record(self.top, dir_atimes=False)
        del before["root"]["mtime"]  # the recreated entry lands in it
        del before["journal.jsonl"]  # read, so its access time moves
        out = run("restore", self.journal)
        self.assertEqual(out.returncode, 3, out.stderr)
        self.assertIn(f"Restored 1 of {len(lines)} entries.".encode(), out.stdout)
        for line, message in cases:
            self.assertIn(f"edclean: {message}{json.loads(line)['path']}\n".encode(), out.stderr)
        # Only the one new entry; everything that was there is as it was.
        after = record(self.top, dir_atimes=False)
        del after["root"]["mtime"], after["journal.jsonl"]
        self.assertEqual(after.pop("root/recreated")["mode"], oct(0o640))
        self.assertEqual(after, before)


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
        self.assertIn(b"refused: file size != 0", err)
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
            if os.path.exists(self.journal) and os.path.getsize(self.journal) > 0:
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


if __name__ == "__main__":
    unittest.main()
