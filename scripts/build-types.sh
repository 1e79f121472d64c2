#!/usr/bin/env bash
# Builds every CMake build type (Release, Debug, RelWithDebInfo, MinSizeRel)
# with GCC and with clang, warnings as errors, and runs the native suite on
# each; then the Windows build in Release, its suite under Wine. Each
# optimisation level lets the compilers see different things, so a warning
# can appear in one build type only.
#   bash scripts/build-types.sh [gcc] [clang] [windows]     (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
edclean_require test
jobs=$(nproc)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Quiet when it works; the whole output when it does not.
build() {
  local dir=$1
  shift
  if ! { cmake -S . -B "$dir" -DEDCLEAN_WARNINGS_AS_ERRORS=ON "$@" &&
         cmake --build "$dir" -j"$jobs"; } >"$logs/build.log" 2>&1; then
    cat "$logs/build.log"
    echo "build failed: $dir" >&2
    exit 1
  fi
}

check() {
  local dir=$1
  shift
  if ! ctest --test-dir "$dir" --output-on-failure "$@" >"$logs/test.log" 2>&1; then
    cat "$logs/test.log"
    echo "tests failed: $dir" >&2
    exit 1
  fi
  grep -E '^[0-9]+% tests passed' "$logs/test.log"
}

for set in ${*:-gcc clang windows}; do
  case $set in
    gcc) compilers="gcc g++" ;;
    clang) compilers="clang clang++" ;;
    windows)
      echo "== windows Release"
      build build/types/windows-Release -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
      check build/types/windows-Release
      continue ;;
    *) echo "unknown set '$set' (gcc, clang or windows)" >&2; exit 2 ;;
  esac
  read -r cc cxx <<<"$compilers"
  for type in Release Debug RelWithDebInfo MinSizeRel; do
    echo "== $set $type"
    build "build/types/$set-$type" -DCMAKE_BUILD_TYPE="$type" \
      -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx"
    check "build/types/$set-$type" -j"$jobs"
  done
done
