#!/usr/bin/env bash
# Installs the three Debian packages into a fresh minimal Debian root as a
# user would, uses them (edclean scan, the consumer built with pkg-config and
# with CMake, the loader's cache), purges them and checks that the root is
# left exactly as it was.
#   bash tests/package/install-debs.sh DEB_DIR
# Needs root (chroot, mounts) and debootstrap. The root (minbase plus the
# compiler, make, CMake and pkg-config the consumer needs, none of the
# packages' own dependencies) is made once from the Debian mirror in the apt
# sources and kept in $EDCLEAN_ROOT_CACHE (default $TMPDIR/edclean-install-root).
# Exit status 77: it cannot run here (not root, or no debootstrap).
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
debs=$(cd "${1:?usage: install-debs.sh DEB_DIR}" && pwd)
packages="libtavirlen-empty-dir-cleaner0 libtavirlen-empty-dir-cleaner-dev edclean"

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing into a fresh root needs root (chroot and mounts)"
  exit 77
fi
command -v debootstrap >/dev/null || { echo "skipped: needs debootstrap"; exit 77; }
for pkg in $packages; do
  set -- "$debs/${pkg}"_*.deb
  [ -f "$1" ] || { echo "no $pkg package in $debs" >&2; exit 1; }
done

cache=${EDCLEAN_ROOT_CACHE:-${TMPDIR:-/tmp}/edclean-install-root}
base=$cache/base
if [ ! -f "$base/.ok" ]; then
  # The Debian mirror this machine already uses (either file may be absent).
  mirror=$(sed -n -E 's/^URIs:[[:space:]]*([^[:space:]]+).*/\1/p; s/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+bookworm[[:space:]].*/\2/p' \
    /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | grep -v security | head -n 1 ||
    true)
  [ -n "$mirror" ] || { echo "no Debian mirror in the apt sources" >&2; exit 1; }
  rm -rf "$base"
  mkdir -p "$cache"
  echo "making a minimal Debian root in $base (once)"
  if ! debootstrap --variant=minbase --include=gcc,libc6-dev,make,cmake,pkg-config \
      bookworm "$base" "$mirror" >"$cache/debootstrap.log" 2>&1; then
    echo "debootstrap failed, see $cache/debootstrap.log" >&2
    exit 1
  fi
  touch "$base/.ok"
fi

root=$(mktemp -d "$cache/run.XXXXXX")
cleanup() {
  for m in dev proc; do umount -l "$root/$m" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
cp -a "$base/." "$root/"
for m in proc dev; do mount --bind "/$m" "$root/$m"; done
mkdir -p "$root/tmp/edclean-test/debs"
cp "$debs"/*.deb "$root/tmp/edclean-test/debs/"
rm -f "$root"/tmp/edclean-test/debs/*-dbgsym_*
cp -r "$source_dir/tests/consumer" "$root/tmp/edclean-test/consumer"

in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LC_ALL=C.UTF-8 bash -euo pipefail -c "$1"
}

# Every path outside the package database, the logs and caches, and the
# test's own folder, with its type.
snapshot='find / -xdev \( -path /proc -o -path /dev -o -path /sys -o -path /tmp -o -path /run \
  -o -path /var/lib/dpkg -o -path /var/log -o -path /var/cache \) -prune -o -printf "%y %p\n" | LC_ALL=C sort'
in_root "$snapshot" >"$root.before"
trap 'cleanup; rm -f "$root.before" "$root.after"' EXIT

in_root "dpkg -i /tmp/edclean-test/debs/*.deb >/dev/null"
echo "installed: $(in_root "dpkg-query -W -f='\${Package} \${Version}  ' $packages")"

in_root '
ldconfig -p | grep tavirlen
test -f /usr/share/man/man1/edclean.1.gz
test -f /usr/share/bash-completion/completions/edclean

mkdir -p /tmp/edclean-test/tree/a/b /tmp/edclean-test/tree/kept
echo data >/tmp/edclean-test/tree/kept/f
: >/tmp/edclean-test/tree/zero
found=$(edclean scan --json /tmp/edclean-test/tree)
expected="{\"empty_dirs\":[\"/tmp/edclean-test/tree/a/b\",\"/tmp/edclean-test/tree/a\"],\"zero_files\":[\"/tmp/edclean-test/tree/zero\"],\"scanned_dirs\":4}"
[ "$found" = "$expected" ] || { echo "edclean scan gave $found" >&2; exit 1; }
echo "edclean scan: $found"

cd /tmp/edclean-test
libdir=$(pkg-config --variable=libdir tavirlen-empty-dir-cleaner)
[ "$libdir" = /usr/lib/x86_64-linux-gnu ] || { echo "pkg-config libdir is $libdir" >&2; exit 1; }
gcc -std=c99 -Wall -Werror consumer/main.c $(pkg-config --cflags --libs tavirlen-empty-dir-cleaner) \
  -o consumer-pc
./consumer-pc
cmake -S consumer -B consumer-cmake >/dev/null
cmake --build consumer-cmake >/dev/null
./consumer-cmake/consumer
'

in_root "dpkg --purge $packages >/dev/null"
if in_root 'ldconfig -p' | grep tavirlen; then
  echo "the loader's cache still lists the library after the purge" >&2
  exit 1
fi
left=$(in_root "dpkg-query -W -f='\${Package} \${db:Status-Abbrev}\n' $packages 2>/dev/null || true")
if [ -n "$left" ]; then
  echo "dpkg still knows: $left" >&2
  exit 1
fi
in_root "$snapshot" >"$root.after"
if ! diff -u "$root.before" "$root.after"; then
  echo "the purge left the root changed (above)" >&2
  exit 1
fi
echo "installed, used and purged cleanly in a fresh Debian root"
