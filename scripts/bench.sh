#!/usr/bin/env bash
# Builds one benchmark in an optimised build of its own and runs it under
# Wine, printing its figures:
#   scripts/bench.sh <benchmark> [arguments]
# The benchmarks are the executables defined under benchmarks/, and the
# scripts benchmarks/<name>/<name>.sh, which drive the real client from
# outside (they get the bin folder first). The build is
# RelWithDebInfo in build/<arch>-bench, apart from the Debug test build; the
# architecture is chosen as for the tests (QUOR_TEST_ARCH forces it), and
# every benchmark prints the architecture and build type of its figures.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${QUOR_BUILD_DIR:-$repo/build}
name=${1:?usage: scripts/bench.sh <benchmark> [arguments]}
shift
. "$repo/scripts/wine-session.sh"

quor_pick_test_arch "$root"
arch=$QUOR_ARCH
"$repo/scripts/bootstrap.sh" "$arch" --wine --packages-only
quor_check_host "$arch"
prefix=$("$repo/scripts/bootstrap.sh" "$arch" --wine)
build="$root/$arch-bench"
"$repo/scripts/configure.sh" "$build" "$prefix" "$arch" RelWithDebInfo -DQUOR_BUILD_TESTS=ON
script="$repo/benchmarks/$name/$name.sh"
if [ -f "$script" ]; then
  # The client and the demo world the script starts around it.
  cmake --build "$build" -j "$(nproc)" --target quorvpn quortunnel sysproxy udp_echo http_endpoint payload_tool >&2
  wine_session_start "$build" "$arch"
  bash "$script" "$build/bin" "$@"
  exit
fi
# The benchmark and whatever it starts (companions), not the test suites.
cmake --build "$build" -j "$(nproc)" --target "$name" >&2

wine_session_start "$build" "$arch"
wine "$build/bin/$name.exe" "$@"
