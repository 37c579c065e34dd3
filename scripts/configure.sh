#!/usr/bin/env bash
# Configures a cross-build for one architecture against its dependency prefix:
#   scripts/configure.sh <build folder> <dependency prefix> <i686|x86_64> [Debug|RelWithDebInfo|Release] [-D...]
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$1
prefix=$2
arch=$3
type=${4:-Debug}
shift $(($# < 4 ? $# : 4))
mkdir -p "$build"
# Found packages are cached by path; a new dependency prefix starts afresh.
if [ "$(cat "$build/.deps-prefix" 2>/dev/null)" != "$prefix" ]; then
  rm -f "$build/CMakeCache.txt"
  echo "$prefix" >"$build/.deps-prefix"
fi
# A compiler cache keyed on paths relative to the checkout lets every
# checkout and build folder on the machine share one another's objects.
launcher=()
if command -v ccache >/dev/null; then
  # Not hashing the build folder leaves debug information naming whichever
  # checkout compiled an object first; nothing here reads those paths.
  cache="env;CCACHE_BASEDIR=$(dirname "$repo");CCACHE_NOHASHDIR=1;ccache"
  launcher=("-DCMAKE_C_COMPILER_LAUNCHER=$cache" "-DCMAKE_CXX_COMPILER_LAUNCHER=$cache")
fi
# Run every time: settings such as QUOR_BUILD_TESTS may differ from the last
# run, and an unchanged configuration takes a second.
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$arch-w64-mingw32.cmake" \
  -DCMAKE_PREFIX_PATH="$prefix" "${launcher[@]}" "$@" >/dev/null
