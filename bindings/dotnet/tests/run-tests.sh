#!/bin/sh
# Builds the .NET binding and its test program with Mono's mcs and runs them
# against the built shared library, in the two ways a host finds it:
#   1. with the binding's dllmap: only the run-time name libNAME.so.0 exists;
#   2. with no dllmap: only libNAME.so exists, reached from the bare import name.
# Usage (CTest's dotnet_binding): run-tests.sh WORK_DIR LIBRARY
# Exits 77 (CTest's skip) with the reason when mcs or mono is missing.
set -eu
work=$1
library=$2
here=$(cd "$(dirname "$0")" && pwd)
binding=$(dirname "$here")

for program in mcs mono; do
  if ! command -v "$program" >/dev/null 2>&1; then
    echo "skipped: $program is not installed (Debian package mono-devel)"
    exit 77
  fi
done
[ -f "$library" ] || { echo "no library at $library" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/out" "$work/mapped" "$work/bare" "$work/tmp"
out=$work/out

mcs -nologo -target:library -warnaserror+ -warn:4 -r:System.Runtime.Serialization.dll \
  -out:"$out/Tavirlen.Edclean.dll" "$binding/Edclean.cs"
mcs -nologo -warnaserror+ -warn:4 -r:"$out/Tavirlen.Edclean.dll" \
  -out:"$out/EdcleanTests.exe" "$here/EdcleanTests.cs"

# Each run gets its own folder holding the assemblies and one name of the library.
cp "$out/Tavirlen.Edclean.dll" "$out/EdcleanTests.exe" "$work/mapped/"
cp "$out/Tavirlen.Edclean.dll" "$out/EdcleanTests.exe" "$work/bare/"
cp "$binding/Tavirlen.Edclean.dll.config" "$work/mapped/"
# The test program's own control import needs the same map.
cp "$binding/Tavirlen.Edclean.dll.config" "$work/mapped/EdcleanTests.exe.config"
cp "$library" "$work/mapped/libtavirlen-empty-dir-cleaner.so.0"
cp "$library" "$work/bare/libtavirlen-empty-dir-cleaner.so"

tmp=$(cd "$work/tmp" && pwd -P)
status=0
for way in mapped bare; do
  echo "== $way"
  mkdir -p "$tmp/$way"
  if ! env LC_ALL=C.UTF-8 EDCLEAN_TEST_TMP="$tmp/$way" LD_LIBRARY_PATH="$work/$way" \
      mono --debug "$work/$way/EdcleanTests.exe"; then
    status=1
  fi
done
exit $status
