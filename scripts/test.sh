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

export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

xvfb_pid=""
wineserver_started=""
cleanup() {
  # Stop only what this run started: its own prefix's wineserver and Xvfb.
  if [ -n "$wineserver_started" ]; then wineserver -k 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Windows and the tray need an X display; CI has none.
if [ -z "${DISPLAY:-}" ]; then
  displayfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$displayfile" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$displayfile" ] && break; sleep 0.1; done
  [ -s "$displayfile" ] || { echo "test: Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$(head -n 1 "$displayfile")"
  rm -f "$displayfile"
fi

# The prefix is this build tree's own, so whatever runs in it is ours to stop;
# a server left over from an interrupted run goes first.
wineserver -k 2>/dev/null || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test: creating the 32-bit Wine prefix $WINEPREFIX" >&2
  wineboot --init 2>&1 | grep -v '^wine: ' >&2 || true
  wineserver -w
fi
# One persistent wineserver for the whole run spares every test its start-up.
wineserver -p
wineserver_started=1
# The first program of a session starts Wine's own background processes
# (services, devices), which then live as long as the server. Started here,
# they hold /dev/null rather than the output pipe of a test, which CTest would
# otherwise wait on until its timeout.
wine cmd.exe /c exit </dev/null >/dev/null 2>&1

ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
