#!/usr/bin/env bash
# Builds the client, its companions and its tests and runs the whole suite
# under Wine. On a fresh Debian 12 machine it first installs everything it
# needs (scripts/bootstrap.sh). Arguments go to ctest, e.g.
#   scripts/test.sh -R AsyncNamedPipe
# The suite runs as i686, what ships, where the host can execute 32-bit
# programs, and as x86_64 where it cannot; QUOR_TEST_ARCH=i686|x86_64 forces
# either. On x86_64 the whole i686 tree is built first (client, companions,
# tests and benchmarks, with the same warnings as errors; compiled and linked,
# not run), so a 32-bit-only compile or link error fails the run on every
# host.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${QUOR_BUILD_DIR:-$repo/build}
. "$repo/scripts/wine-session.sh"

quor_pick_test_arch "$root"
arch=$QUOR_ARCH
"$repo/scripts/bootstrap.sh" "$arch" --wine --packages-only
quor_check_host "$arch"

# Every C and C++ file of ours keeps the tree's one format (.clang-format).
mapfile -t sources < <(cd "$repo" && git ls-files '*.c' '*.cpp' '*.h' 2>/dev/null ||
  find . -path ./build -prune -o \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print)
if ! (cd "$repo" && clang-format --dry-run --Werror "${sources[@]}" 2>/dev/null); then
  echo "test: files differ from .clang-format; clang-format -i fixes them:" >&2
  (cd "$repo" && clang-format --dry-run "${sources[@]}" 2>&1 | sed -n 's/^\([^:]*\):.*warning.*/  \1/p' | sort -u) >&2
  exit 1
fi

if [ "$arch" != i686 ]; then
  ship_prefix=$("$repo/scripts/bootstrap.sh" i686)
  "$repo/scripts/configure.sh" "$root/i686" "$ship_prefix" i686 Debug -DQUOR_BUILD_TESTS=ON
  echo "test: building the whole i686 tree (what ships, its tests and benchmarks; not run on this host)" >&2
  cmake --build "$root/i686" -j "$(nproc)"
fi

prefix=$("$repo/scripts/bootstrap.sh" "$arch" --wine)
"$repo/scripts/configure.sh" "$root/$arch" "$prefix" "$arch" Debug -DQUOR_BUILD_TESTS=ON
cmake --build "$root/$arch" -j "$(nproc)"

wine_session_start "$root/$arch" "$arch"
ctest --test-dir "$root/$arch" --output-on-failure -j "$(nproc)" "$@"
