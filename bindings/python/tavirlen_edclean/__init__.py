"""Python binding of the tavirlen-empty-dir-cleaner library, over ctypes.

    import tavirlen_edclean as edclean
    found = edclean.scan(["/data/archive"])            # dict from the library's JSON
    removed, refusal = edclean.delete_files(found["zero_files"])
    removed, refusal = edclean.delete_dirs(found["empty_dirs"])

Paths are str or os.PathLike; only UTF-8 names can be passed (a bytes path,
or a str with the surrogate escapes of a name that is not UTF-8, raises
ValueError). An empty list to delete removes nothing: (0, None).

The shared library is looked up, in order:

- at the path in the environment variable EDCLEAN_LIBRARY (then nowhere else);
- next to this package (where the platform wheel carries it);
- in the library folders of the installation prefix that holds this package,
  and of the running Python's prefix (a virtual environment's own), where
  ``cmake --install BUILD --prefix PREFIX`` puts it (PREFIX/lib,
  PREFIX/lib64, PREFIX/lib/<multiarch>; PREFIX/bin for the Windows DLL);
- by the system's loader.

When none of them holds it, load_library() raises OSError naming every place
it tried and why each failed.
"""

import ctypes
import ctypes.util
import json
import os
import sys
import sysconfig

__all__ = ["EdcleanError", "scan", "delete_dirs", "delete_files", "load_library"]


class EdcleanError(Exception):
    """A call the library refused; ``message`` is the library's own text."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


_LIBRARY_NAMES = {
    "win32": ["tavirlen-empty-dir-cleaner.dll"],
    "darwin": ["libtavirlen-empty-dir-cleaner.dylib"],
}
_lib = None


def _library_names():
    return _LIBRARY_NAMES.get(sys.platform, ["libtavirlen-empty-dir-cleaner.so.0",
                                             "libtavirlen-empty-dir-cleaner.so"])


def _prefixes_of(package_dir):
    """The installation prefix whose site-packages holds package_dir, if any.

    Installers put a package at PREFIX/lib/pythonX.Y/site-packages (Debian:
    PREFIX/local/lib/python3.Y/dist-packages, where PREFIX/local is looked at
    as well; Windows: PREFIX/Lib/site-packages).
    """
    parts = os.path.normpath(package_dir).split(os.sep)
    if len(parts) < 2 or parts[-2].lower() not in ("site-packages", "dist-packages"):
        return []
    parts = parts[:-2]
    if parts and parts[-1].lower().startswith("python"):
        parts = parts[:-1]
    if not parts or parts[-1].lower() not in ("lib", "lib64"):
        return []
    parts = parts[:-1]
    prefix = os.sep.join(parts) or os.sep
    if parts and parts[-1] == "local":
        return [prefix, os.path.dirname(prefix)]
    return [prefix]


def _prefix_library_dirs(prefix):
    if sys.platform == "win32":
        return [os.path.join(prefix, "bin"), os.path.join(prefix, "lib")]
    dirs = [os.path.join(prefix, "lib")]
    multiarch = sysconfig.get_config_var("MULTIARCH")
    if multiarch:
        dirs.append(os.path.join(prefix, "lib", multiarch))
    dirs.append(os.path.join(prefix, "lib64"))
    return dirs


def _candidates():
    """Where to look, in order: (path or name, is it a path to check first)."""
    explicit = os.environ.get("EDCLEAN_LIBRARY")
    if explicit:
        yield explicit, True
        return
    names = _library_names()
    here = os.path.dirname(os.path.abspath(__file__))
    dirs = [here]
    for prefix in _prefixes_of(here) + [sys.prefix]:
        dirs.extend(_prefix_library_dirs(prefix))
    seen = set()
    for directory in dirs:
        key = os.path.normcase(os.path.realpath(directory))
        if key in seen:
            continue
        seen.add(key)
        for name in names:
            yield os.path.join(directory, name), True
    found = ctypes.util.find_library("tavirlen-empty-dir-cleaner")
    if found and found not in names:
        yield found, False
    for name in names:
        yield name, False


def load_library():
    """Loads the shared library once and declares the five exports.

    Raises OSError naming every place tried when it cannot be loaded.
    """
    global _lib
    if _lib is not None:
        return _lib
    tried = []
    for candidate, is_path in _candidates():
        if is_path and not os.path.exists(candidate):
            tried.append(f"{candidate} (no such file)")
            continue
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as error:
            where = candidate if is_path else f"{candidate} through the system's loader"
            tried.append(f"{where} ({error})")
    else:
        hint = ("EDCLEAN_LIBRARY names it" if os.environ.get("EDCLEAN_LIBRARY")
                else "set EDCLEAN_LIBRARY to its path, or install it with cmake --install "
                     "under this Python's prefix " + sys.prefix)
        raise OSError("cannot load the tavirlen-empty-dir-cleaner library (" + hint
                      + "); tried:\n  " + "\n  ".join(tried))

    # The scan result is a pointer the caller must hand back, so it is
    # declared as a plain pointer, not as c_char_p (which would copy and lose it).
    lib.edclean_scan.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.edclean_scan.restype = ctypes.c_void_p
    lib.edclean_free_string.argtypes = [ctypes.c_void_p]
    lib.edclean_free_string.restype = None
    lib.edclean_last_error.argtypes = []
    lib.edclean_last_error.restype = ctypes.c_char_p
    lib.edclean_delete_dirs.argtypes = [ctypes.c_char_p]
    lib.edclean_delete_dirs.restype = ctypes.c_int32
    lib.edclean_delete_files.argtypes = [ctypes.c_char_p]
    lib.edclean_delete_files.restype = ctypes.c_int32
    _lib = lib
    return lib


def _last_error(lib):
    return lib.edclean_last_error().decode("utf-8", errors="replace")


def _text_path(path):
    """The path as str that encodes to UTF-8, or a ValueError naming it.

    The library takes UTF-8 names only. A bytes path, or a str holding the
    surrogate escapes that os.fsdecode() makes of bytes that are not UTF-8,
    cannot be sent as the name it stands for, so it is refused here by name
    rather than failing inside the JSON encoder.
    """
    path = os.fspath(path)
    if isinstance(path, bytes):
        raise ValueError(f"path {path!r} is bytes: only UTF-8 names can be passed, as str "
                         "(decode a UTF-8 name with path.decode('utf-8'))")
    if not isinstance(path, str):
        raise TypeError(f"a path must be str or os.PathLike, not {type(path).__name__}")
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"path {path!r} is not UTF-8 text (a name that is not UTF-8 on the "
                         "disk): only UTF-8 names can be passed") from None
    return path


def _path_list(paths):
    if isinstance(paths, (str, bytes)) or hasattr(paths, "__fspath__"):
        raise TypeError("pass a list of paths, not a single path")
    try:
        items = list(paths)
    except TypeError:
        raise TypeError(f"pass a list of paths, not {type(paths).__name__}") from None
    return [_text_path(p) for p in items]


def _paths_json(paths):
    return json.dumps(paths, ensure_ascii=False).encode("utf-8")


def _whole_number(name, value):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must be 0 or more, not {value}")
    return value


def _options_json(include_hidden, include_zero_byte, exclude, min_age_seconds, threads):
    """The options object; the members after the first two only when given."""
    options = {"include_hidden": bool(include_hidden),
               "include_zero_byte": bool(include_zero_byte)}
    if exclude is not None:
        if isinstance(exclude, (str, bytes)):
            raise TypeError("pass a list of patterns, not a single pattern")
        patterns = list(exclude)
        for pattern in patterns:
            if not isinstance(pattern, str):
                raise TypeError(f"patterns must be str, not {type(pattern).__name__}")
            try:
                pattern.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"pattern {pattern!r} is not UTF-8 text: only UTF-8 "
                                 "patterns can be passed") from None
        options["exclude"] = patterns
    if min_age_seconds is not None:
        options["min_age_seconds"] = _whole_number("min_age_seconds", min_age_seconds)
    if threads is not None:
        options["threads"] = _whole_number("threads", threads)
    return json.dumps(options, ensure_ascii=False).encode("utf-8")


def scan(roots, include_hidden=False, include_zero_byte=True, *, exclude=None,
         min_age_seconds=None, threads=None):
    """Scans the root directories.

    exclude: glob patterns (*, ?, [...]) matched against each entry's name;
    an entry that matches is left alone as a hidden name is. min_age_seconds:
    empty directories and zero-byte files modified less than that many
    seconds before the scan are not listed. threads: how many threads the
    scan may use (0: as many as help). Each is sent to the library only when
    given.

    Returns {"empty_dirs": [...], "zero_files": [...], "scanned_dirs": N}.
    Raises EdcleanError with the library's message when a root is refused,
    TypeError or ValueError for an option the library could not mean.
    """
    dirs = _paths_json(_path_list(roots))
    options = _options_json(include_hidden, include_zero_byte, exclude, min_age_seconds,
                            threads)
    lib = load_library()
    text = lib.edclean_scan(dirs, options)
    if not text:
        raise EdcleanError(_last_error(lib))
    try:
        return json.loads(ctypes.string_at(text).decode("utf-8"))
    finally:
        lib.edclean_free_string(text)


def _delete(function, paths):
    paths = _path_list(paths)
    if not paths:
        # Nothing to do. The library refuses an empty list as a malformed call;
        # here it is what a scan that found nothing hands on.
        return 0, None
    lib = load_library()
    count = getattr(lib, function)(_paths_json(paths))
    message = _last_error(lib)
    if count < 0:
        raise EdcleanError(message)
    return count, (message or None)


def delete_dirs(paths):
    """Removes the listed directories that are still empty and inside scanned roots.

    Returns (number removed, message of the last refusal or None); an empty
    list removes nothing and returns (0, None).
    """
    return _delete("edclean_delete_dirs", paths)


def delete_files(paths):
    """Removes the listed files that are still zero-byte files inside scanned roots.

    Returns (number removed, message of the last refusal or None); an empty
    list removes nothing and returns (0, None).
    """
    return _delete("edclean_delete_files", paths)
