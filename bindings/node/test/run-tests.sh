#!/bin/sh
# Installs the Node binding's locked dependencies into a copy of the package
# in WORK_DIR (npm ci, skipped while the lock is the one already installed
# there) and runs its tests with Node's own test runner against LIBRARY.
# Usage (CTest's node_binding): run-tests.sh WORK_DIR LIBRARY
# Exits 77 (CTest's skip) with the reason when node or npm is missing, or when
# the npm registry cannot be reached (or not trusted) for a first install.
set -eu
work=$1
library=$2
package=$(cd "$(dirname "$0")/.." && pwd)

for program in node npm; do
  if ! command -v "$program" >/dev/null 2>&1; then
    echo "skipped: $program is not installed (Debian packages nodejs and npm)"
    exit 77
  fi
done
major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$major" -lt 18 ]; then
  echo "skipped: node $(node --version) has no test runner (node --test needs 18 or later)"
  exit 77
fi
[ -f "$library" ] || { echo "no library at $library" >&2; exit 1; }

# The package is copied, not installed into the source folder, so that the
# source tree stays as it is checked out.
mkdir -p "$work/test"
cp "$package/package.json" "$package/package-lock.json" "$package/index.js" "$package/worker.js" \
  "$package/index.d.ts" "$work/"
cp "$package/test/binding.test.js" "$work/test/"

if [ -f "$work/node_modules/.package-lock.json" ] && [ -f "$work/installed-lock.json" ] &&
   cmp -s "$work/package-lock.json" "$work/installed-lock.json"; then
  echo "== node_modules already holds the locked dependencies"
else
  echo "== npm ci"
  rm -f "$work/installed-lock.json"
  if ! log=$(cd "$work" && npm ci --no-audit --no-fund --prefer-offline \
               --fetch-retries=1 --fetch-timeout=30000 2>&1); then
    echo "$log"
    if echo "$log" | grep -Eq 'ENOTFOUND|EAI_AGAIN|ECONNREFUSED|ECONNRESET|ETIMEDOUT|ENETUNREACH|EHOSTUNREACH|ERR_SOCKET_TIMEOUT|network'; then
      echo "skipped: the npm registry cannot be reached to install koffi ($(npm config get registry))"
      exit 77
    fi
    # A registry this machine does not trust (behind a proxy whose
    # certificate authority is not installed here) is one it cannot use.
    if echo "$log" | grep -Eq 'SELF_SIGNED_CERT_IN_CHAIN|UNABLE_TO_GET_ISSUER_CERT|UNABLE_TO_VERIFY_LEAF_SIGNATURE|CERT_HAS_EXPIRED|ERR_TLS_CERT'; then
      echo "skipped: the npm registry's certificate is not trusted on this machine ($(npm config get registry))"
      exit 77
    fi
    exit 1
  fi
  cp "$work/package-lock.json" "$work/installed-lock.json"
fi

cd "$work"
echo "== node $(node --version) --test"
exec env LC_ALL=C.UTF-8 EDCLEAN_LIBRARY="$library" node --test test/binding.test.js
