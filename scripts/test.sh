#!/usr/bin/env bash
# Builds the client, its companions and its tests for 32-bit Windows and runs
# the whole suite under Wine. On a fresh Debian 12 machine it first installs
# everything it needs (scripts/bootstrap.sh). Arguments go to ctest, e.g.
#   scripts/test.sh -R AsyncNamedPipe
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUOR_BUILD_DIR:-$repo/build}
prefix=$("$repo/scripts/bootstrap.sh")
"$repo/scripts/configure.sh" "$build" "$prefix"
cmake --build "$build" -j "$(nproc)"

. "$repo/scripts/wine-session.sh"
wine_session_start "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
