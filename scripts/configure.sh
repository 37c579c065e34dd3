#!/usr/bin/env bash
# Configures the cross-build in a build folder against a dependency prefix:
#   scripts/configure.sh <build folder> <dependency prefix>
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$1
prefix=$2
mkdir -p "$build"
# Found packages are cached by path; a new dependency prefix starts afresh.
if [ "$(cat "$build/.deps-prefix" 2>/dev/null)" != "$prefix" ]; then
  rm -f "$build/CMakeCache.txt"
  echo "$prefix" >"$build/.deps-prefix"
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_PREFIX_PATH="$prefix"
fi
