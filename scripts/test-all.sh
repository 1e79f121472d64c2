#!/usr/bin/env bash
# Builds and tests everything: the native build (unit, API, CLI, Python and
# install tests), the Windows build under Wine, the suite under the address,
# undefined-behaviour, leak and thread sanitizers, a bounded fuzzing run of
# every fuzz target; then makes the Debian packages and the Windows .zip and
# checks them (lintian, an install into a fresh Debian root, a Windows
# program linked against the .zip's import libraries).
#   bash scripts/test-all.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
edclean_require test
jobs=$(nproc)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
export EDCLEAN_CTEST_LOGS=$logs

echo "== native build and tests"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEDCLEAN_WARNINGS_AS_ERRORS=ON
cmake --build build/native -j"$jobs"
ctest --test-dir build/native --output-on-failure -j"$jobs" | tee "$logs/native.log"

echo "== Windows x64 build, tests under Wine"
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEDCLEAN_WARNINGS_AS_ERRORS=ON
cmake --build build/windows -j"$jobs"
ctest --test-dir build/windows --output-on-failure | tee "$logs/windows.log"

echo "== sanitizers"
bash scripts/sanitize.sh

echo "== fuzzing"
bash scripts/fuzz.sh "${EDCLEAN_FUZZ_SECONDS:-20}"

echo "== packages"
# The Debian packages, from a distribution-style build of their own: lintian
# clean, each holding exactly its part.
bash packaging/debian/build-debs.sh build/deb build/deb/debs
bash tests/package/check-debs.sh build/deb/debs
# Installed, used and purged in a fresh Debian root (needs root: skipped otherwise).
status=0
bash tests/package/install-debs.sh build/deb/debs || status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
  exit "$status"
fi
(cd build/windows && cpack >/dev/null && ls packages/*.zip)
bash tests/package/windows-zip.sh build/windows/packages/tavirlen-empty-dir-cleaner-*-win64.zip \
  build/windows/wineprefix

# One closing line over every CTest run above (sanitizer runs included).
passed=0
total=0
for log in "$logs"/*.log; do
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  failed=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed.*/\1/')
  out_of=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
  total=$((total + out_of))
  passed=$((passed + out_of - failed))
done
echo "tests: $passed passed, $((total - passed)) failed"
