#!/bin/sh
# Builds the .NET binding and its test program with Mono's mcs and runs them
# against the built shared library, in the ways a host finds it:
#   1. with the binding's dllmap: only the run-time name libNAME.so.0 exists;
#   2. with no dllmap: only libNAME.so exists, reached from the bare import name;
#   3. from the .nupkg (pack.py), unpacked as NuGet does: the program loads
#      the assembly from the package's lib/net45, which finds the library in
#      the package's runtimes/linux-x64/native;
#   4. from a program's folder holding the package's lib/net45 files and its
#      runtimes/ folder, as a .NET build lays out its output;
# and where it is nowhere: the DllNotFoundException names the places tried.
# Usage (CTest's dotnet_binding): run-tests.sh WORK_DIR LIBRARY
# Exits 77 (CTest's skip) with the reason when mcs, mono or python3 is missing.
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
if ! command -v python3 >/dev/null 2>&1; then
  echo "skipped: python3 is not installed; it makes the .nupkg (Debian package python3)"
  exit 77
fi
[ -f "$library" ] || { echo "no library at $library" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/out" "$work/mapped" "$work/bare" "$work/tmp" "$work/copied" "$work/missing"
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

# The package, unpacked where a NuGet cache would keep it.
nupkg=$(python3 "$binding/pack.py" "$work/dist" "$out/Tavirlen.Edclean.dll" --linux "$library")
package=$work/packages/tavirlen.edclean/0.1.0
python3 -m zipfile -e "$nupkg" "$package"
for member in lib/net45/Tavirlen.Edclean.dll lib/net45/Tavirlen.Edclean.dll.config \
              runtimes/linux-x64/native/libtavirlen-empty-dir-cleaner.so Tavirlen.Edclean.nuspec; do
  [ -f "$package/$member" ] || { echo "the package lacks $member" >&2; exit 1; }
done
grep -q '<license type="expression">MIT</license>' "$package/Tavirlen.Edclean.nuspec" ||
  { echo "the package's manifest names no licence" >&2; exit 1; }
mkdir -p "$work/nupkg"
cp "$out/EdcleanTests.exe" "$work/nupkg/"
cp "$binding/Tavirlen.Edclean.dll.config" "$work/nupkg/EdcleanTests.exe.config"
cp "$package"/lib/net45/* "$out/EdcleanTests.exe" "$work/copied/"
cp -R "$package/runtimes" "$work/copied/"
cp "$binding/Tavirlen.Edclean.dll.config" "$work/copied/EdcleanTests.exe.config"
cp "$out/Tavirlen.Edclean.dll" "$out/EdcleanTests.exe" "$binding/Tavirlen.Edclean.dll.config" "$work/missing/"

tmp=$(cd "$work/tmp" && pwd -P)
status=0
# way, then the environment of the run: the library's folder for the first two,
# the package's assembly folder for the third, nothing for the fourth.
for way in mapped bare nupkg copied; do
  echo "== $way"
  mkdir -p "$tmp/$way"
  case $way in
    mapped | bare) search="LD_LIBRARY_PATH=$work/$way" ;;
    nupkg) search="MONO_PATH=$package/lib/net45" ;;
    *) search="MONO_PATH=" ;;
  esac
  if ! env -u LD_LIBRARY_PATH -u EDCLEAN_LIBRARY LC_ALL=C.UTF-8 EDCLEAN_TEST_TMP="$tmp/$way" "$search" \
      mono --debug "$work/$way/EdcleanTests.exe"; then
    status=1
  fi
done

echo "== missing"
for named in "" "$work/nowhere/libtavirlen-empty-dir-cleaner.so.0"; do
  if [ -n "$named" ]; then expected=$named; else expected=$work/missing/libtavirlen-empty-dir-cleaner.so.0; fi
  set +e
  env -u LD_LIBRARY_PATH -u EDCLEAN_LIBRARY LC_ALL=C.UTF-8 ${named:+EDCLEAN_LIBRARY="$named"} \
    mono --debug "$work/missing/EdcleanTests.exe" --expect-missing "$expected"
  code=$?
  set -e
  case $code in
    0) ;;
    77) ;;
    *) status=1 ;;
  esac
done
exit $status
