#!/usr/bin/env bash
# Writes docs/tray-menu.png: the tray menu, open, under a private Xvfb. The
# tray test that opens the menu holds it open for a while when
# QUOR_TRAY_MENU_HOLD_MS is set; this script takes the picture meanwhile.
#   scripts/tray-menu-screenshot.sh
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${QUOR_BUILD_DIR:-$repo/build}
. "$repo/scripts/wine-session.sh"

quor_pick_test_arch "$root"
arch=$QUOR_ARCH
"$repo/scripts/bootstrap.sh" "$arch" --wine --packages-only
quor_check_host "$arch"
prefix=$("$repo/scripts/bootstrap.sh" "$arch" --wine)
"$repo/scripts/configure.sh" "$root/$arch" "$prefix" "$arch" Debug -DQUOR_BUILD_TESTS=ON
cmake --build "$root/$arch" -j "$(nproc)" --target app_tests

unset DISPLAY # a display of its own, holding nothing but the menu
wine_session_start "$root/$arch" "$arch"
QUOR_TRAY_MENU_HOLD_MS=6000 wine "$root/$arch/bin/app_tests.exe" \
  --gtest_filter=TrayIconTest.TheRightButtonsReleaseOpensTheMenu >/dev/null &
test_pid=$!
sleep 4
# The display holds nothing else: the picture is the menu with a margin.
xwd -root -silent | xwdtopnm 2>/dev/null | pnmcrop 2>/dev/null | pnmmargin -black 12 |
  pnmtopng >"$repo/docs/tray-menu.png" 2>/dev/null
wait "$test_pid"
echo "tray-menu-screenshot: $repo/docs/tray-menu.png"
