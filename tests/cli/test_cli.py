"""End-to-end tests of the edclean command-line host on generated trees.

EDCLEAN_CLI names the program; EDCLEAN_LIBRARY the shared library, through
which the Python binding gives the library's own result for comparison;
EDCLEAN_COMPLETION the bash completion file and EDCLEAN_MAN_PAGE the manual
page the build made (empty when it made none).
"""

import json
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "bindings", "python"))

import tavirlen_edclean as edclean  # noqa: E402

CLI = os.environ.get("EDCLEAN_CLI", "edclean")
COMPLETION = os.environ.get("EDCLEAN_COMPLETION", "")
MAN_PAGE = os.environ.get("EDCLEAN_MAN_PAGE", "")
SUBCOMMANDS = ("scan", "clean", "restore")


def run(*args, stdin=subprocess.DEVNULL):
    return subprocess.run([CLI, *args], stdin=stdin, capture_output=True, timeout=120)


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
            out = run("clean", "--yes", root)
            self.assertIn("Removed 1 of 1 entry.", out.stdout.decode("utf-8"))

    def test_clean_removes_exactly_what_was_listed(self):
        listed = edclean.scan([self.root])
        before = self.snapshot()
        out = run("clean", "--yes", self.root)
        self.assertEqual(out.returncode, 0, out.stderr)
        gone = set(listed["empty_dirs"]) | set(listed["zero_files"])
        self.assertEqual(self.snapshot(), before - gone)
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
        for bad in ("-5m", "5x", "1.5h", "7D", "", "m", "10 s", "99999999999999999999d"):
            for command in ("scan", "clean"):
                out = run(command, "--min-age", bad, self.root)
                self.assertEqual(out.returncode, 2, (command, bad))
                self.assertIn(f"--min-age: '{bad}' is not a duration".encode(), out.stderr)
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
