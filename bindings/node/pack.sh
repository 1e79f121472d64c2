#!/bin/sh
# Packs the Node binding with the library inside: a tarball for
# `npm install ./tavirlen-edclean-VERSION.tgz` that needs nothing else but
# koffi, its one dependency, from the registry or npm's cache.
#   pack.sh OUT_DIR [--linux LIBRARY] [--windows DLL]
# Each library goes under prebuilds/PLATFORM-ARCH (prebuilds/linux-x64,
# prebuilds/win32-x64), where index.js looks right after the package's own
# folder, named as it looks for it. Prints the tarball's path.
set -eu
usage() { echo "usage: pack.sh OUT_DIR [--linux LIBRARY] [--windows DLL]" >&2; exit 2; }
[ "$#" -ge 1 ] || usage
out=$1
shift
linux=
windows=
while [ "$#" -gt 0 ]; do
  case $1 in
    --linux) [ "$#" -ge 2 ] || usage; linux=$2; shift 2 ;;
    --windows) [ "$#" -ge 2 ] || usage; windows=$2; shift 2 ;;
    *) usage ;;
  esac
done
[ -n "$linux$windows" ] || { echo "pack.sh: give --linux, --windows or both: a package without a library is no use" >&2; exit 2; }
for library in $linux $windows; do
  [ -f "$library" ] || { echo "pack.sh: no library at $library" >&2; exit 1; }
done
package=$(cd "$(dirname "$0")" && pwd)

stage=$(mktemp -d "${TMPDIR:-/tmp}/edclean-npm-pack.XXXXXX")
trap 'rm -rf "$stage"' EXIT
cp "$package/package.json" "$package/index.js" "$package/index.d.ts" "$package/worker.js" "$stage/"
if [ -n "$linux" ]; then
  # The library is built for this machine, so its folder is this machine's.
  arch=$(node -p process.arch)
  mkdir -p "$stage/prebuilds/linux-$arch"
  cp -L "$linux" "$stage/prebuilds/linux-$arch/libtavirlen-empty-dir-cleaner.so.0"
fi
if [ -n "$windows" ]; then
  mkdir -p "$stage/prebuilds/win32-x64"
  cp "$windows" "$stage/prebuilds/win32-x64/tavirlen-empty-dir-cleaner.dll"
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
name=$(cd "$stage" && npm pack --silent --pack-destination "$out")
echo "$out/$name"
