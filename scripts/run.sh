#!/usr/bin/env bash
# Builds the client and runs it under Wine, installing what it needs first on
# a fresh Debian 12 machine. Without a display it runs on a private Xvfb.
# It runs the shipped i686 build where the host can execute 32-bit programs,
# an x86_64 build where it cannot (QUOR_TEST_ARCH forces either).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${QUOR_BUILD_DIR:-$repo/build}
. "$repo/scripts/wine-session.sh"

quor_pick_test_arch "$root"
arch=$QUOR_ARCH
"$repo/scripts/bootstrap.sh" "$arch" --wine --packages-only
quor_check_host "$arch"
prefix=$("$repo/scripts/bootstrap.sh" "$arch" --wine)
"$repo/scripts/configure.sh" "$root/$arch" "$prefix" "$arch" Debug
if ! cmake --build "$root/$arch" -j "$(nproc)" --target quorvpn; then
  echo "run: the client (target quorvpn) could not be built; its entry point may not exist yet" >&2
  exit 1
fi

wine_session_start "$root/$arch" "$arch"
wine "$root/$arch/bin/quorvpn.exe" "$@"
