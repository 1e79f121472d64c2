"""Python binding of the tavirlen-empty-dir-cleaner library, over ctypes.

    import tavirlen_edclean as edclean
    found = edclean.scan(["/data/archive"])            # dict from the library's JSON
    removed, refusal = edclean.delete_files(found["zero_files"])
    removed, refusal = edclean.delete_dirs(found["empty_dirs"])

The shared library is looked up, in order, at the path in the environment
variable EDCLEAN_LIBRARY, next to this package, and by the system's loader.
"""

import ctypes
import ctypes.util
import json
import os
import sys

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


def _candidates():
    explicit = os.environ.get("EDCLEAN_LIBRARY")
    if explicit:
        yield explicit
        return
    names = _LIBRARY_NAMES.get(sys.platform, ["libtavirlen-empty-dir-cleaner.so.0",
                                               "libtavirlen-empty-dir-cleaner.so"])
    here = os.path.dirname(os.path.abspath(__file__))
    for name in names:
        yield os.path.join(here, name)
    found = ctypes.util.find_library("tavirlen-empty-dir-cleaner")
    if found:
        yield found
    yield from names


def load_library():
    """Loads the shared library once and declares the five exports."""
    global _lib
    if _lib is not None:
        return _lib
    errors = []
    for candidate in _candidates():
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as error:
            errors.append(f"{candidate}: {error}")
    else:
        raise OSError("cannot load tavirlen-empty-dir-cleaner: " + "; ".join(errors))

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


def _paths_json(paths):
    if isinstance(paths, (str, bytes)):
        raise TypeError("pass a list of paths, not a single path")
    return json.dumps([os.fspath(p) for p in paths], ensure_ascii=False).encode("utf-8")


def scan(roots, include_hidden=False, include_zero_byte=True):
    """Scans the root directories.

    Returns {"empty_dirs": [...], "zero_files": [...], "scanned_dirs": N}.
    Raises EdcleanError with the library's message when a root is refused.
    """
    lib = load_library()
    options = json.dumps({"include_hidden": bool(include_hidden),
                          "include_zero_byte": bool(include_zero_byte)}).encode("utf-8")
    text = lib.edclean_scan(_paths_json(roots), options)
    if not text:
        raise EdcleanError(_last_error(lib))
    try:
        return json.loads(ctypes.string_at(text).decode("utf-8"))
    finally:
        lib.edclean_free_string(text)


def _delete(function, paths):
    lib = load_library()
    count = getattr(lib, function)(_paths_json(paths))
    message = _last_error(lib)
    if count < 0:
        raise EdcleanError(message)
    return count, (message or None)


def delete_dirs(paths):
    """Removes the listed directories that are still empty and inside scanned roots.

    Returns (number removed, message of the last refusal or None).
    """
    return _delete("edclean_delete_dirs", paths)


def delete_files(paths):
    """Removes the listed files that are still zero-byte files inside scanned roots.

    Returns (number removed, message of the last refusal or None).
    """
    return _delete("edclean_delete_files", paths)
