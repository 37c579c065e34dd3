#!/usr/bin/env bash
# Writes docs/client-connected.png, the README's picture of the client: a
# headless scripts/run.sh (a private Xvfb) photographs the page's states, and
# the connected one, with the demo servers measured, is kept.
#   scripts/readme-screenshot.sh
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT
(unset DISPLAY && "$repo/scripts/run.sh" --shots "$shots")
[ -s "$shots/connected.png" ] || { echo "readme-screenshot: no picture of the connected state" >&2; exit 1; }
cp "$shots/connected.png" "$repo/docs/client-connected.png"
echo "readme-screenshot: $repo/docs/client-connected.png"
