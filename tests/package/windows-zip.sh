#!/usr/bin/env bash
# Checks the Windows .zip the way a Windows developer would use it: it holds
# the DLL, both import libraries, the header, the .def, the CLI, the license,
# the notices and the readme; the DLL exports the five functions at ordinals
# 1-5 and needs only system DLLs; a C program links against the mingw import
# library (.dll.a) and, with clang and lld-link, against the one for
# Microsoft's linker (.lib), and both run under Wine, as does the CLI.
#   bash tests/package/windows-zip.sh ZIP WINE_PREFIX
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
zip=$(cd "$(dirname "${1:?usage: windows-zip.sh ZIP WINE_PREFIX}")" && pwd)/$(basename "$1")
prefix=$(mkdir -p "${2:?usage: windows-zip.sh ZIP WINE_PREFIX}" && cd "$2" && pwd)
wine_run="$source_dir/cmake/wine-run.sh $prefix"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cmake -E tar xf "$zip")
top=$(find "$work" -mindepth 1 -maxdepth 1 -type d)
name=tavirlen-empty-dir-cleaner
for file in bin/$name.dll bin/edclean.exe include/edclean.h lib/$name.lib lib/lib$name.dll.a \
    lib/$name.def lib/cmake/$name/${name}Config.cmake lib/pkgconfig/$name.pc \
    LICENSE THIRD-PARTY-NOTICES.txt README.txt; do
  [ -f "$top/$file" ] || { echo "the .zip lacks $file" >&2; exit 1; }
done
cmake -DLIBRARY="$top/bin/$name.dll" -DFORMAT=pe -P "$source_dir/cmake/CheckExports.cmake"

run_here() {
  # The DLL beside the program, as a Windows user places it.
  cp "$top/bin/$name.dll" "$work/"
  (cd "$work" && $wine_run "$@")
}

x86_64-w64-mingw32-gcc -std=c99 -Wall -Werror -I"$top/include" "$source_dir/tests/consumer/main.c" \
  "$top/lib/lib$name.dll.a" -o "$work/consumer-mingw.exe"
out=$(run_here ./consumer-mingw.exe | tr -d '\r')
[ "$out" = "consumer ok" ] || { echo "mingw consumer: $out" >&2; exit 1; }
echo "mingw consumer through lib$name.dll.a: $out"

# clang targets Microsoft's ABI with its own freestanding headers; the
# program needs no C runtime, whose headers and libraries Debian does not
# have, and kernel32's import library is made here from its three names.
if command -v clang >/dev/null && command -v lld-link >/dev/null && command -v llvm-dlltool >/dev/null; then
  clang --target=x86_64-pc-windows-msvc -ffreestanding -fno-builtin -fno-stack-protector \
    -Wall -Werror -I"$top/include" -c "$source_dir/tests/package/msvc_consumer.c" \
    -o "$work/msvc_consumer.obj"
  llvm-dlltool -m i386:x86-64 -d "$source_dir/tests/package/kernel32.def" -l "$work/kernel32.lib"
  lld-link /nologo /nodefaultlib /subsystem:console /entry:mainCRTStartup \
    /out:"$work/consumer-msvc.exe" "$work/msvc_consumer.obj" "$top/lib/$name.lib" "$work/kernel32.lib"
  out=$(run_here ./consumer-msvc.exe | tr -d '\r')
  [ "$out" = "msvc consumer ok" ] || { echo "msvc consumer: $out" >&2; exit 1; }
  echo "clang/lld-link consumer through $name.lib: $out"
else
  echo "skipped the .lib link: needs clang, lld-link and llvm-dlltool (Debian: clang, lld, llvm)"
fi

out=$(cd "$top/bin" && $wine_run ./edclean.exe --version | tr -d '\r')
case $out in
  *0.*) echo "edclean.exe from the .zip: $out" ;;
  *) echo "edclean.exe --version: $out" >&2; exit 1 ;;
esac
echo "the Windows .zip works for mingw and Microsoft's linker"
