#!/usr/bin/env bash
# Builds the Debian packages, split the way Debian splits a shared library:
#   libtavirlen-empty-dir-cleaner0     the .so.0* (ldconfig trigger, shlibs, symbols)
#   libtavirlen-empty-dir-cleaner-dev  header, .so link, pkg-config and CMake files
#   edclean                            the tool, its manual page and completion
# and, beside them, the stripped debug information of the library and the tool
# as -dbgsym packages (.ddeb, as Debian names them).
#   bash packaging/debian/build-debs.sh [BUILD_DIR [OUT_DIR]]
# BUILD_DIR (default build/deb) is a build of its own, configured as a
# distribution builds: prefix /usr (so the library lands in the multiarch
# folder), dpkg-buildflags' hardened flags, no private RUNPATH, no tests.
# OUT_DIR defaults to BUILD_DIR/debs.
#
# The packages are put together here with Debian's own tools (dpkg-shlibdeps,
# dpkg-gensymbols, dpkg-gencontrol, dpkg-deb) rather than CPack: CPack's DEB
# generator calls ldconfig from generated maintainer scripts, where Debian
# wants a trigger, and cannot check the exports against a symbols file.
set -euo pipefail
umask 022
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
here=$source_dir/packaging/debian
build=${1:-$source_dir/build/deb}
out=${2:-$build/debs}
mkdir -p "$build" "$out"
build=$(cd "$build" && pwd)
out=$(cd "$out" && pwd)

for tool in dpkg-buildflags dpkg-shlibdeps dpkg-gensymbols dpkg-gencontrol dpkg-deb \
    dpkg-parsechangelog objcopy strip readelf help2man; do
  command -v "$tool" >/dev/null || { echo "build-debs.sh needs $tool" >&2; exit 1; }
done

# The changelog's upstream version must be the project's.
version=$(dpkg-parsechangelog -l"$here/changelog" -SVersion)
project_version=$(sed -n -E 's/^project\(tavirlen-empty-dir-cleaner VERSION ([0-9.]+) .*/\1/p' \
  "$source_dir/CMakeLists.txt")
if [ "${version%-*}" != "$project_version" ]; then
  echo "packaging/debian/changelog is at $version, the project at $project_version" >&2
  exit 1
fi

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_SKIP_INSTALL_RPATH=ON -DEDCLEAN_BUILD_TESTS=OFF \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build" -j"$(nproc)" --target tavirlen-empty-dir-cleaner edclean edclean_man

# A tree laid out as Debian's tools expect: debian/control, debian/changelog
# and one staging folder per package, debian/PACKAGE.
work=$build/debian-work
rm -rf "$work"
mkdir -p "$work/debian"
cp "$here/control" "$here/changelog" "$here/libtavirlen-empty-dir-cleaner0.symbols" "$work/debian/"
cd "$work"

lib=libtavirlen-empty-dir-cleaner0
dev=libtavirlen-empty-dir-cleaner-dev
cli=edclean
for pkg in $lib $dev $cli; do
  rm -f "$out/${pkg}"_*.deb "$out/${pkg}"-dbgsym_*.ddeb
done
declare -A component=([$lib]=runtime [$dev]=dev [$cli]=cli)
for pkg in $lib $dev $cli; do
  DESTDIR=$work/debian/$pkg cmake --install "$build" --component "${component[$pkg]}" >/dev/null
  doc=debian/$pkg/usr/share/doc/$pkg
  mkdir -p "$doc"
  cp "$here/copyright" "$doc/copyright"
  gzip -9n <"$here/changelog" >"$doc/changelog.Debian.gz"
  if [ -f "$here/$pkg.lintian-overrides" ]; then
    mkdir -p "debian/$pkg/usr/share/lintian/overrides"
    cp "$here/$pkg.lintian-overrides" "debian/$pkg/usr/share/lintian/overrides/$pkg"
  fi
done

# Permissions as Debian wants them: a shared library is not executable.
for pkg in $lib $dev $cli; do
  find "debian/$pkg" -type d -exec chmod 0755 {} +
  find "debian/$pkg" -type f -exec chmod 0644 {} +
  if [ -d "debian/$pkg/usr/bin" ]; then chmod 0755 "debian/$pkg"/usr/bin/*; fi
done

# Strip each binary, keeping its debug information in PACKAGE-dbgsym under
# /usr/lib/debug/.build-id, where gdb looks for it by the binary's build id.
split_debug() {
  local pkg=$1 file=$2 id dbg
  id=$(readelf -n "$file" | sed -n -E 's/.*Build ID: ([0-9a-f]+).*/\1/p')
  [ -n "$id" ] || { echo "$file has no build id" >&2; exit 1; }
  dbg=debian/$pkg-dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  mkdir -p "$(dirname "$dbg")"
  objcopy --only-keep-debug --compress-debug-sections "$file" "$dbg"
  chmod 0644 "$dbg"
  if [ "$3" = library ]; then
    strip --remove-section=.comment --remove-section=.note --strip-unneeded "$file"
  else
    strip --remove-section=.comment --remove-section=.note "$file"
  fi
  objcopy --add-gnu-debuglink="$dbg" "$file"
  echo "$id" >>"debian/$pkg-dbgsym.build-ids"
}
rm -f debian/*.build-ids
for so in "debian/$lib"/usr/lib/*/libtavirlen-empty-dir-cleaner.so.0.*; do
  split_debug $lib "$so" library
done
split_debug $cli "debian/$cli/usr/bin/edclean" program

# The library's shlibs, symbols (checked against the five exports: any other
# export, or a missing one, fails here) and ldconfig trigger.
mkdir -p "debian/$lib/DEBIAN" "debian/$dev/DEBIAN" "debian/$cli/DEBIAN"
echo "libtavirlen-empty-dir-cleaner 0 $lib (>= ${version%-*})" >"debian/$lib/DEBIAN/shlibs"
echo "activate-noawait ldconfig" >"debian/$lib/DEBIAN/triggers"
dpkg-gensymbols -c4 -p$lib -Pdebian/$lib -edebian/$lib/usr/lib/*/libtavirlen-empty-dir-cleaner.so.0.*

# Dependencies read from the binaries. The tool's dependency on the library
# is the exact version (debian/control): a tool newer than its library would
# pass options the library does not know, which it ignores, so an --exclude
# or --min-age would silently not hold.
dpkg-shlibdeps -Tdebian/$lib.substvars "debian/$lib"/usr/lib/*/libtavirlen-empty-dir-cleaner.so.0.*
dpkg-shlibdeps -Tdebian/$cli.substvars -x$lib "debian/$cli/usr/bin/edclean"
touch debian/$dev.substvars

rm -f debian/files
for pkg in $lib $dev $cli; do
  dpkg-gencontrol -p"$pkg" -P"debian/$pkg" -T"debian/$pkg.substvars"
done

# The -dbgsym packages' control files, as Debian's tools write them.
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
maintainer=$(sed -n 's/^Maintainer: //p' debian/control)
for pkg in $lib $cli; do
  dbg=$pkg-dbgsym
  multiarch=
  [ "$pkg" = "$lib" ] && multiarch=$'Multi-Arch: same\n'
  mkdir -p "debian/$dbg/DEBIAN" "debian/$dbg/usr/share/doc"
  ln -s "$pkg" "debian/$dbg/usr/share/doc/$dbg"
  find "debian/$dbg" -type d -exec chmod 0755 {} +
  cat >"debian/$dbg/DEBIAN/control" <<EOF
Package: $dbg
Source: tavirlen-empty-dir-cleaner
Version: $version
Auto-Built-Package: debug-symbols
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -k -s --apparent-size "debian/$dbg/usr" | cut -f1)
Depends: $pkg (= $version)
Section: debug
Priority: optional
${multiarch}Description: debug symbols for $pkg
Build-Ids: $(tr '\n' ' ' <"debian/$dbg.build-ids" | sed 's/ $//')
EOF
done

for pkg in $lib $dev $cli $lib-dbgsym $cli-dbgsym; do
  (cd "debian/$pkg" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | LC_ALL=C sort -z |
    xargs -0r md5sum >DEBIAN/md5sums)
  chmod 0644 "debian/$pkg"/DEBIAN/*
  case $pkg in
    *-dbgsym) file=$out/${pkg}_${version}_$arch.ddeb ;;
    *) file=$out/${pkg}_${version}_$arch.deb ;;
  esac
  dpkg-deb --root-owner-group -Zxz --build "debian/$pkg" "$file" >/dev/null
  echo "$file"
done
