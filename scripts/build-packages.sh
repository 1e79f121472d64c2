#!/usr/bin/env bash
# Builds the library, then the three bindings' packages with it inside, in
# build/packages:
#   tavirlen_edclean-VERSION-py3-none-PLATFORM.whl   pip install FILE
#   tavirlen-edclean-VERSION.tgz                     npm install ./FILE
#   Tavirlen.Edclean.VERSION.nupkg                   a NuGet package
# Usage: bash scripts/build-packages.sh [--library FILE] [--windows-dll FILE] [--out DIR]
#   --library FILE      use this built Linux library instead of building one in
#                       build/run (the folder scripts/run.sh builds in)
#   --windows-dll FILE  put this Windows DLL into the Node and .NET packages (and
#                       make a win_amd64 wheel of it); by default the one in
#                       build/windows/bin, when that build exists
#   --out DIR           where the packages go (default build/packages)
# A package whose tool is missing (python3, npm, mcs) is left out with the
# reason, and the script exits 1 after making the others.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD

library=
windows=
out=build/packages
absolute() { case $1 in /*) echo "$1" ;; *) echo "$caller/$1" ;; esac; }
while [ "$#" -gt 0 ]; do
  case $1 in
    --library) library=$(absolute "$2"); shift 2 ;;
    --windows-dll) windows=$(absolute "$2"); shift 2 ;;
    --out) out=$(absolute "$2"); shift 2 ;;
    *) echo "usage: bash scripts/build-packages.sh [--library FILE] [--windows-dll FILE] [--out DIR]" >&2; exit 2 ;;
  esac
done

if [ -z "$library" ]; then
  . scripts/packages.sh
  edclean_require run
  # The same build folder and settings as scripts/run.sh, built whole, so
  # that `cmake --install build/run` works after it too.
  build=build/run
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DEDCLEAN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
  library=$root/$build/lib/libtavirlen-empty-dir-cleaner.so.0
fi
[ -f "$library" ] || { echo "no library at $library" >&2; exit 1; }
if [ -z "$windows" ] && [ -f build/windows/bin/tavirlen-empty-dir-cleaner.dll ]; then
  windows=$root/build/windows/bin/tavirlen-empty-dir-cleaner.dll
fi
[ -z "$windows" ] || [ -f "$windows" ] || { echo "no DLL at $windows" >&2; exit 1; }
mkdir -p "$out"
out=$(cd "$out" && pwd)

left_out=0
leave_out() {
  echo "left out: $1" >&2
  left_out=1
}

if command -v python3 >/dev/null 2>&1; then
  for lib in "$library" $windows; do
    python3 - "$root/bindings/python/backend" "$out" "$lib" <<'PY'
import os, sys
sys.path.insert(0, sys.argv[1])
import edclean_backend
print(os.path.join(sys.argv[2], edclean_backend.build_wheel(sys.argv[2], {"library": sys.argv[3]})))
PY
  done
else
  leave_out "the Python wheel: python3 is not installed (Debian package python3)"
fi

if command -v npm >/dev/null 2>&1 && command -v node >/dev/null 2>&1; then
  sh bindings/node/pack.sh "$out" --linux "$library" ${windows:+--windows "$windows"}
else
  leave_out "the Node package: node or npm is not installed (Debian packages nodejs and npm)"
fi

if command -v mcs >/dev/null 2>&1 && command -v python3 >/dev/null 2>&1; then
  assembly=$(mktemp -d "${TMPDIR:-/tmp}/edclean-nupkg.XXXXXX")
  trap 'rm -rf "$assembly"' EXIT
  mcs -nologo -target:library -r:System.Runtime.Serialization.dll \
    -out:"$assembly/Tavirlen.Edclean.dll" bindings/dotnet/Edclean.cs
  python3 bindings/dotnet/pack.py "$out" "$assembly/Tavirlen.Edclean.dll" --linux "$library" \
    ${windows:+--windows "$windows"}
else
  leave_out "the .NET package: mcs or python3 is not installed (Debian packages mono-devel and python3)"
fi
exit $left_out
