#!/usr/bin/env bash
# The test suite under the sanitizers:
#   address + undefined behaviour (with leak checking), then thread.
# The Python, .NET, Node and CLI end-to-end tests (the packages and the binding
# pages' examples among them) load the library into programs built
# without the sanitizers and are left to the ordinary run.
#   bash scripts/sanitize.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
edclean_require test
jobs=$(nproc)
skip='python_binding|cli_end_to_end|install_consumer|dotnet_binding|node_binding|node_package|node_typescript|readme_'

run() {
  local name=$1 flags=$2 filter=${3:-}
  local dir=build/$name
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DEDCLEAN_WARNINGS_AS_ERRORS=ON \
    -DCMAKE_CXX_FLAGS="$flags -fno-omit-frame-pointer" -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  local log=${EDCLEAN_CTEST_LOGS:-/dev/null}
  [ "$log" = /dev/null ] || log=$log/$name.log
  if [ -n "$filter" ]; then
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" -E "$skip" -R "$filter" | tee "$log"
  else
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" -E "$skip" | tee "$log"
  fi
}

echo "== address and undefined-behaviour sanitizers, leak checking on"
# The dynamic-type (vptr) check reads an object's vtable only after probing
# that memory through a pipe it opens; in a process left without descriptors
# (the deep-tree tests exhaust them on purpose) every probe fails and every
# virtual call is reported as a bad type, so that one check is left out.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run asan "-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all"

echo "== thread sanitizer: the calls that run on many threads"
TSAN_OPTIONS=halt_on_error=1 run tsan "-fsanitize=thread" 'Threads|Frame|Race|ParallelScan|NoThread|BothResolutions'
