"""A build backend (PEP 517, PEP 660) for the binding's Python package.

It reads the name, version, summary and Python requirement from the [project]
table of pyproject.toml and the packages to ship from [tool.edclean-backend],
and writes a py3-none-any wheel, an editable wheel or a source archive with
nothing but the standard library: no setuptools, no wheel, no network.

Given the config setting "library" (the path of the built shared library,
libtavirlen-empty-dir-cleaner.so* or tavirlen-empty-dir-cleaner.dll), the
wheel carries that library inside the package, where the binding looks
first, and is tagged for the library's platform (linux_x86_64, win_amd64):
    pip wheel --no-build-isolation --config-settings library=PATH bindings/python
or, as scripts/build-packages.sh does, build_wheel(DIR, {"library": PATH}).
"""

import base64
import hashlib
import io
import os
import re
import sysconfig
import tarfile
import zipfile

_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Reproducible archives: every member gets this time (1980-01-01, zip's first).
_EPOCH = (1980, 1, 1, 0, 0, 0)


def _read_pyproject():
    """The [project] and [tool.edclean-backend] values this backend needs.

    pyproject.toml here holds only "key = string" and "key = [strings]", so
    a line reader suffices on every Python (tomllib arrived in 3.11).
    """
    tables = {}
    table = None
    with open(os.path.join(_HERE, "pyproject.toml"), encoding="utf-8") as f:
        for raw in f:
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            header = re.fullmatch(r"\[([^\]]+)\]", line)
            if header:
                table = tables.setdefault(header.group(1).strip(), {})
                continue
            key, sep, value = line.partition("=")
            if not sep or table is None:
                continue
            value = value.strip()
            if value.startswith("["):
                table[key.strip()] = re.findall(r'"([^"]*)"', value)
            else:
                table[key.strip()] = value.strip('"')
    project = tables.get("project", {})
    for key in ("name", "version"):
        if not project.get(key):
            raise ValueError(f"pyproject.toml: [project] has no {key}")
    packages = tables.get("tool.edclean-backend", {}).get("packages") or []
    if not packages:
        raise ValueError("pyproject.toml: [tool.edclean-backend] names no packages")
    return project, packages


def _dist_name(project):
    return re.sub(r"[-_.]+", "_", project["name"]).lower()


def _metadata(project):
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project['version']}"]
    if project.get("description"):
        lines.append(f"Summary: {project['description']}")
    if project.get("requires-python"):
        lines.append(f"Requires-Python: {project['requires-python']}")
    return "\n".join(lines) + "\n"


def _package_files(packages):
    """(archive name, path) for every Python file of the packages, sorted."""
    files = []
    for package in packages:
        root = os.path.join(_HERE, package)
        if not os.path.isfile(os.path.join(root, "__init__.py")):
            raise ValueError(f"package {package} has no __init__.py")
        for directory, dirs, names in os.walk(root):
            dirs[:] = sorted(d for d in dirs if d != "__pycache__")
            for name in sorted(names):
                if name.endswith(".py"):
                    path = os.path.join(directory, name)
                    files.append((os.path.relpath(path, _HERE).replace(os.sep, "/"), path))
    return files


def _write_wheel(directory, project, members, platform=None):
    """Writes the wheel from members, a list of (archive name, bytes).

    platform: None for a pure wheel (py3-none-any), else the platform tag of
    the native library among the members (py3-none-PLATFORM).
    """
    dist = _dist_name(project)
    info = f"{dist}-{project['version']}.dist-info"
    tag = f"py3-none-{platform or 'any'}"
    purelib = "false" if platform else "true"
    members = list(members) + [
        (f"{info}/METADATA", _metadata(project).encode("utf-8")),
        (f"{info}/WHEEL", (f"Wheel-Version: 1.0\nGenerator: edclean_backend\n"
                           f"Root-Is-Purelib: {purelib}\nTag: {tag}\n").encode("utf-8")),
    ]
    record = io.StringIO()
    for name, data in members:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
        record.write(f"{name},sha256={digest.decode('ascii')},{len(data)}\n")
    record.write(f"{info}/RECORD,,\n")
    members.append((f"{info}/RECORD", record.getvalue().encode("utf-8")))
    filename = f"{dist}-{project['version']}-{tag}.whl"
    with zipfile.ZipFile(os.path.join(directory, filename), "w", zipfile.ZIP_DEFLATED) as whl:
        for name, data in members:
            entry = zipfile.ZipInfo(name, _EPOCH)
            native = name.endswith((".dll", ".so")) or ".so." in name
            entry.external_attr = (0o755 if native else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(entry, data)
    return filename


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def _native_library(path, package):
    """(archive name, platform tag) of the library at path, inside package.

    It is stored under the first name the binding looks for next to itself,
    whatever the build named it (a link is followed to the file).
    """
    if not os.path.isfile(path):
        raise ValueError(f"library: no such file {path}")
    name = os.path.basename(path)
    if name.lower().endswith(".dll"):
        # The project's Windows build is the 64-bit DLL.
        return f"{package}/tavirlen-empty-dir-cleaner.dll", "win_amd64"
    if name.startswith("libtavirlen-empty-dir-cleaner.so"):
        platform = re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())
        return f"{package}/libtavirlen-empty-dir-cleaner.so.0", platform
    raise ValueError(f"library: {path} is neither libtavirlen-empty-dir-cleaner.so* "
                     "nor tavirlen-empty-dir-cleaner.dll")


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project, packages = _read_pyproject()
    members = [(name, _read(path)) for name, path in _package_files(packages)]
    library = (config_settings or {}).get("library")
    platform = None
    if library:
        name, platform = _native_library(library, packages[0])
        members.append((name, _read(library)))
    return _write_wheel(wheel_directory, project, members, platform)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The packages stay where they are; a .pth file puts their folder on sys.path.
    project, packages = _read_pyproject()
    _package_files(packages)
    pth = (_HERE + "\n").encode("utf-8")
    return _write_wheel(wheel_directory, project, [(f"{_dist_name(project)}.pth", pth)])


def build_sdist(sdist_directory, config_settings=None):
    project, packages = _read_pyproject()
    base = f"{_dist_name(project)}-{project['version']}"
    files = [("pyproject.toml", os.path.join(_HERE, "pyproject.toml")),
             ("backend/edclean_backend.py", os.path.abspath(__file__))]
    files += _package_files(packages)
    filename = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz",
                      format=tarfile.PAX_FORMAT) as tar:
        members = [(name, _read(path)) for name, path in files]
        members.append(("PKG-INFO", _metadata(project).encode("utf-8")))
        for name, data in members:
            entry = tarfile.TarInfo(f"{base}/{name}")
            entry.size = len(data)
            entry.mode = 0o644
            entry.mtime = 315532800
            tar.addfile(entry, io.BytesIO(data))
    return filename
