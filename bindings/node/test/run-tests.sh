#!/bin/sh
# The Node binding's tests, in one of three ways (the third argument):
#   unit        (CTest's node_binding, the default) installs the locked
#               dependencies into a copy of the package in WORK_DIR (npm ci,
#               skipped while the lock is the one already installed there) and
#               runs test/binding.test.js against LIBRARY;
#   package     (node_package) packs the package with LIBRARY inside (pack.sh),
#               installs the tarball with npm into an empty folder and runs
#               test/installed.test.js there, requiring it by name;
#   typescript  (node_typescript) installs the tarball the same way, then
#               compiles test/typescript/user.ts with tsc --strict against the
#               package's declarations and runs it, and checks that every line
#               of test/typescript/misuse.ts is refused.
# Usage: run-tests.sh WORK_DIR LIBRARY [unit|package|typescript]
# Exits 77 (CTest's skip) with the reason when node or npm (or, for
# typescript, tsc) is missing, or when the npm registry cannot be reached (or
# not trusted) to fetch koffi.
set -eu
work=$1
library=$2
mode=${3:-unit}
package=$(cd "$(dirname "$0")/.." && pwd)
case $mode in
  unit | package | typescript) ;;
  *) echo "unknown way '$mode' (unit, package or typescript)" >&2; exit 2 ;;
esac

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
if [ "$mode" = typescript ] && ! command -v tsc >/dev/null 2>&1; then
  echo "skipped: tsc is not installed (Debian package node-typescript)"
  exit 77
fi

# Runs npm with the arguments in the folder $1; when it fails for want of the
# registry, says so and exits 77.
npm_or_skip() {
  dir=$1
  shift
  if ! log=$(cd "$dir" && npm "$@" --no-audit --no-fund --prefer-offline \
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
}

if [ "$mode" != unit ]; then
  # A fresh, empty folder each time: what a user's new project holds.
  rm -rf "$work"
  mkdir -p "$work/dist" "$work/user"
  tarball=$(sh "$package/pack.sh" "$work/dist" --linux "$library")
  echo "== npm install $(basename "$tarball") into an empty folder"
  npm_or_skip "$work/user" install "$tarball"
  cd "$work/user"
  if [ "$mode" = package ]; then
    cp "$package/test/installed.test.js" .
    echo "== node $(node --version) --test, the package required by name"
    exec env -u EDCLEAN_LIBRARY LC_ALL=C.UTF-8 node --test installed.test.js
  fi
  cp "$package/test/typescript/user.ts" "$package/test/typescript/misuse.ts" .
  # No ambient types: the user sees the package's declarations and nothing else.
  cat > tsconfig.json <<'JSON'
{ "compilerOptions": { "strict": true, "module": "commonjs", "target": "es2020",
    "moduleResolution": "node", "types": [], "outDir": "out" }, "files": ["user.ts"] }
JSON
  echo "== tsc $(tsc --version)"
  tsc -p tsconfig.json
  mkdir -p tree/a/b tree/keep
  : > tree/z
  echo data > tree/keep/data
  where=$(env -u EDCLEAN_LIBRARY LC_ALL=C.UTF-8 node out/user.js "$(pwd -P)/tree")
  echo "$where"
  case $where in
    '{"scanned":4,"count":1,"dirs":[2,null],"none":[0,null],"where":"'"$(pwd -P)"'/node_modules/tavirlen-edclean/prebuilds/'*) ;;
    *) echo "the compiled user did not run against the packaged library" >&2; exit 1 ;;
  esac
  set +e
  sed 's/"user.ts"/"misuse.ts"/' tsconfig.json > tsconfig.misuse.json
  refused=$(tsc -p tsconfig.misuse.json --noEmit 2>&1)
  set -e
  echo "$refused"
  expected=$(grep -c '^[^/].*// ' misuse.ts)
  got=$(echo "$refused" | grep -o '^misuse.ts([0-9]*' | sort -u | wc -l)
  if [ "$got" -ne "$expected" ]; then
    echo "tsc refused $got lines of misuse.ts, not the $expected it must" >&2
    exit 1
  fi
  echo "== tsc refused each of the $expected misuses"
  exit 0
fi

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
  npm_or_skip "$work" ci
  cp "$work/package-lock.json" "$work/installed-lock.json"
fi

cd "$work"
echo "== node $(node --version) --test"
exec env LC_ALL=C.UTF-8 EDCLEAN_LIBRARY="$library" node --test test/binding.test.js
