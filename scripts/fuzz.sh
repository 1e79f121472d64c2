#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer under the address and
# undefined-behaviour sanitizers and runs each for a bounded time, starting
# from its corpus.   bash scripts/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
edclean_require test
seconds=${1:-20}
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -fsanitize-ignorelist=$PWD/fuzz/ubsan-ignorelist.txt"
cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEDCLEAN_FUZZ=ON -DEDCLEAN_BUILD_TESTS=OFF -DEDCLEAN_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" >/dev/null
# The targets are listed once, in fuzz/CMakeLists.txt, which writes them out.
targets=$(tr ';' ' ' < build/fuzz/fuzz-targets.txt)
# shellcheck disable=SC2046
cmake --build build/fuzz -j"$(nproc)" --target $(printf 'edclean_fuzz_%s ' $targets) >/dev/null

for target in $targets; do
  work=$(mktemp -d)
  cp fuzz/corpus/$target/* "$work/"
  echo "== fuzzing $target for ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1 build/fuzz/bin/edclean_fuzz_$target -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" 2>&1 | tail -n 4
  rm -rf "$work"
done
