#!/bin/sh
# Installs the build into a staging prefix, then builds and runs the consumer
# against it twice: through find_package and through pkg-config.
# Usage: check.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -eu
build=$1
source=$2
cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

cmake -S "$source" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

pc_dir=$(dirname "$(find "$work/prefix" -name tavirlen-empty-dir-cleaner.pc)")
flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs tavirlen-empty-dir-cleaner)
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Werror "$source/main.c" $flags -o "$work/consumer-pc"
libdir=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --variable=libdir tavirlen-empty-dir-cleaner)
LD_LIBRARY_PATH="$libdir" "$work/consumer-pc"

"$work/prefix/bin/edclean" --version >/dev/null
echo "installed tree works through find_package, pkg-config and the CLI"
