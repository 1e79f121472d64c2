"""Round trip through the Python binding against the library.

Imports the installed package (test_install.py installs it into a virtual
environment and runs this file with that environment's Python).
"""

import os
import tempfile
import unittest

import tavirlen_edclean as edclean


class BindingTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.root = os.path.realpath(self._tmp.name)

    def tearDown(self):
        self._tmp.cleanup()

    def make(self, relative, data=None):
        path = os.path.join(self.root, relative)
        if data is None:
            os.makedirs(path, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        return path

    def test_scan_then_delete_everything_listed(self):
        self.make("a/b")
        self.make("z", b"")
        self.make("keep", b"data")
        found = edclean.scan([self.root])
        self.assertEqual(found["empty_dirs"], [os.path.join(self.root, "a/b"),
                                               os.path.join(self.root, "a")])
        self.assertEqual(found["zero_files"], [os.path.join(self.root, "z")])
        self.assertEqual(found["scanned_dirs"], 3)
        self.assertEqual(edclean.delete_files(found["zero_files"]), (1, None))
        self.assertEqual(edclean.delete_dirs(found["empty_dirs"]), (2, None))
        self.assertEqual(sorted(os.listdir(self.root)), ["keep"])

    def test_refused_root_raises_with_the_library_message(self):
        missing = os.path.join(self.root, "missing")
        with self.assertRaises(edclean.EdcleanError) as caught:
            edclean.scan([missing])
        self.assertEqual(caught.exception.message, "root not found: " + missing)

    def test_delete_reports_the_last_refusal(self):
        self.make("d")
        self.make("f", b"x")
        edclean.scan([self.root])
        removed, refusal = edclean.delete_files([os.path.join(self.root, "f")])
        self.assertEqual((removed, refusal), (0, "refused: file size != 0"))

    def test_an_empty_list_is_nothing_to_do(self):
        # What a scan that found nothing hands on; the library is not called,
        # so the message of the call before stays as it was.
        self.make("f", b"x")
        edclean.scan([self.root])
        self.assertEqual(edclean.delete_files([os.path.join(self.root, "f")]),
                         (0, "refused: file size != 0"))
        found = edclean.scan([self.root])
        self.assertEqual(found["zero_files"], [])
        self.assertEqual(edclean.delete_files(found["zero_files"]), (0, None))
        self.assertEqual(edclean.delete_dirs(found["empty_dirs"]), (0, None))
        self.assertEqual(edclean.delete_dirs(iter(())), (0, None))
        self.assertEqual(os.listdir(self.root), ["f"])

    def test_pathlib_paths_are_taken(self):
        import pathlib
        self.make("d")
        self.make("keep", b"data")
        found = edclean.scan([pathlib.Path(self.root)])
        self.assertEqual(edclean.delete_dirs([pathlib.Path(p) for p in found["empty_dirs"]]),
                         (1, None))

    def test_names_that_are_not_utf8_text_are_refused_by_name(self):
        not_utf8 = os.path.join(self.root, "caf").encode() + b"\xe9"
        escaped = os.fsdecode(not_utf8) if os.name != "nt" else self.root + "/caf\udce9"
        self.make("keep", b"")
        edclean.scan([self.root])
        for call in (edclean.scan, edclean.delete_dirs, edclean.delete_files):
            for path in (not_utf8, os.path.join(self.root, "keep").encode(), escaped):
                with self.assertRaises(ValueError, msg=f"{call.__name__}({path!r})") as caught:
                    call([path])
                self.assertIn("only UTF-8 names can be passed", str(caught.exception))
                self.assertIn(repr(path), str(caught.exception))
        with self.assertRaises(ValueError):
            edclean.scan([self.root], exclude=["caf\udce9"])
        self.assertTrue(os.path.exists(os.path.join(self.root, "keep")))

    def test_options_and_non_ascii_names(self):
        self.make("caf\u00e9/.cache")
        self.make("n", b"")
        found = edclean.scan([self.root], include_hidden=True, include_zero_byte=False)
        self.assertIn(os.path.join(self.root, "caf\u00e9"), found["empty_dirs"])
        self.assertEqual(found["zero_files"], [])

    def test_a_single_path_or_a_path_of_another_type_is_refused(self):
        import pathlib
        for bad in (self.root, self.root.encode(), pathlib.Path(self.root), 7, None, [7], [None]):
            for call in (edclean.scan, edclean.delete_files):
                with self.assertRaises(TypeError, msg=f"{call.__name__}({bad!r})"):
                    call(bad)

    def test_exclude_leaves_matching_names_alone(self):
        self.make("a/node_modules/pkg")
        self.make("b")
        self.make("c/x.tmp", b"")
        found = edclean.scan([self.root], exclude=["node_modules", "*.tmp"])
        self.assertEqual(found["empty_dirs"], [os.path.join(self.root, "b")])
        self.assertEqual(found["zero_files"], [])
        self.assertEqual(found["scanned_dirs"], 4)

    def test_min_age_leaves_young_entries_out(self):
        self.make("young")
        old = self.make("old")
        stale = self.make("stale", b"")
        self.make("fresh", b"")
        hours_ago = os.stat(old).st_mtime - 7200
        os.utime(old, (hours_ago, hours_ago))
        os.utime(stale, (hours_ago, hours_ago))
        found = edclean.scan([self.root], min_age_seconds=3600)
        self.assertEqual(found["empty_dirs"], [old])
        self.assertEqual(found["zero_files"], [stale])
        everything = edclean.scan([self.root], min_age_seconds=0, threads=1)
        self.assertEqual(len(everything["empty_dirs"]) + len(everything["zero_files"]), 4)

    def test_new_options_are_sent_only_when_given(self):
        lib = edclean.load_library()
        real = lib.edclean_scan
        sent = []

        def recording(dirs, options):
            sent.append(options)
            return real(dirs, options)

        lib.edclean_scan = recording
        try:
            edclean.scan([self.root])
            edclean.scan([self.root], include_hidden=True, exclude=["caf\u00e9", "[a-z]"],
                         min_age_seconds=60, threads=0)
            edclean.scan([self.root], exclude=[])
        finally:
            lib.edclean_scan = real
        self.assertEqual(sent[0], b'{"include_hidden": false, "include_zero_byte": true}')
        self.assertEqual(sent[1].decode("utf-8"),
                         '{"include_hidden": true, "include_zero_byte": true, '
                         '"exclude": ["caf\u00e9", "[a-z]"], "min_age_seconds": 60, '
                         '"threads": 0}')
        self.assertEqual(sent[2], b'{"include_hidden": false, "include_zero_byte": true, '
                                  b'"exclude": []}')

    def test_options_that_cannot_be_meant_are_refused_before_the_call(self):
        for bad in ({"exclude": "node_modules"}, {"exclude": [b"x"]}, {"exclude": [1]},
                    {"min_age_seconds": 1.5}, {"min_age_seconds": True},
                    {"min_age_seconds": "60"}, {"threads": 2.0}, {"threads": False}):
            with self.assertRaises(TypeError, msg=str(bad)):
                edclean.scan([self.root], **bad)
        for bad in ({"min_age_seconds": -1}, {"threads": -1}):
            with self.assertRaises(ValueError, msg=str(bad)):
                edclean.scan([self.root], **bad)


if __name__ == "__main__":
    unittest.main()
