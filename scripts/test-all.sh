#!/usr/bin/env bash
# Builds and tests everything: the native build (unit, API, CLI, Python and
# install tests), the Windows build under Wine, the suite under the address,
# undefined-behaviour, leak and thread sanitizers, a bounded fuzzing run of
# every fuzz target; then makes both packages.
#   bash scripts/test-all.sh
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "== native build and tests"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/native -j"$jobs"
ctest --test-dir build/native --output-on-failure -j"$jobs"

echo "== Windows x64 build, tests under Wine"
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/windows -j"$jobs"
ctest --test-dir build/windows --output-on-failure

echo "== sanitizers"
bash scripts/sanitize.sh

echo "== fuzzing"
bash scripts/fuzz.sh "${EDCLEAN_FUZZ_SECONDS:-20}"

echo "== packages"
(cd build/native && cpack >/dev/null && ls packages/*.deb)
(cd build/windows && cpack >/dev/null && ls packages/*.zip)
