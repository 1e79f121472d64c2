#!/usr/bin/env bash
# Checks the Debian packages that packaging/debian/build-debs.sh made: lintian
# reports no error and no warning (its overrides carry their reasons), each
# package holds exactly its part of the installation, the binaries are
# stripped with their debug information in the -dbgsym packages, and the
# library package has its shlibs, symbols and ldconfig trigger.
#   bash tests/package/check-debs.sh DEB_DIR
set -euo pipefail
debs=${1:?usage: check-debs.sh DEB_DIR}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=libtavirlen-empty-dir-cleaner0
dev=libtavirlen-empty-dir-cleaner-dev
cli=edclean

deb_of() {
  set -- "$debs/$1"_*."${2:-deb}"
  [ -f "$1" ] || { echo "no such package in $debs: $1" >&2; exit 1; }
  echo "$1"
}

lintian --fail-on error,warning "$(deb_of $lib)" "$(deb_of $dev)" "$(deb_of $cli)"

# Every file and link of each package, beside its documentation (copyright,
# changelog.Debian.gz and the lintian overrides, which every package has).
declare -A expected=(
  [$lib]="usr/lib/$multiarch/libtavirlen-empty-dir-cleaner.so.0
usr/lib/$multiarch/libtavirlen-empty-dir-cleaner.so.0.1.0"
  [$dev]="usr/include/edclean.h
usr/lib/$multiarch/cmake/tavirlen-empty-dir-cleaner/tavirlen-empty-dir-cleaner-targets-none.cmake
usr/lib/$multiarch/cmake/tavirlen-empty-dir-cleaner/tavirlen-empty-dir-cleaner-targets.cmake
usr/lib/$multiarch/cmake/tavirlen-empty-dir-cleaner/tavirlen-empty-dir-cleanerConfig.cmake
usr/lib/$multiarch/cmake/tavirlen-empty-dir-cleaner/tavirlen-empty-dir-cleanerConfigVersion.cmake
usr/lib/$multiarch/libtavirlen-empty-dir-cleaner.so
usr/lib/$multiarch/pkgconfig/tavirlen-empty-dir-cleaner.pc"
  [$cli]="usr/bin/edclean
usr/share/bash-completion/completions/edclean
usr/share/man/man1/edclean.1.gz"
)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for pkg in $lib $dev $cli; do
  dpkg-deb -x "$(deb_of "$pkg")" "$work/$pkg"
  dpkg-deb -e "$(deb_of "$pkg")" "$work/$pkg/DEBIAN"
  for doc in usr/share/doc/$pkg/copyright usr/share/doc/$pkg/changelog.Debian.gz \
      usr/share/lintian/overrides/$pkg; do
    [ -f "$work/$pkg/$doc" ] || { echo "$pkg lacks $doc" >&2; exit 1; }
  done
  found=$(cd "$work/$pkg" && find usr \( -type f -o -type l \) ! -path 'usr/share/doc/*' \
    ! -path 'usr/share/lintian/*' | LC_ALL=C sort)
  if [ "$found" != "${expected[$pkg]}" ]; then
    echo "$pkg holds:" >&2
    diff <(echo "${expected[$pkg]}") <(echo "$found") >&2 || true
    exit 1
  fi
done

grep -qx "activate-noawait ldconfig" "$work/$lib/DEBIAN/triggers"
grep -qx "libtavirlen-empty-dir-cleaner 0 $lib (>= [0-9.]*)" "$work/$lib/DEBIAN/shlibs"
grep -q "^ edclean_scan@Base " "$work/$lib/DEBIAN/symbols"
for pkg in $lib $dev $cli; do
  [ -z "$(find "$work/$pkg/DEBIAN" -name 'post*' -o -name 'pre*')" ] ||
    { echo "$pkg has maintainer scripts" >&2; exit 1; }
done
version=$(dpkg-deb -f "$(deb_of $lib)" Version)
depends=$(dpkg-deb -f "$(deb_of $cli)" Depends)
case ", $depends," in
  *", $lib (= $version),"*) ;;
  *) echo "edclean does not depend on $lib (= $version): $depends" >&2; exit 1 ;;
esac

# Stripped binaries, each with its debug information, found by build id.
for pair in "$lib:usr/lib/$multiarch/libtavirlen-empty-dir-cleaner.so.0.1.0" "$cli:usr/bin/edclean"; do
  pkg=${pair%%:*}
  binary=$work/$pkg/${pair#*:}
  # grep reads all of readelf's output (no -q): an early exit would end
  # readelf with SIGPIPE, which pipefail turns into a false answer.
  if readelf -S "$binary" | grep '\.debug_info' >/dev/null; then
    echo "${pair#*:} is not stripped" >&2
    exit 1
  fi
  id=$(readelf -n "$binary" | sed -n -E 's/.*Build ID: ([0-9a-f]+).*/\1/p')
  dpkg-deb -x "$(deb_of "$pkg-dbgsym" ddeb)" "$work/$pkg-dbgsym"
  debug=$work/$pkg-dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  readelf -S "$debug" 2>/dev/null | grep '\.debug_info' >/dev/null ||
    { echo "$pkg-dbgsym lacks the debug information of ${pair#*:}" >&2; exit 1; }
done
echo "the Debian packages are lintian clean and split as Debian splits a library"
