"""Makes the binding's .nupkg, the zip NuGet reads, from parts already built.

    python3 pack.py OUT_DIR ASSEMBLY [--linux LIBRARY] [--windows DLL]

The package holds the manifest (Tavirlen.Edclean.nuspec, beside this file),
the assembly and its Mono map in lib/net45/, and each native library under
the folder the .NET loader and NuGet use for it: runtimes/linux-x64/native/
and runtimes/win-x64/native/, named as the import name resolves on each
(libtavirlen-empty-dir-cleaner.so, tavirlen-empty-dir-cleaner.dll). Prints
the package's path.
"""

import argparse
import os
import re
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
# Reproducible archives: every member gets this time (1980-01-01, zip's first).
EPOCH = (1980, 1, 1, 0, 0, 0)

CONTENT_TYPES = """<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml" />
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
  <Default Extension="config" ContentType="application/octet" />
  <Default Extension="so" ContentType="application/octet" />
</Types>
"""

RELS = """<?xml version="1.0" encoding="utf-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
  <Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/{nuspec}" Id="R0" />
</Relationships>
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir")
    parser.add_argument("assembly")
    parser.add_argument("--linux", help="the Linux shared library (a link is followed)")
    parser.add_argument("--windows", help="the 64-bit Windows DLL")
    args = parser.parse_args()
    if not args.linux and not args.windows:
        parser.error("give --linux, --windows or both: a package without a library is no use")

    nuspec_path = os.path.join(HERE, "Tavirlen.Edclean.nuspec")
    with open(nuspec_path, encoding="utf-8") as f:
        nuspec = f.read()
    package_id = re.search(r"<id>([^<]+)</id>", nuspec).group(1)
    version = re.search(r"<version>([^<]+)</version>", nuspec).group(1)
    nuspec_name = package_id + ".nuspec"

    members = [
        ("[Content_Types].xml", CONTENT_TYPES.encode("utf-8")),
        ("_rels/.rels", RELS.format(nuspec=nuspec_name).encode("utf-8")),
        (nuspec_name, nuspec.encode("utf-8")),
    ]

    def add(name, path):
        with open(path, "rb") as f:
            members.append((name, f.read()))

    add("lib/net45/Tavirlen.Edclean.dll", args.assembly)
    add("lib/net45/Tavirlen.Edclean.dll.config", os.path.join(HERE, "Tavirlen.Edclean.dll.config"))
    if args.linux:
        add("runtimes/linux-x64/native/libtavirlen-empty-dir-cleaner.so", args.linux)
    if args.windows:
        add("runtimes/win-x64/native/tavirlen-empty-dir-cleaner.dll", args.windows)

    os.makedirs(args.out_dir, exist_ok=True)
    out = os.path.join(args.out_dir, f"{package_id}.{version}.nupkg")
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as package:
        for name, data in members:
            entry = zipfile.ZipInfo(name, EPOCH)
            entry.external_attr = (0o755 if name.endswith((".so", ".dll")) else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            package.writestr(entry, data)
    print(out)


if __name__ == "__main__":
    main()
