#!/usr/bin/env bash
# Builds the client for 32-bit Windows and runs it under Wine, installing what
# it needs first on a fresh Debian 12 machine. Without a display it runs on a
# private Xvfb.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUOR_BUILD_DIR:-$repo/build}
prefix=$("$repo/scripts/bootstrap.sh")
"$repo/scripts/configure.sh" "$build" "$prefix"
if ! cmake --build "$build" -j "$(nproc)" --target quorvpn; then
  echo "run: the client (target quorvpn) could not be built; its entry point may not exist yet" >&2
  exit 1
fi

. "$repo/scripts/wine-session.sh"
wine_session_start "$build"
wine "$build/bin/quorvpn.exe" "$@"
