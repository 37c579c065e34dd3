#!/usr/bin/env bash
# Builds and runs one benchmark under Wine and prints its figures:
#   scripts/bench.sh <benchmark> [arguments]
# The benchmarks are the executables defined under benchmarks/.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUOR_BUILD_DIR:-$repo/build}
name=${1:?usage: scripts/bench.sh <benchmark> [arguments]}
shift
prefix=$("$repo/scripts/bootstrap.sh")
"$repo/scripts/configure.sh" "$build" "$prefix"
cmake --build "$build" -j "$(nproc)" >&2

. "$repo/scripts/wine-session.sh"
wine_session_start "$build"
wine "$build/bin/$name.exe" "$@"
