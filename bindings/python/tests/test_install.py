"""The binding as a user gets it: pip installs it into a virtual environment,
and it finds the library that cmake --install put under the same prefix; or
pip installs the wheel that carries the library, and nothing else is needed.

Run by CTest with:
  EDCLEAN_TEST_CMAKE      the cmake program
  EDCLEAN_TEST_BUILD_DIR  the native build tree to install
  EDCLEAN_TEST_LIBRARY    the shared library in that build tree
Exits 77 (CTest's skip) with the reason when this Python cannot make a
virtual environment with pip.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
SKIP = 77


def child_env(**extra):
    """A fixed, minimal environment: the children depend on nothing of the caller's."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8",
           "PYTHONDONTWRITEBYTECODE": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1",
           "PIP_NO_CACHE_DIR": "1", "PIP_NO_INPUT": "1"}
    if "TMPDIR" in os.environ:
        env["TMPDIR"] = os.environ["TMPDIR"]
    env.update(extra)
    return env


def run(args, check=True, **extra_env):
    done = subprocess.run(args, capture_output=True, text=True, env=child_env(**extra_env),
                          cwd=tempfile.gettempdir(), timeout=300)
    if check and done.returncode != 0:
        raise AssertionError(f"{args} exited {done.returncode}\n{done.stdout}{done.stderr}")
    return done


class Venv:
    """A virtual environment with the binding installed by pip from its source
    folder, or from the wheel file named by `what`."""

    def __init__(self, root, what=SOURCE):
        self.prefix = os.path.join(root, "venv")
        run([sys.executable, "-m", "venv", self.prefix])
        scripts = "Scripts" if os.name == "nt" else "bin"
        self.python = os.path.join(self.prefix, scripts, "python")
        # The command docs/bindings.md gives; no index, so that nothing can come from a network.
        run([self.python, "-m", "pip", "install", "--no-index", "--quiet", what])
        self.package = run([self.python, "-c",
                            "import os, tavirlen_edclean as e; print(os.path.dirname(e.__file__))"
                            ]).stdout.strip()

    def loaded_from(self, **env):
        """The path the binding loaded the library from, or the OSError's text."""
        done = run([self.python, "-c", "import tavirlen_edclean as e\n"
                    "try:\n    print(e.load_library()._name)\n"
                    "except OSError as error:\n    print('OSError:', error)\n"], **env)
        return done.stdout.strip()


def library_file_names():
    if sys.platform == "win32":
        return ["tavirlen-empty-dir-cleaner.dll"]
    return ["libtavirlen-empty-dir-cleaner.so.0", "libtavirlen-empty-dir-cleaner.so"]


class InstalledBinding(unittest.TestCase):
    """One environment, looked at twice: with the binding alone, then after
    cmake --install put the library under the environment's own prefix."""

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        cls.venv = venv = Venv(cls._tmp.name)
        cls.missing = os.path.join(cls._tmp.name, "nowhere", "lib.so")
        cls.bare = venv.loaded_from()
        cls.bare_explicit = venv.loaded_from(EDCLEAN_LIBRARY=cls.missing)
        cls.beside = os.path.join(venv.package, library_file_names()[0])
        shutil.copyfile(os.environ["EDCLEAN_TEST_LIBRARY"], cls.beside)
        try:
            cls.bare_beside = venv.loaded_from()
        finally:
            os.remove(cls.beside)
        run([os.environ["EDCLEAN_TEST_CMAKE"], "--install", os.environ["EDCLEAN_TEST_BUILD_DIR"],
             "--prefix", venv.prefix])

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_installed_into_the_environment_not_taken_from_the_source(self):
        self.assertTrue(self.venv.package.startswith(self.venv.prefix + os.sep), self.venv.package)
        self.assertNotEqual(os.path.realpath(self.venv.package),
                            os.path.realpath(os.path.join(SOURCE, "tavirlen_edclean")))

    def test_a_missing_library_names_every_place_tried(self):
        text = self.bare
        self.assertTrue(text.startswith("OSError:"), text)
        for name in library_file_names():
            self.assertIn(os.path.join(self.venv.package, name), text)
            self.assertIn(os.path.join(self.venv.prefix, "lib", name), text)
            self.assertIn(name + " through the system's loader", text)
        self.assertIn("EDCLEAN_LIBRARY", text)

    def test_a_missing_library_named_by_EDCLEAN_LIBRARY_is_the_only_place_tried(self):
        text = self.bare_explicit
        self.assertTrue(text.startswith("OSError:"), text)
        self.assertIn(self.missing + " (no such file)", text)
        self.assertNotIn(self.venv.package, text)

    def test_finds_the_library_next_to_the_package(self):
        self.assertEqual(self.bare_beside, self.beside)

    def test_finds_the_library_under_the_same_prefix(self):
        loaded = self.venv.loaded_from()
        self.assertTrue(loaded.startswith(self.venv.prefix + os.sep), loaded)
        self.assertIn(os.path.basename(loaded), library_file_names())

    def test_EDCLEAN_LIBRARY_overrides_the_installed_library(self):
        build_library = os.environ["EDCLEAN_TEST_LIBRARY"]
        self.assertEqual(self.venv.loaded_from(EDCLEAN_LIBRARY=build_library), build_library)

    def test_the_binding_suite_passes_on_the_installed_package(self):
        done = run([self.venv.python, os.path.join(HERE, "test_binding.py")], check=False)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertRegex(done.stderr, r"Ran [1-9][0-9]* tests?")


def build_wheel(directory, library):
    """The wheel that carries library, made as scripts/build-packages.sh makes it."""
    sys.path.insert(0, os.path.join(SOURCE, "backend"))
    try:
        import edclean_backend
    finally:
        sys.path.pop(0)
    return os.path.join(directory, edclean_backend.build_wheel(directory, {"library": library}))


class InstalledWheel(unittest.TestCase):
    """The wheel with the library inside, installed into an empty environment
    by pip and nothing else: no cmake --install, no EDCLEAN_LIBRARY."""

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        cls.wheel = build_wheel(cls._tmp.name, os.environ["EDCLEAN_TEST_LIBRARY"])
        cls.venv = Venv(cls._tmp.name, cls.wheel)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_the_wheel_is_tagged_for_this_platform(self):
        import sysconfig
        platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
        self.assertTrue(os.path.basename(self.wheel).endswith(f"-py3-none-{platform}.whl"),
                        self.wheel)

    def test_the_library_is_found_next_to_the_module(self):
        loaded = self.venv.loaded_from()
        self.assertEqual(loaded, os.path.join(self.venv.package, library_file_names()[0]))
        # Nothing else was put into the environment.
        self.assertEqual([name for name in library_file_names()
                          if os.path.exists(os.path.join(self.venv.prefix, "lib", name))], [])

    def test_the_binding_suite_passes_on_the_installed_wheel(self):
        done = run([self.venv.python, os.path.join(HERE, "test_binding.py")], check=False)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertRegex(done.stderr, r"Ran [1-9][0-9]* tests?")


def missing_prerequisite():
    for name in ("EDCLEAN_TEST_CMAKE", "EDCLEAN_TEST_BUILD_DIR", "EDCLEAN_TEST_LIBRARY"):
        if not os.environ.get(name):
            return f"{name} is not set (CTest sets it)"
    try:
        import ensurepip  # noqa: F401
        import venv  # noqa: F401
    except ImportError as error:
        return (f"{sys.executable} cannot make a virtual environment with pip ({error}; "
                "Debian: apt-get install python3-venv)")
    return None


if __name__ == "__main__":
    reason = missing_prerequisite()
    if reason:
        print("skipped:", reason)
        sys.exit(SKIP)
    unittest.main(verbosity=2)
