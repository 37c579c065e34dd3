#!/usr/bin/env bash
# installer: the package's size, a silent install and a silent uninstall in a
# fresh Wine prefix, and the updater's download-and-verify throughput for a
# package of that size.
#   scripts/bench.sh installer [runs] [package]
# Packages the bench build's bin folder (or takes the package given, e.g.
# the one scripts/package.sh made) (optimised, as scripts/package.sh
# does for what ships) with a key pair made for the run, times `setup /S`
# and `Uninstall.exe /S` (until the uninstall entry is gone) over [runs]
# rounds (default 3) in one fresh prefix, then runs update_fetch on the same
# package. Needs WINELOADER, WINESERVER and DISPLAY (scripts/bench.sh).
set -euo pipefail
bin=$(cd "$1" && pwd)
runs=${2:-3}
given=${3:-}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(dirname "$bin")
work=$(mktemp -d "$build/installer-bench.XXXXXX")
session_prefix=$WINEPREFIX
finish() {
  WINEPREFIX="$work/prefix" "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
now_ms() { echo $(($(date +%s%N) / 1000000)); }

cmake --build "$build" --target quortunnel sysproxy update_fetch http_endpoint >&2
openssl ecparam -name prime256v1 -genkey -noout -out "$work/key.pem"
openssl ec -in "$work/key.pem" -pubout -out "$work/pub.pem" 2>/dev/null
if [ -n "$given" ]; then
  setup="$work/$(basename "$given")"
  cp "$given" "$setup"
  "$repo/scripts/sign-package.sh" "$work/key.pem" "$setup" >"$setup.sig"
else
  # The version the bench build was made with, from the project's one source.
  version=$(sed -n 's/^#define QUOR_VERSION "\(.*\)"$/\1/p' "$build/generated/base/version.h")
  setup=$("$repo/scripts/package.sh" --from "$bin" --version "$version" --sign "$work/key.pem" --out "$work")
fi
echo "build: $(basename "$build") (the bench build), makensis $(makensis -VERSION)${given:+; package given: $given}"
echo "package: $(stat -c %s "$setup") bytes ($(basename "${given:-$setup}"))"

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
"$WINELOADER" wineboot.exe --init >/dev/null 2>&1 || true
"$WINESERVER" -w
"$WINESERVER" -p
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorVPN'
installs=()
uninstalls=()
for _ in $(seq "$runs"); do
  start=$(now_ms)
  "$WINELOADER" "$setup" /S /AUTOSTART=0 </dev/null >/dev/null 2>&1
  installs+=($(($(now_ms) - start)))
  start=$(now_ms)
  "$WINELOADER" "$WINEPREFIX/drive_c/Program Files/QuorVPN/Uninstall.exe" /S </dev/null >/dev/null 2>&1
  while "$WINELOADER" reg.exe query "$key" </dev/null >/dev/null 2>&1; do sleep 0.05; done
  uninstalls+=($(($(now_ms) - start)))
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo "silent install: median $(median "${installs[@]}") ms over $runs runs (${installs[*]})"
echo "silent uninstall: median $(median "${uninstalls[@]}") ms over $runs runs (${uninstalls[*]})"
"$WINESERVER" -k
export WINEPREFIX=$session_prefix
"$WINELOADER" "$bin/update_fetch.exe" "$setup" "$setup.sig" "$work/pub.pem" 5
