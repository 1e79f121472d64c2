#!/usr/bin/env bash
# Builds the library and its command-line host, then scans the directories
# named on the command line, or a small demo tree made for the purpose.
#   bash scripts/run.sh [DIR...]
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
. scripts/packages.sh
edclean_require run

# A build of its own without the tests, so that running needs nothing the
# test suite needs (and leaves the test build as test-all.sh made it).
build=build/run
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DEDCLEAN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target edclean >/dev/null

if [ "$#" -eq 0 ]; then
  demo=$(mktemp -d "${TMPDIR:-/tmp}/edclean-demo.XXXXXX")
  trap 'rm -rf "$demo"' EXIT
  mkdir -p "$demo/photos/2019/raw" "$demo/photos/2020" "$demo/projects/app/build/tmp" "$demo/.cache/thumbs"
  printf 'hello\n' > "$demo/photos/2020/beach.jpg"
  : > "$demo/projects/app/NOTES"
  : > "$demo/projects/app/.keep"
  echo "demo tree: $demo"
  set -- "$demo"
fi
# Directories named on the command line are meant from where it was given.
edclean=$PWD/$build/bin/edclean
cd "$caller"
"$edclean" scan "$@"
