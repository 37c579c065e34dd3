#!/usr/bin/env bash
# Writes docs/client-connected.png, the README's picture of the client: a
# headless scripts/run.sh (a private Xvfb) photographs the page's states, and
# the connected one, with the demo servers measured, is kept. With --dpi the
# client runs at that display scale and the picture is
# docs/client-connected-<percent>.png (144: docs/client-connected-150.png).
#   scripts/readme-screenshot.sh [--dpi DPI]
set -euo pipefail

dpi=""
case ${1:-} in
  --dpi) dpi=${2:?--dpi needs a number} ;;
  "") ;;
  *) echo "readme-screenshot: unknown option $1 (usage: readme-screenshot.sh [--dpi DPI])" >&2; exit 2 ;;
esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT
target=$repo/docs/client-connected.png
[ -n "$dpi" ] && target=$repo/docs/client-connected-$((dpi * 100 / 96)).png
(unset DISPLAY && "$repo/scripts/run.sh" --shots "$shots" ${dpi:+--dpi "$dpi"})
[ -s "$shots/connected.png" ] || { echo "readme-screenshot: no picture of the connected state" >&2; exit 1; }
cp "$shots/connected.png" "$target"
echo "readme-screenshot: $target"
