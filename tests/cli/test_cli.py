"""End-to-end tests of the edclean command-line host on generated trees.

EDCLEAN_CLI names the program; EDCLEAN_LIBRARY the shared library, through
which the Python binding gives the library's own result for comparison;
EDCLEAN_COMPLETION the bash completion file and EDCLEAN_MAN_PAGE the manual
page the build made (empty when it made none).
"""

import fcntl
import json
import os
import pty
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import termios
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "bindings", "python"))

import tavirlen_edclean as edclean  # noqa: E402

CLI = os.environ.get("EDCLEAN_CLI", "edclean")
# The same program with pause points (EDCLEAN_TEST_PAUSE=POINT:DIR).
CLI_HOOKED = os.environ.get("EDCLEAN_CLI_HOOKED")
COMPLETION = os.environ.get("EDCLEAN_COMPLETION", "")
MAN_PAGE = os.environ.get("EDCLEAN_MAN_PAGE", "")
SUBCOMMANDS = ("scan", "clean", "restore")


def run(*args, stdin=subprocess.DEVNULL, env=None, stdout=subprocess.PIPE, cwd=None):
    return subprocess.run([CLI, *args], stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                          timeout=120, env=env, cwd=cwd)


def make_tree(root, entries):
    """Makes `entries` beneath `root`: a name ending in '/' is a folder, one with '=' a file
    holding the text after it, any other an empty file."""
    for entry in entries:
        path = os.path.join(root, entry.split("=", 1)[0])
        if entry.endswith("/"):
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(entry.split("=", 1)[1].encode() if "=" in entry else b"")


class Terminal:
    """The program on a pseudo-terminal: standard input, standard output and (unless
    `stderr` says otherwise) standard error are the terminal, of `rows` rows and `columns`
    columns."""

    def __init__(self, *args, rows=24, columns=120, stderr=None):
        self.master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        self.proc = subprocess.Popen([CLI, *args], stdin=slave, stdout=slave,
                                     stderr=stderr if stderr is not None else slave,
                                     close_fds=True)
        os.close(slave)
        self.text = b""

    def read_until(self, marker, timeout=60):
        while marker not in self.text:
            ready, _, _ = select.select([self.master], [], [], timeout)
            if not ready:
                raise AssertionError(f"no {marker!r} in {self.text!r}")
            try:
                chunk = os.read(self.master, 4096)
            except OSError:  # the program has ended and the terminal is gone
                chunk = b""
            if not chunk:
                raise AssertionError(f"no {marker!r} in {self.text!r}")
            self.text += chunk
        return self.text

    def finish(self, answer=None):
        if answer is not None:
            os.write(self.master, answer)
        while True:
            ready, _, _ = select.select([self.master], [], [], 60)
            try:
                chunk = os.read(self.master, 4096) if ready else b""
            except OSError:
                chunk = b""
            if not chunk:
                break
            self.text += chunk
        self.proc.wait(timeout=60)
        os.close(self.master)
        return self.proc.returncode, self.text


class CliTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.root = os.path.realpath(self._tmp.name)
        rng = random.Random(1210)
        self.data = {}
        for top in range(20):
            for sub in range(8):
                base = os.path.join(self.root, f"t{top}", f"s{sub}")
                kind = rng.randrange(4)
                if kind == 0:
                    os.makedirs(os.path.join(base, "x", "y"))
                elif kind == 1:
                    os.makedirs(base)
                    open(os.path.join(base, f"zero{rng.randrange(9)}"), "wb").close()
                elif kind == 2:
                    os.makedirs(base)
                    path = os.path.join(base, "data")
                    with open(path, "wb") as f:
                        f.write(b"d" * (1 + rng.randrange(50)))
                    self.data[path] = os.path.getsize(path)
                else:
                    os.makedirs(os.path.join(base, ".hidden"))

    def tearDown(self):
        self._tmp.cleanup()

    def snapshot(self):
        entries = set()
        for directory, dirs, files in os.walk(self.root):
            for name in dirs + files:
                entries.add(os.path.join(directory, name))
        return entries

    def test_json_output_is_the_library_text(self):
        out = run("scan", "--json", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(json.loads(out.stdout), edclean.scan([self.root]))
        self.assertTrue(out.stdout.startswith(b'{"empty_dirs":['))

    def test_nul_output_lists_directories_then_files(self):
        expected = edclean.scan([self.root])
        out = run("scan", "-0", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        paths = out.stdout.decode("utf-8").split("\0")
        self.assertEqual(paths[-1], "")
        self.assertEqual(paths[:-1], expected["empty_dirs"] + expected["zero_files"])

    def test_readable_listing_ends_with_a_summary(self):
        expected = edclean.scan([self.root], include_zero_byte=False)
        out = run("scan", "--no-zero-files", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        text = out.stdout.decode("utf-8")
        for path in expected["empty_dirs"]:
            self.assertIn("  " + path + "\n", text)
        self.assertIn(f"{len(expected['empty_dirs'])} empty directories, 0 zero-byte files, "
                      f"{expected['scanned_dirs']} directories scanned in ", text)

    def test_counts_of_one_are_singular(self):
        with tempfile.TemporaryDirectory() as tmp:
            os.makedirs(os.path.join(tmp, "only", "e"))
            open(os.path.join(tmp, "only", "z"), "wb").close()
            root = os.path.join(tmp, "only", "e")
            out = run("scan", root)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertIn("1 empty directory, 0 zero-byte files, 1 directory scanned in ",
                          out.stdout.decode("utf-8"))
            out = run("scan", os.path.join(tmp, "only"))
            self.assertIn("1 empty directory, 1 zero-byte file, 2 directories scanned in ",
                          out.stdout.decode("utf-8"))
            out = run("clean", "--yes", "--remove-roots", root)
            self.assertIn("Removed 1 of 1 entry.", out.stdout.decode("utf-8"))

    def test_clean_removes_what_it_offered_and_nothing_else(self):
        listed = edclean.scan([self.root])
        dry = run("clean", "--dry-run", "--json", self.root)
        self.assertEqual(dry.returncode, 0, dry.stderr)
        offered = [json.loads(line) for line in dry.stdout.splitlines()]
        paths = {record["path"] for record in offered}
        # Everything the scan listed is offered (the root is not listed: it holds data), and
        # every other offer is a folder that the removal of the offered entries empties.
        self.assertLessEqual(set(listed["empty_dirs"]) | set(listed["zero_files"]), paths)
        emptied = {r["path"] for r in offered if r.get("emptied")}
        self.assertEqual(paths - set(listed["empty_dirs"]) - set(listed["zero_files"]), emptied)
        self.assertTrue(emptied)
        for folder in emptied:
            self.assertLessEqual({os.path.join(folder, n) for n in os.listdir(folder)}, paths)
        before = self.snapshot()
        out = run("clean", "--yes", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(f"Removed {len(paths)} of {len(paths)} entries.".encode(), out.stdout)
        self.assertEqual(self.snapshot(), before - paths)
        for path, size in self.data.items():
            self.assertEqual(os.path.getsize(path), size)

    def test_clean_without_yes_off_a_terminal_removes_nothing(self):
        before = self.snapshot()
        out = run("clean", self.root, stdin=subprocess.DEVNULL)
        self.assertEqual(out.returncode, 2)
        self.assertIn(b"--yes", out.stderr)
        self.assertEqual(self.snapshot(), before)

    def test_dry_run_and_dirs_only(self):
        before = self.snapshot()
        self.assertEqual(run("clean", "--dry-run", self.root).returncode, 0)
        self.assertEqual(self.snapshot(), before)
        listed = edclean.scan([self.root], include_zero_byte=False)
        self.assertEqual(run("clean", "--dirs-only", "--yes", self.root).returncode, 0)
        self.assertEqual(self.snapshot(), before - set(listed["empty_dirs"]))

    def test_exclude_and_min_age_give_the_librarys_result(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = os.path.realpath(tmp)
            for d in ("p/node_modules", "q", "DVD/AUDIO_TS", "old", "young"):
                os.makedirs(os.path.join(root, d))
            for f in ("r/x.tmp", "stale", "fresh"):
                os.makedirs(os.path.dirname(os.path.join(root, f)), exist_ok=True)
                open(os.path.join(root, f), "wb").close()
            hours_ago = os.stat(root).st_mtime - 7200
            for aged in ("old", "stale"):
                os.utime(os.path.join(root, aged), (hours_ago, hours_ago))

            out = run("scan", "--json", "--exclude", "node_modules", "--exclude=*.tmp",
                      "--exclude", "AUDIO_TS", root)
            self.assertEqual(out.returncode, 0, out.stderr)
            expected = edclean.scan([root], exclude=["node_modules", "*.tmp", "AUDIO_TS"])
            self.assertEqual(json.loads(out.stdout), expected)
            self.assertNotIn(os.path.join(root, "p"), expected["empty_dirs"])
            self.assertNotIn(os.path.join(root, "DVD"), expected["empty_dirs"])
            self.assertIn(os.path.join(root, "q"), expected["empty_dirs"])

            expected = edclean.scan([root], min_age_seconds=3600)
            self.assertEqual(expected["empty_dirs"], [os.path.join(root, "old")])
            self.assertEqual(expected["zero_files"], [os.path.join(root, "stale")])
            for spelling in ("1h", "60m", "3600s", "3600"):
                out = run("scan", "--json", "--min-age", spelling, root)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(json.loads(out.stdout), expected, spelling)

            # clean removes what the scan with the same flags listed, no more.
            out = run("clean", "--yes", "--min-age", "1h", "--exclude", "node_modules", root)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertIn(b"Removed 2 of 2 entries.", out.stdout)
            self.assertFalse(os.path.exists(os.path.join(root, "old")))
            for kept in ("young", "fresh", "q", "p/node_modules"):
                self.assertTrue(os.path.exists(os.path.join(root, kept)), kept)

    def test_durations_that_cannot_be_meant_are_usage_errors(self):
        cases = [(bad, "is not a duration") for bad in ("-5m", "5x", "1.5h", "7D", "", "m", "10 s")]
        cases += [(big, "is too large a duration")
                  for big in ("99999999999999999999d", "106751991167301d", "9223372036854775808")]
        for bad, words in cases:
            for command in ("scan", "clean"):
                out = run(command, "--min-age", bad, self.root)
                self.assertEqual(out.returncode, 2, (command, bad))
                self.assertIn(f"--min-age: '{bad}' {words}".encode(), out.stderr)
                self.assertEqual(out.stdout, b"")

    def test_threads_change_nothing_in_the_result(self):
        plain = run("scan", "--json", self.root)
        self.assertEqual(plain.returncode, 0, plain.stderr)
        for threads in ("0", "1", "2", "64"):
            out = run("scan", "--json", "--threads", threads, self.root)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertEqual(out.stdout, plain.stdout)
        for bad in ("-1", "x", "1.5", "9999999999"):
            out = run("scan", "--threads", bad, self.root)
            self.assertEqual(out.returncode, 2, bad)
            self.assertIn(b"--threads:", out.stderr)

    def test_help_states_every_new_flags_default(self):
        for command in ("scan", "clean"):
            text = run(command, "--help").stdout.decode("utf-8")
            for flag, default in (("--exclude PATTERN", "(default: none)"),
                                  ("--min-age DURATION", "(default: none)"),
                                  ("--threads N", "(default: 0)")):
                line = next((ln for ln in text.splitlines() if flag in ln), "")
                self.assertIn(default, line, f"{command} {flag}:\n{text}")
                self.assertEqual(line.count("(default:"), 1, line)

    def test_exit_statuses(self):
        missing = os.path.join(self.root, "missing")
        out = run("scan", missing)
        self.assertEqual(out.returncode, 1)
        self.assertIn(("root not found: " + missing).encode(), out.stderr)
        self.assertEqual(run("scan").returncode, 2)
        self.assertEqual(run("scan", "--json", "-0", self.root).returncode, 2)
        self.assertEqual(run("frobnicate").returncode, 2)
        self.assertEqual(run("--version").returncode, 0)
        self.assertEqual(run("clean", "--help").returncode, 0)


class TreeTest(unittest.TestCase):
    """A small tree of its own per test."""

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.top = os.path.realpath(self._tmp.name)
        self.root = os.path.join(self.top, "root")
        os.mkdir(self.root)

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.root, name)


# Names that would move the cursor, rewrite a line, split one, or reorder what is shown;
# the form a reader sees is the one a POSIX shell reads back as the name.
HOSTILE_NAMES = [
    "x\x1b[1A\x1b[2K\rEmpty directories (0):",
    "new\nline",
    "tab\there",
    "it's",
    "bell\x07",
    "delete\x7f",
    "c1\u0085control",
    "rtl\u202egnp.exe",
]


class EscapingTest(TreeTest):
    def shell_reads(self, shown):
        out = subprocess.run(["bash", "-c", "printf '%s' " + shown], capture_output=True,
                             timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        return out.stdout

    def test_a_name_cannot_forge_the_listing(self):
        for name in HOSTILE_NAMES:
            os.mkdir(self.path(name))
        out = run("scan", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        lines = out.stdout.split(b"\n")
        self.assertEqual(lines.pop(), b"")
        # One summary, two headings, one line per name and the root's: nothing split or added.
        self.assertEqual(len(lines), 3 + len(HOSTILE_NAMES) + 1, out.stdout)
        for line in lines:
            self.assertIsNone(re.search(rb"[\x00-\x1f\x7f]|\xc2[\x80-\x9f]|\xe2\x80\xae", line),
                              line)
        # The root is listed too: all it holds is empty folders.
        shown = {self.shell_reads(line[2:].decode().removesuffix("  (root)"))
                 for line in lines[2:-1]}
        self.assertEqual(shown, {self.path(n).encode() for n in HOSTILE_NAMES} |
                         {self.root.encode()})
        os.mkdir(self.path("plain name"))
        self.assertIn(b"\n  " + self.path("plain name").encode() + b"\n",
                      run("scan", self.root).stdout)

    def test_machine_formats_keep_the_exact_bytes(self):
        for name in HOSTILE_NAMES:
            os.mkdir(self.path(name))
        expected = sorted(self.path(n).encode() for n in HOSTILE_NAMES)
        out = run("scan", "-0", self.root)
        self.assertEqual(sorted(out.stdout.split(b"\0")[:-1]), sorted(expected + [
            self.root.encode()]))
        out = run("scan", "--json", self.root)
        self.assertEqual(json.loads(out.stdout), edclean.scan([self.root]))
        out = run("clean", "--yes", "-0", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(sorted(out.stdout.split(b"\0")[:-1]), expected)
        self.assertEqual(os.listdir(self.root), [])

    def test_the_prompt_on_a_terminal_shows_every_name_escaped(self):
        os.mkdir(self.path(HOSTILE_NAMES[0]))
        term = Terminal("clean", self.root)
        text = term.read_until(b"[y/N] ")
        status, _ = term.finish(b"n\n")
        self.assertEqual(status, 0)
        self.assertNotIn(b"\x1b", text)
        self.assertIn(b"  '" + self.root.encode() + b"/x'$'\\033''[1A'", text)
        self.assertTrue(os.path.isdir(self.path(HOSTILE_NAMES[0])))

    def test_characters_that_draw_nothing_are_spelt_out(self):
        # (name, what its line must hold): None for a name shown as it is.
        cases = [
            ("zero\u200bwidth", "$'\\u200B'"),
            ("arabic\u061cmark", "$'\\u061C'"),
            ("soft\u00adhyphen", "$'\\u00AD'"),
            ("word\u2060joiner", "$'\\u2060'"),
            ("bom\ufeff", "$'\\uFEFF'"),
            ("tag\U000e0041", "$'\\U000E0041'"),
            ("cgj\u034f", "$'\\u034F'"),
            ("\u115ffiller", "$'\\u115F'"),
            ("filler\u1160", "$'\\u1160'"),
            ("\u3164", "$'\\u3164'"),
            ("half\uffa0", "$'\\uFFA0'"),
            (" leading", None),  # a space after a '/' shows as it is
            ("trailing ", "/trailing '"),
            ("nbsp\u00a0", "/nbsp\u00a0'"),
            ("inner space", None),
            ("caf\u00e9", None),
            ("e\u0301", None),
            ("\u65e5\u672c", None),
        ]
        for name, _ in cases:
            os.mkdir(self.path(name))
        os.mkdir(self.path("sub"))
        os.mkdir(self.path("sub/ x "))
        make_tree(self.root, ["data=x"])
        out = run("scan", "--dirs-only", "--full", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        shown = [line[2:] for line in out.stdout.decode().split("\n")[2:-1]]
        by_path = {self.shell_reads(line).decode(): line for line in shown if "'" in line}
        for name, fragment in cases:
            with self.subTest(name=name):
                if fragment is None:
                    self.assertIn(self.path(name), shown)
                else:
                    self.assertIn(fragment, by_path[self.path(name)])
        # A name that ends a path with a space shows where it ends.
        self.assertEqual(by_path[self.path("sub/ x ")], "'" + self.path("sub/ x ") + "'")

    def test_messages_escape_the_names_they_carry(self):
        missing = self.path("gone\x1b[2J")
        out = run("scan", missing)
        self.assertEqual(out.returncode, 1)
        self.assertNotIn(b"\x1b", out.stderr)
        self.assertIn(b"$'\\033'", out.stderr)
        out = run("scan", os.fsencode(self.path("bad")) + b"\xff")
        self.assertEqual(out.returncode, 1)
        self.assertIn(b"not valid UTF-8", out.stderr)
        self.assertIn(b"$'\\377'", out.stderr)


class WriteFailureTest(TreeTest):
    @unittest.skipUnless(os.path.exists("/dev/full"), "no /dev/full")
    def test_a_full_disk_is_a_failure(self):
        make_tree(self.root, ["e/", "z"])
        for args in (["scan"], ["scan", "-0"], ["scan", "--json"], ["scan", "--summary"],
                     ["clean", "--dry-run"]):
            with open("/dev/full", "wb") as full:
                out = run(*args, self.root, stdout=full)
            self.assertEqual(out.returncode, 1, args)
            self.assertIn(b"cannot write standard output: No space left on device", out.stderr,
                          args)

    @unittest.skipUnless(os.path.exists("/dev/full"), "no /dev/full")
    def test_a_clean_that_cannot_show_its_offer_removes_nothing(self):
        make_tree(self.root, ["e/", "z"])
        with open("/dev/full", "wb") as full:
            out = run("clean", "--yes", self.root, stdout=full)
        self.assertEqual(out.returncode, 1)
        self.assertIn(b"nothing was removed", out.stderr)
        self.assertEqual(sorted(os.listdir(self.root)), ["e", "z"])

    @unittest.skipUnless(os.path.exists("/dev/full"), "no /dev/full")
    def test_a_report_lost_after_removal_still_says_what_was_removed(self):
        journal = os.path.join(self.top, "journal.jsonl")
        cases = [
            (["--json"], b"2 of 2 entries were removed\n"),
            (["-0"], b"2 of 2 entries were removed\n"),
            (["--summary"], b"2 of 2 entries were removed\n"),
            (["--summary", "--journal", journal],
             b"2 of 2 entries were removed, recorded in the journal " + journal.encode()),
        ]
        for flags, told in cases:
            with self.subTest(flags=flags):
                make_tree(self.root, ["e/", "z"])
                with open("/dev/full", "wb") as full:
                    out = run("clean", "--yes", *flags, self.root, stdout=full)
                self.assertEqual(out.returncode, 1)
                self.assertIn(b"cannot write standard output: No space left on device; " + told,
                              out.stderr)
                self.assertEqual(out.stderr.count(b"cannot write"), 1, out.stderr)
                self.assertEqual(os.listdir(self.root), [])
        # A reader gone before the report is told of the same way, not by a silent end.
        make_tree(self.root, ["e/", "z"])
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            out = subprocess.run([CLI, "clean", "--yes", "--json", self.root], stdout=write_end,
                                 stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=120)
        finally:
            os.close(write_end)
        self.assertEqual(out.returncode, 1, out.stderr)
        self.assertIn(b"standard output was closed; 2 of 2 entries were removed", out.stderr)
        self.assertEqual(os.listdir(self.root), [])

    def test_a_closed_pipe_ends_the_program_quietly(self):
        make_tree(self.root, [f"d{i}/" for i in range(3000)])
        for ignore_sigpipe in (False, True):
            def preexec(ignore=ignore_sigpipe):
                signal.signal(signal.SIGPIPE, signal.SIG_IGN if ignore else signal.SIG_DFL)
            proc = subprocess.Popen([CLI, "scan", self.root], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, preexec_fn=preexec)
            proc.stdout.read(10)
            proc.stdout.close()
            err = proc.stderr.read()
            proc.stderr.close()
            status = proc.wait(timeout=60)
            self.assertIn(status, (1, -signal.SIGPIPE), ignore_sigpipe)
            self.assertEqual(err, b"", ignore_sigpipe)


class RefusalTest(TreeTest):
    """Entries that change between the offer and the answer are kept, each named with why."""

    def race(self, *flags):
        make_tree(self.root, ["grows/", "fills", "stays/", "zero"])
        if not flags:
            term = Terminal("clean", self.root)
            term.read_until(b"[y/N] ")
            make_tree(self.root, ["grows/new", "fills=data"])
            return term.finish(b"y\n")
        # With a machine format on standard output, the offer and the question are on
        # standard error; the answer comes from the terminal.
        master, slave = pty.openpty()
        proc = subprocess.Popen([CLI, "clean", *flags, self.root], stdin=slave,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.close(slave)
        try:
            prompt = b""
            while b"[y/N]" not in prompt:
                ready, _, _ = select.select([proc.stderr], [], [], 60)
                self.assertTrue(ready, prompt)
                chunk = os.read(proc.stderr.fileno(), 4096)
                self.assertTrue(chunk, prompt)
                prompt += chunk
            self.assertIn(self.path("grows").encode(), prompt)
            make_tree(self.root, ["grows/new", "fills=data"])
            os.write(master, b"y\n")
            out, _ = proc.communicate(timeout=60)
        finally:
            os.close(master)
        return proc.returncode, out

    def test_each_kept_entry_is_named_with_its_reason(self):
        status, text = self.race()
        self.assertEqual(status, 3, text)
        self.assertIn(b"Removed 2 of 4 entries.", text)
        self.assertIn(b"kept: gained an entry since the scan: " + self.path("grows").encode(),
                      text)
        self.assertIn(b"kept: holds data now (written since the scan, or on Windows in a named "
                      b"stream): " + self.path("fills").encode(), text)
        self.assertNotIn(b"refused:", text)
        self.assertEqual(sorted(os.listdir(self.root)), ["fills", "grows"])

    def test_json_records_keep_the_librarys_message(self):
        status, text = self.race("--json")
        self.assertEqual(status, 3)
        records = {json.loads(line)["path"]: json.loads(line)
                   for line in text.splitlines()}
        self.assertEqual(records[self.path("fills")],
                         {"path": self.path("fills"), "kind": "file", "outcome": "kept",
                          "message": "refused: file size != 0",
                          "reason": "holds data now (written since the scan, or on Windows in a "
                                    "named stream)"})
        self.assertEqual(records[self.path("grows")]["message"],
                         "refused: directory no longer empty (TOCTOU)")
        self.assertEqual(records[self.path("stays")],
                         {"path": self.path("stays"), "kind": "dir", "outcome": "removed"})
        self.assertEqual(len(records), 4)

    def test_null_output_lists_what_was_removed(self):
        status, text = self.race("-0")
        self.assertEqual(status, 3)
        self.assertEqual(sorted(text.split(b"\0")[:-1]),
                         [self.path("stays").encode(), self.path("zero").encode()])


class OneCleanTest(TreeTest):
    def offered(self, *args):
        out = run("clean", "--dry-run", "--json", *args, self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        return {json.loads(line)["path"][len(self.root):].lstrip("/") or ".":
                json.loads(line).get("emptied", False) for line in out.stdout.splitlines()}

    def test_folders_the_clean_empties_are_offered_and_removed_after_their_contents(self):
        make_tree(self.root, ["p/z1", "p/z2", "q/r/z", "q/e/", "keep/z", "keep/data=x",
                              "hid/z", "hid/.h", "young/z"])
        os.utime(self.path("young"), (0, 0))
        self.assertEqual(self.offered(), {
            "p/z1": False, "p/z2": False, "q/r/z": False, "q/e": False, "keep/z": False,
            "hid/z": False, "young/z": False, "p": True, "q/r": True, "q": True,
            "young": True})
        # Under --min-age a folder that would be emptied is judged by its own age as well:
        # "p" was changed a moment ago, "young" long ago, and both hold only old files.
        for name in ("p/z1", "p/z2", "young/z", "young"):
            os.utime(self.path(name), (0, 0))
        self.assertEqual(self.offered("--min-age", "1h"),
                         {"p/z1": False, "p/z2": False, "young/z": False, "young": True})
        out = run("clean", "--yes", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(b"Removed 11 of 11 entries.", out.stdout)
        self.assertEqual(sorted(os.listdir(self.root)), ["hid", "keep"])
        self.assertEqual(os.listdir(self.path("keep")), ["data"])

    def test_the_roots_named_stay_unless_asked(self):
        make_tree(self.root, ["a/", "z"])
        out = run("scan", self.root)
        self.assertIn(b"\n  " + self.path("a").encode() + b"\n", out.stdout)
        self.assertEqual(self.offered(), {"z": False, "a": False})
        out = run("clean", "--yes", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(b"Removed 2 of 2 entries.", out.stdout)
        self.assertTrue(os.path.isdir(self.root))
        out = run("scan", self.root)
        self.assertIn(b"\n  " + self.root.encode() + b"  (root)\n", out.stdout)
        self.assertEqual(run("clean", "--yes", self.root).stdout, b"Nothing to remove.\n")
        make_tree(self.root, ["z"])
        out = run("clean", "--yes", "--remove-roots", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(b"Removed 2 of 2 entries.", out.stdout)
        self.assertFalse(os.path.exists(self.root))


class PolicyTest(TreeTest):
    def test_files_whose_emptiness_is_their_meaning_are_kept(self):
        make_tree(self.root, ["pkg/__init__.py", "pkg/py.typed", "pkg/sub/__init__.py",
                              "site/.nojekyll", "git/.gitkeep", "media/.nomedia", "z"])
        out = run("scan", "--json", "--include-hidden", self.root)
        self.assertEqual(json.loads(out.stdout)["zero_files"], [self.path("z")])
        self.assertEqual(json.loads(out.stdout)["empty_dirs"], [])
        out = run("scan", "-0", "--include-hidden", "--no-default-excludes", self.root)
        self.assertEqual(len(out.stdout.split(b"\0")) - 1, 7)
        help_text = run("--help").stdout
        for name in (b"__init__.py", b"py.typed", b".gitkeep", b".nomedia"):
            self.assertIn(b"\n  " + name + b" ", help_text)

    def test_version_control_folders_are_kept_with_hidden_names_included(self):
        fresh = ["refs/heads/", "refs/tags/", "objects/info/", "objects/pack/", "branches/",
                 "HEAD=ref: refs/heads/main\n"]
        make_tree(self.root, [f"git/.git/{e}" for e in fresh] +
                  ["hg/.hg/store/", "svn/.svn/tmp/", "svn/.svn/pristine/", "bzr/.bzr/lock/",
                   "darcs/_darcs/patches/", "cvs/CVS/Entries.Static", "fs/lost+found/",
                   "other/"])
        out = run("scan", "--json", "--include-hidden", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        # Nothing inside, and not the folders that hold them: what is left alone is content.
        self.assertEqual(json.loads(out.stdout),
                         {"empty_dirs": [self.path("other")], "zero_files": [],
                          "scanned_dirs": 9})
        out = run("clean", "--yes", "--include-hidden", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(b"Removed 1 of 1 entry.", out.stdout)
        for kept in ("git/.git/refs/heads", "git/.git/objects/pack", "svn/.svn/tmp",
                     "cvs/CVS/Entries.Static", "fs/lost+found", "darcs/_darcs/patches"):
            self.assertTrue(os.path.exists(self.path(kept)), kept)
        # --no-default-excludes gives them up, as it does the other default names.
        out = run("scan", "-0", "--include-hidden", "--no-default-excludes", self.root)
        listed = out.stdout.split(b"\0")
        for offered in ("git/.git/refs/heads", "svn/.svn/tmp", "cvs/CVS/Entries.Static",
                        "fs/lost+found"):
            self.assertIn(self.path(offered).encode(), listed)
        help_text = run("--help").stdout
        for name in (b".git", b".hg", b".svn", b"CVS", b"lost+found"):
            self.assertIn(b"\n  " + name + b" ", help_text)

    def test_a_root_in_a_folder_left_alone_is_not_cleaned(self):
        # Named as the root, or below it, a repository's folder has no default
        # name between its empty folders and their removal.
        make_tree(self.root, ["repo/.git/refs/heads/", "repo/.git/refs/tags/",
                              "repo/.git/objects/info/", "repo/.git/HEAD=ref: x\n",
                              "wc/.svn/tmp/"])
        for root in ("repo/.git", "repo/.git/refs", "repo/.git/refs/heads", "wc/.svn"):
            out = run("clean", "--yes", "--include-hidden", self.path(root))
            self.assertEqual(out.returncode, 1, root)
            self.assertIn(b"which is left alone by default; give --no-default-excludes",
                          out.stderr, root)
            self.assertEqual(out.stdout, b"", root)
        for kept in ("repo/.git/refs/heads", "repo/.git/refs/tags", "wc/.svn/tmp"):
            self.assertTrue(os.path.isdir(self.path(kept)), kept)
        # Scanning shows what is there; only a clean is refused.
        self.assertEqual(run("scan", "-0", self.path("repo/.git")).returncode, 0)
        out = run("clean", "--yes", "--no-default-excludes", self.path("repo/.git/refs"))
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertFalse(os.path.exists(self.path("repo/.git/refs/heads")))

    def test_system_trees_are_not_cleaned_unless_allowed(self):
        for tree, words in (("/etc", b"is in the system folder /etc"),
                            ("/var", b"holds the system folder /var/lib"),
                            ("/usr/share/doc", b"is in the system folder /usr"),
                            ("/var/log", b"is in the system folder /var/log"),
                            ("/var/log/journal", b"is in the system folder /var/log"),
                            ("/var/cache", b"is in the system folder /var/cache"),
                            ("/var/tmp", b"is in the system folder /var/tmp"),
                            ("/var/mail", b"is in the system folder /var/mail"),
                            ("/var/spool", b"is in the system folder /var/spool"),
                            ("/opt", b"is in the system folder /opt")):
            if not os.path.isdir(tree):
                continue
            out = run("clean", "--dry-run", tree)
            self.assertEqual(out.returncode, 1, tree)
            self.assertIn(b"refusing to clean " + tree.encode() + b": it " + words, out.stderr)
            self.assertIn(b"--allow-system", out.stderr)
            self.assertEqual(out.stdout, b"")
        if os.path.isdir("/etc/ssl"):
            self.assertEqual(run("clean", "--dry-run", "--allow-system", "/etc/ssl").returncode,
                             0)
            self.assertEqual(run("scan", "--summary", "/etc/ssl").returncode, 0)

    @unittest.skipUnless(os.geteuid() == 0 and os.path.isdir("/var/lib") and
                         shutil.which("unshare"),
                         "a bind mount needs root, unshare, and /var/lib to bind")
    def test_another_path_to_a_system_folder_is_refused(self):
        # The mounts live in a mount namespace of their own, made for each run and gone
        # with it: nothing outside (this test's cleanup of its folder least of all) ever
        # sees / or /var/lib inside the test's folder.
        bound, whole = self.path("bound"), self.path("whole")
        os.mkdir(bound)
        os.mkdir(whole)
        script = ('mount --bind /var/lib "$1" && mount --bind / "$2" || exit 99; shift 2; '
                  'exec "$@"')

        def mounted(*command):
            return subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                                   script, "sh", bound, whole, *command],
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=120)

        def clean(root):
            return mounted(CLI, "clean", "--dry-run", "--summary", root)

        if mounted("true").returncode != 0:
            self.skipTest("mount namespaces or bind mounts are not allowed here")
        sub = next(os.path.join(bound, n) for n in sorted(os.listdir("/var/lib"))
                   if os.path.isdir(os.path.join("/var/lib", n)) and
                   not os.path.islink(os.path.join("/var/lib", n)))
        cases = [
            (bound, b"it is the system folder /var/lib, reached by another path"),
            (sub, b"it is in the system folder /var/lib, reached by another path (" +
             bound.encode() + b" is /var/lib)"),
            (whole, b"it holds the system folder"),
            (os.path.join(whole, "var"), b"it holds the system folder /var/"),
            (os.path.join(whole, "etc"), b"it is the system folder /etc, reached by another path"),
        ]
        for root, words in cases:
            with self.subTest(root=root):
                out = clean(root)
                self.assertEqual(out.returncode, 1, out.stderr)
                self.assertIn(b"refusing to clean " + root.encode() + b": " + words, out.stderr)
                self.assertEqual(out.stdout, b"")
        # A folder that is not a system folder stays cleanable through the same mount.
        out = clean(os.path.join(whole, self.root[1:], "bound"))
        self.assertEqual(out.returncode, 0, out.stderr)

    def test_home_folders_are_protected(self):
        make_tree(self.root, ["home/me/", "home/other/", "z"])
        env = dict(os.environ, HOME=self.path("home/me"))
        env.pop("SUDO_USER", None)
        out = run("scan", self.path("home/me"), env=env)
        self.assertEqual(out.returncode, 1)
        self.assertIn(b"your home folder itself, which is protected; name folders inside it",
                      out.stderr)
        # Neither the home folder nor the folder holding it is offered.
        out = run("clean", "--yes", self.root, env=env)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(sorted(os.listdir(self.root)), ["home"])
        self.assertEqual(os.listdir(self.path("home")), ["me"])

    @unittest.skipUnless(os.path.isdir("/root") and os.geteuid() == 0,
                         "needs root's home folder and to run as root")
    def test_under_sudo_the_invoking_users_home_is_protected(self):
        env = dict(os.environ, HOME=self.root)
        env.pop("SUDO_USER", None)
        self.assertEqual(run("scan", "--summary", "/root", env=env).returncode, 0)
        env["SUDO_USER"] = "root"
        out = run("scan", "--summary", "/root", env=env)
        self.assertEqual(out.returncode, 1)
        self.assertIn(b"/root is your home folder itself", out.stderr)


class DuplicateRootTest(TreeTest):
    def test_one_folder_named_twice_is_scanned_once(self):
        make_tree(self.root, ["ov/e/", "ov/z"])
        once = run("scan", "--json", "ov", stdin=subprocess.DEVNULL, cwd=self.root)
        self.assertEqual(once.returncode, 0, once.stderr)
        self.assertEqual(json.loads(once.stdout)["scanned_dirs"], 2)
        cases = [
            (["ov", "ov"], b"note: ov is given more than once; scanning it once"),
            (["ov", "./ov"], b"note: ./ov is the same folder as ov; scanning it once"),
            (["ov", self.path("ov") + "/"], b"is the same folder as ov"),
            (["ov", "ov/e/.."], b"is the same folder as ov"),
        ]
        for roots, note in cases:
            with self.subTest(roots=roots):
                out = run("scan", "--json", *roots, cwd=self.root)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stdout, once.stdout)
                self.assertIn(note, out.stderr)
        out = run("clean", "--yes", "ov", "./ov", cwd=self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(b"Removed 2 of 2 entries.", out.stdout)


class HabitTest(TreeTest):
    def test_habits_are_answered(self):
        make_tree(self.root, ["a/b/", "z"])
        os.symlink(self.root, self.path("../link"))
        cases = [
            (["scna", self.root], 2, b"unknown command 'scna'; did you mean 'scan'?"),
            (["cleen", self.root], 2, b"unknown command 'cleen'; did you mean 'clean'?"),
            (["frobnicate"], 2, b"unknown command 'frobnicate'; the commands are"),
            ([], 2, b"a command is required: scan ROOT... (list), clean ROOT..."),
            (["scan", os.path.join(self.root, "a", "..")], 0,
             b"note: " + os.path.join(self.root, "a", "..").encode() + b" is " +
             self.root.encode() + b"; using that"),
            (["scan", self.path("../link")], 1,
             self.path("../link").encode() + b" is a link to " + self.root.encode() +
             b"; a link is never followed as a root: name " + self.root.encode()),
            (["scan", "--exclude", "node_modules/", self.root], 0,
             b"--exclude node_modules/ holds a '/', but patterns match names, not paths, so it "
             b"matches nothing; to leave alone every entry named node_modules, give --exclude "
             b"node_modules"),
            (["scan", "--exclude", "**/x", self.root], 0, b"give --exclude x"),
            (["scan", "-dash"], 2,
             b"unknown option '-dash'; to name a folder starting with '-', write -- -dash"),
            (["clean", "--yes", "--bogus=1", self.root], 2, b"unknown option '--bogus';"),
            (["scan", "-q", self.root], 2, b"unknown option '-q';"),
        ]
        for args, status, message in cases:
            out = run(*args)
            self.assertEqual(out.returncode, status, (args, out.stderr))
            self.assertIn(message, out.stderr, args)
        # The way out the message gives works.
        make_tree(self.root, ["-dash/"])
        out = subprocess.run([CLI, "scan", "-0", "--", "-dash"], cwd=self.root,
                             capture_output=True, timeout=120)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout, (self.path("-dash") + "\0").encode())
        os.rmdir(self.path("-dash"))
        # The same option names on both commands where they mean the same.
        for flags in (["--dirs-only"], ["--no-zero-files"]):
            self.assertEqual(run("scan", "-0", *flags, self.root).stdout,
                             (self.path("a/b") + "\0" + self.path("a") + "\0").encode())
        self.assertEqual(run("scan", "-0", "--files-only", self.root).stdout,
                         (self.path("z") + "\0").encode())
        self.assertEqual(run("clean", "--dry-run", "--no-zero-files", self.root).returncode, 0)


class LeftAloneTest(TreeTest):
    def test_what_the_scan_passed_by_is_counted(self):
        make_tree(self.root, [".hidden/", ".dot", "node_modules/x/", "pkg/__init__.py", "z",
                              "a.tmp", "keep/"])
        os.mkdir(os.fsencode(self.root) + b"/bad\xff")
        out = run("scan", "--exclude", "node_modules", "--exclude", "*.tmp", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(b"\nLeft alone: 2 hidden (--include-hidden to include), 3 excluded by "
                      b"--exclude or the default excludes, 1 with a name that is not valid "
                      b"UTF-8\n", out.stdout)
        out = run("clean", "--dry-run", "--include-hidden", "--no-default-excludes", self.root)
        self.assertIn(b"\nLeft alone: 1 with a name that is not valid UTF-8\n", out.stdout)
        # Nothing left alone, nothing said; the machine formats stay as they are.
        os.rmdir(os.fsencode(self.root) + b"/bad\xff")
        out = run("scan", "--include-hidden", "--no-default-excludes", self.root)
        self.assertNotIn(b"Left alone", out.stdout)
        out = run("scan", "--json", "--exclude", "*.tmp", self.root)
        self.assertEqual(json.loads(out.stdout),
                         edclean.scan([self.root], exclude=["*.tmp", "__init__.py", "py.typed",
                                                            ".gitkeep", ".keep", ".nomedia",
                                                            ".nojekyll",
                                                            ".metadata_never_index"]))

    def test_the_count_of_excluded_names_matches_the_librarys_patterns(self):
        cases = [("*.tmp", "a.tmp", True), ("*.tmp", "a.tmpx", False), ("n?de", "node", True),
                 ("n?de", "nde", False), ("[ab]x", "bx", True), ("[!ab]x", "bx", False),
                 ("[!ab]x", "cx", True), ("[a-c]*", "cat", True), ("[a-c]*", "dog", False),
                 ("[]]", "]", True), ("[z-a]", "[z-a]", True), ("[abc", "[abc", True),
                 ("*a*b", "xaxxb", True), ("*a*b", "xaxxbc", False), ("é", "é", True),
                 ("?", "é", False), ("??", "é", True)]
        for pattern, name, matches in cases:
            with self.subTest(pattern=pattern, name=name):
                path = self.path(name)
                open(path, "wb").close()
                try:
                    listed = run("scan", "-0", "--exclude", pattern, self.root).stdout
                    self.assertEqual(listed == b"", matches, "the library's own matching")
                    summary = run("scan", "--summary", "--exclude", pattern, self.root).stdout
                    self.assertEqual(b"1 excluded" in summary, matches, summary)
                finally:
                    os.remove(path)

    def test_entries_younger_than_min_age_are_counted(self):
        make_tree(self.root, ["young/", "z", "data=x", "old/"])
        past = time.time() - 7200
        os.utime(self.path("old"), (past, past))
        out = run("scan", "--min-age", "1h", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        # The young folder and file, not the root that holds them.
        self.assertIn(b"\nLeft alone: 2 younger than --min-age\n", out.stdout)
        self.assertIn(self.path("old").encode() + b"\n", out.stdout)
        out = run("clean", "--dry-run", "--min-age", "1h", self.root)
        self.assertIn(b"\nLeft alone: 2 younger than --min-age\n", out.stdout)

    def test_unreadable_folders_are_named(self):
        # Permissions do not stop root: as root, the program runs as nobody.
        prefix = []
        if os.geteuid() == 0:
            if not shutil.which("setpriv"):
                self.skipTest("running as root and no setpriv to run as another user")
            prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
            os.chmod(self.top, 0o755)
        make_tree(self.root, ["in/locked/e/", "open/"])
        locked = self.path("in/locked")
        os.chmod(locked, 0)

        def scan(*roots):
            return subprocess.run([*prefix, CLI, "scan", *roots], capture_output=True,
                                  timeout=120, stdin=subprocess.DEVNULL)
        try:
            # A root inside another reaches the folder twice: it is still one.
            for roots in [(self.root,), (self.root, self.path("in"))]:
                out = scan(*roots)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertIn(b"1 folder that could not be read", out.stdout)
                self.assertIn(b"warning: 1 folder could not be read, so nothing in it was listed: " +
                              locked.encode() + b"\n", out.stderr)
            out = scan(locked)
            self.assertEqual(out.returncode, 1)
            self.assertIn(b"cannot read " + locked.encode() +
                          b": Permission denied", out.stderr)
            # Six, past the five paths named: one root counts them exactly; nested roots
            # cannot tell more from twice, and never claim more with "...".
            more = [self.path(f"in/more{i}") for i in range(5)]
            for path in more:
                os.mkdir(path)
                os.chmod(path, 0)
            out = scan(self.root)
            self.assertIn(b"warning: 6 folders could not be read", out.stderr)
            self.assertTrue(out.stderr.rstrip().endswith(b", ..."), out.stderr)
            out = scan(self.root, self.path("in"))
            self.assertIn(b"5 or more folders could not be read",
                          out.stderr)
            self.assertIn(b"Left alone: 5 or more folders that could not be read", out.stdout)
            self.assertNotIn(b"...", out.stderr)
        finally:
            os.chmod(locked, 0o755)
            for path in [self.path(f"in/more{i}") for i in range(5)]:
                if os.path.isdir(path):
                    os.chmod(path, 0o755)


class ViewTest(TreeTest):
    def test_summary_first_summary_only_and_collapsed(self):
        make_tree(self.root, ["build/a/x/", "build/a/y/", "build/b/", "lone/", "z"])
        out = run("scan", self.root)
        self.assertTrue(out.stdout.startswith(b"6 empty directories, 1 zero-byte file, "),
                        out.stdout)
        out = run("scan", "--summary", self.root)
        self.assertEqual(out.stdout.count(b"\n"), 1, out.stdout)
        out = run("scan", "--collapse", self.root)
        body = out.stdout.decode().split("\n", 1)[1]
        self.assertEqual(body, f"Empty directories (6):\n"
                               f"  {self.root}/build/ (5 empty folders)\n"
                               f"  {self.root}/lone/\n"
                               f"Zero-byte files (1):\n  {self.root}/z\n")

    def test_a_terminal_gets_the_collapsed_view_when_the_list_would_scroll(self):
        make_tree(self.root, [f"build/d{i}/" for i in range(40)] + ["data=x"])
        term = Terminal("scan", self.root, rows=20)
        status, text = term.finish()
        self.assertEqual(status, 0)
        self.assertIn(b"build/ (41 empty folders)", text)
        term = Terminal("scan", "--full", self.root, rows=20)
        status, text = term.finish()
        self.assertEqual(text.count(b"/build/d"), 40)


class ViewOfLargeTreesTest(TreeTest):
    def test_the_collapsed_view_of_thousands_of_entries_fits_the_screen(self):
        # 60 folders, each holding an empty tree of 20 folders and 30 zero-byte files:
        # 1,200 empty folders and 1,800 files, 60 lines of each when collapsed.
        entries = []
        for i in range(60):
            entries += [f"p{i:02}/build/d{j:02}/" for j in range(19)]
            entries += [f"p{i:02}/f{j:02}" for j in range(30)]
        make_tree(self.root, entries)
        out = run("scan", "--collapse", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        lines = out.stdout.decode().splitlines()
        self.assertEqual(lines[1], "Empty directories (1200):")
        self.assertIn(f"  {self.root}/p07/build/ (20 empty folders)", lines)
        self.assertIn("Zero-byte files (1800):", lines)
        self.assertIn(f"  {self.root}/p07/ (30 zero-byte files)", lines)
        self.assertEqual(len(lines), 2 + 60 + 1 + 60, "off a terminal nothing is cut")
        # On a terminal of 30 rows everything, the prompt's line included, stays on it.
        term = Terminal("scan", self.root, rows=30)
        status, text = term.finish()
        self.assertEqual(status, 0)
        shown = text.decode().replace("\r\n", "\n").rstrip("\n").split("\n")
        self.assertLessEqual(len(shown), 29, text)
        self.assertEqual(sum("more (--full lists all)" in line for line in shown), 2, text)
        self.assertRegex(text.decode(), r"\.\.\. \d+ more \(--full lists all\)")

    def test_lines_that_wrap_are_counted_by_the_rows_they_take(self):
        entries = [f"p{i:02}/build/d{j:02}/" for i in range(60) for j in range(3)]
        entries += [f"p{i:02}/.h" for i in range(60)] + ["p00/skip=x"]
        make_tree(self.root, entries)
        # The Left alone line is wider than the screen, and takes two rows.
        term = Terminal("scan", "--collapse", "--exclude", "skip", self.root, rows=30,
                        columns=60)
        status, text = term.finish()
        self.assertEqual(status, 0, text)
        shown = text.decode().replace("\r\n", "\n").rstrip("\n").split("\n")
        self.assertTrue(any(len(line) > 60 for line in shown), text)
        self.assertLessEqual(sum(max(1, -(-len(line) // 60)) for line in shown), 29, text)

    def test_top_most_folders_are_found_whatever_sorts_between(self):
        # "a-b" sorts between "a" and "a/x" byte by byte.
        make_tree(self.root, ["a/x/", "a-b/", "a/y/", "data=x"])
        out = run("scan", "--collapse", self.root)
        body = out.stdout.decode().split("\n", 1)[1]
        self.assertEqual(body, f"Empty directories (4):\n"
                               f"  {self.root}/a/ (3 empty folders)\n"
                               f"  {self.root}/a-b/\n"
                               f"Zero-byte files (0):\n")


def hold_progress_line_up(pause):
    """Waits for the hooked program to reach its pause point, keeps it there past the second
    after which a progress line shows, then lets it go on."""
    deadline = time.monotonic() + 60
    while not os.path.exists(os.path.join(pause, "ready")) and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(1.6)
    open(os.path.join(pause, "go"), "wb").close()


def read_until_closed(master):
    """All a pseudo-terminal's program writes until it closes its side."""
    text = b""
    while True:
        ready, _, _ = select.select([master], [], [], 60)
        try:
            chunk = os.read(master, 4096) if ready else b""
        except OSError:
            chunk = b""
        if not chunk:
            return text
        text += chunk


@unittest.skipUnless(CLI_HOOKED, "EDCLEAN_CLI_HOOKED is not set")
class ProgressTest(TreeTest):
    """The hooked program stops at "scanned" with its progress line still up, as a scan of
    a large tree would leave it, for as long as the test keeps it there."""

    def paused_scan(self, terminal, columns=120):
        make_tree(self.root, ["a/x/", "b/", "c", "d=data"])
        pause = os.path.join(self.top, "pause")
        os.mkdir(pause)
        env = dict(os.environ, EDCLEAN_TEST_PAUSE=f"scanned:{pause}")
        if terminal:
            master, slave = pty.openpty()
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
            proc = subprocess.Popen([CLI_HOOKED, "scan", self.root], stdin=slave, stdout=slave,
                                    stderr=slave, env=env, close_fds=True)
            os.close(slave)
        else:
            proc = subprocess.Popen([CLI_HOOKED, "scan", self.root], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        hold_progress_line_up(pause)
        if not terminal:
            out, err = proc.communicate(timeout=60)
            return proc.returncode, out, err
        text = read_until_closed(master)
        proc.wait(timeout=60)
        os.close(master)
        return proc.returncode, text, b""

    def test_a_terminal_shows_the_counts_and_then_erases_them(self):
        status, text, _ = self.paused_scan(terminal=True)
        self.assertEqual(status, 0, text)
        # a, b, c, d and x seen; a/x, a, b and c listed.
        self.assertRegex(text, rb"\rscanning: 5 entries seen, 4 listed, \d+ s")
        self.assertRegex(text, rb"\r +\r3 empty directories, 1 zero-byte file, ")

    def test_a_narrow_terminal_gets_the_line_cut_to_its_width(self):
        status, text, _ = self.paused_scan(terminal=True, columns=20)
        self.assertEqual(status, 0, text)
        drawn = [part for part in text.split(b"\r") if b"scanning" in part]
        self.assertTrue(drawn, text)
        for part in drawn:
            self.assertLessEqual(len(part.decode()), 19, text)

    def test_a_clean_with_a_journal_counts_what_it_removed_as_it_goes(self):
        make_tree(self.root, ["a/", "b/", "c/"])
        pause = os.path.join(self.top, "pause")
        os.mkdir(pause)
        env = dict(os.environ, EDCLEAN_TEST_PAUSE=f"one-removed:{pause}")
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
        proc = subprocess.Popen([CLI_HOOKED, "clean", "--yes", "--journal",
                                 os.path.join(self.top, "journal"), self.root],
                                stdin=slave, stdout=slave, stderr=slave, env=env, close_fds=True)
        os.close(slave)
        hold_progress_line_up(pause)
        text = read_until_closed(master)
        proc.wait(timeout=60)
        os.close(master)
        self.assertEqual(proc.returncode, 0, text)
        self.assertRegex(text, rb"\rremoved 1 of 3, \d+ s")
        self.assertIn(b"Removed 3 of 3 entries.", text)

    def test_nothing_is_shown_off_a_terminal(self):
        status, out, err = self.paused_scan(terminal=False)
        self.assertEqual(status, 0, err)
        self.assertEqual(err, b"")
        self.assertTrue(out.startswith(b"3 empty directories, 1 zero-byte file, "), out)


def help_options(text):
    """The options a help text lists, as (names, description) in their order. A description
    too long for its column is on the next line."""
    options = []
    lines = text.splitlines()
    for i, line in enumerate(lines):
        match = re.match(r"^ +(-[^ ]*)(.*?)(?: {2,}(\S.*))?$", line)
        if match:
            names = match.group(1).split(",")
            description = match.group(3) or lines[i + 1].strip()
            options.append((names, description))
    return options


class HelpTest(unittest.TestCase):
    """Where people look for help: every flag with its default, in --help, the manual page
    and the bash completion."""

    def subcommand_options(self):
        options = {}
        for sub in SUBCOMMANDS:
            out = run(sub, "--help")
            self.assertEqual(out.returncode, 0, out.stderr)
            options[sub] = [(names, text) for names, text in help_options(out.stdout.decode())
                            if names != ["-h", "--help"]]
            self.assertTrue(options[sub] or sub == "restore", sub)
        return options

    def test_help_lists_every_option_with_its_default(self):
        options = self.subcommand_options()
        self.assertIn((["--journal"], "Record each entry removed in FILE, a new file, for "
                                      "restore (default: none)"), options["clean"])
        program = run("--help")
        self.assertEqual(program.returncode, 0, program.stderr)
        text = program.stdout.decode()
        for sub, listed in options.items():
            for names, description in listed:
                self.assertRegex(description, r"\(default: [^)]+\)$", names)
            # The program's help holds each subcommand's options, as its own help has them.
            section = text.split(f"\nedclean {sub} ", 1)[1].split("\n\n", 2)[1]
            self.assertEqual(help_options(section), listed, sub)

    @unittest.skipUnless(COMPLETION, "EDCLEAN_COMPLETION is not set")
    def test_bash_completion_offers_every_option(self):
        def complete(*words):
            script = (f"source {COMPLETION!r}; COMP_WORDS=({' '.join(map(repr, words))}); "
                      "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _edclean; "
                      "printf '%s\\n' \"${COMPREPLY[@]}\"")
            out = subprocess.run(["bash", "--norc", "-c", script], capture_output=True,
                                 text=True, timeout=60)
            self.assertEqual(out.returncode, 0, out.stderr)
            return set(out.stdout.split())

        self.assertEqual(complete("edclean", ""), set(SUBCOMMANDS))
        for sub, listed in self.subcommand_options().items():
            offered = complete("edclean", sub, "-")
            for names, _ in listed:
                self.assertLessEqual(set(names), offered, sub)
        with tempfile.TemporaryDirectory() as tmp:
            os.mkdir(os.path.join(tmp, "sub"))
            open(os.path.join(tmp, "journal.jsonl"), "wb").close()
            self.assertEqual(complete("edclean", "clean", "--journal", tmp + "/j"),
                             {tmp + "/journal.jsonl"})
            self.assertEqual(complete("edclean", "clean", "--yes", tmp + "/"), {tmp + "/sub"})
            self.assertEqual(complete("edclean", "restore", tmp + "/jo"),
                             {tmp + "/journal.jsonl"})

    @unittest.skipUnless(MAN_PAGE, "the build made no manual page (no help2man)")
    def test_man_page_lists_every_option_with_its_default(self):
        with open(MAN_PAGE, encoding="utf-8") as f:
            page = f.read().replace("\\-", "-").replace("\\fB", "").replace("\\fR", "")
        for sub, listed in self.subcommand_options().items():
            self.assertIn(f"edclean {sub} [OPTIONS]", page)
            for names, description in listed:
                self.assertIn(",".join(names), page)
                self.assertIn(description, page)


if __name__ == "__main__":
    unittest.main()
