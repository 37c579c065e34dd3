#!/usr/bin/env bash
# Writes docs/installer-welcome.png: the installer's welcome page, in a fresh
# Wine prefix of its own under a private Xvfb.
#   scripts/installer-screenshot.sh [QuorVPN-<version>-setup.exe]
# Without an argument it takes the newest package in build/package (made by
# scripts/package.sh). The installer is closed again without installing.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${QUOR_BUILD_DIR:-$repo/build}
. "$repo/scripts/wine-session.sh"
setup=${1:-$(ls -t "$root"/package/QuorVPN-*-setup.exe 2>/dev/null | head -n 1)}
[ -f "$setup" ] || { echo "installer-screenshot: no package (run scripts/package.sh)" >&2; exit 1; }
quor_check_host i686

scratch=$(mktemp -d "$root/installer-shot.XXXXXX")
trap 'wine_session_stop; rm -rf "$scratch"' EXIT
unset DISPLAY # a display of its own, holding nothing but the installer
wine_session_start "$scratch" i686 >/dev/null
"$QUOR_WINE_LOADER" "$setup" </dev/null >/dev/null 2>&1 &
setup_pid=$!
window=""
for _ in $(seq 300); do
  window=$(xdotool search --all --pid "$setup_pid" --name 'Setup' 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "installer-screenshot: the installer showed no window" >&2; exit 1; }
sleep 2 # its first paint
xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$repo/docs/installer-welcome.png" 2>/dev/null
kill "$setup_pid" 2>/dev/null || true
echo "installer-screenshot: $repo/docs/installer-welcome.png"
