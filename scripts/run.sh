#!/usr/bin/env bash
# Builds the client and runs it under Wine with everything it talks to,
# installing what it needs first on a fresh Debian 12 machine: the demo world
# of scripts/demo-env.sh (the stand-in tunnel service "QuorTunnel", removed
# again on exit; 40 demo servers and five HTTP endpoints, and the demo
# provider publishing its subscription document with the sealed lists and
# three configurations) and QuorVPN.exe with its page app/main.html. The
# client starts empty and subscribes to the demo provider as a person does:
# the script types the provider's address into the page's Subscription
# field and presses Subscribe (with real X input, also on a display).
#   scripts/run.sh [--for SECONDS] [--shots FOLDER] [--dpi DPI]
# With a display, the client runs until it is closed from its tray menu,
# Ctrl-C or --for SECONDS. Without one it runs on a private Xvfb, drives the
# page through its main states with real clicks, writes a screenshot of each
# (stopped, connecting, connected with measured servers, an error) to FOLDER
# (default build/<arch>/screenshots), prints their paths and stops, or runs on
# for SECONDS with --for. --dpi runs the client at that display scale (96 is
# 100 %, 144 is 150 %): the prefix's system DPI (HKCU\Control Panel\Desktop
# LogPixels, which Wine reads when a program starts) is set for the run and
# put back at the end; clicks are scaled to match.
# It runs the shipped i686 build where the host can execute 32-bit programs,
# an x86_64 build where it cannot (QUOR_TEST_ARCH forces either).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${QUOR_BUILD_DIR:-$repo/build}
. "$repo/scripts/wine-session.sh"
. "$repo/scripts/demo-env.sh"
. "$repo/scripts/client-session.sh"

run_for=""
shots=""
dpi=""
while [ $# -gt 0 ]; do
  case $1 in
    --for) run_for=${2:?--for needs a number of seconds}; shift 2 ;;
    --shots) shots=${2:?--shots needs a folder}; shift 2 ;;
    --dpi) dpi=${2:?--dpi needs a number}; shift 2 ;;
    *) echo "run: unknown option $1 (usage: run.sh [--for SECONDS] [--shots FOLDER] [--dpi DPI])" >&2; exit 2 ;;
  esac
done

quor_pick_test_arch "$root"
arch=$QUOR_ARCH
"$repo/scripts/bootstrap.sh" "$arch" --wine --packages-only
quor_check_host "$arch"
prefix=$("$repo/scripts/bootstrap.sh" "$arch" --wine)
"$repo/scripts/configure.sh" "$root/$arch" "$prefix" "$arch" Debug
bin="$root/$arch/bin"
cmake --build "$root/$arch" -j "$(nproc)" --target quorvpn quortunnel sysproxy udp_echo http_endpoint payload_tool

had_display=${DISPLAY:-}
dpi_key='HKCU\Control Panel\Desktop'
dpi_saved=""
stop_all() {
  trap - EXIT INT TERM
  client_stop
  if [ -n "$dpi" ]; then
    if [ -n "$dpi_saved" ]; then
      wine reg add "$dpi_key" /v LogPixels /t REG_DWORD /d "$dpi_saved" /f >/dev/null 2>&1 || true
    else
      wine reg delete "$dpi_key" /v LogPixels /f >/dev/null 2>&1 || true
    fi
  fi
  demo_env_stop
  wine_session_stop
  echo "run: stopped" >&2
}

wine_session_start "$root/$arch" "$arch"
trap stop_all EXIT
trap 'exit 130' INT TERM

# A start takes the stand-in a moment, as a real tunnel's handshake does, so
# the page's connecting state shows; a headless run waits long enough to
# photograph it.
start_delay=1200
[ -z "$had_display" ] && start_delay=2500
echo "run: starting the stand-in service and the demo servers" >&2
demo_env_start "$bin" --start-delay "$start_delay"
if [ -n "$dpi" ]; then
  dpi_saved=$(wine reg query "$dpi_key" /v LogPixels 2>/dev/null | tr -d '\r' | awk '/LogPixels/ { print $3 }' || true)
  [ -n "$dpi_saved" ] && dpi_saved=$((dpi_saved)) # reg prints 0x60
  wine reg add "$dpi_key" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
  export CLIENT_DPI=$dpi
fi
echo "run: $DEMO_SERVERS demo servers; starting QuorVPN.exe" >&2
client_start "$bin"
client_wait_caption '^QuorVPN · ' 60
echo "run: subscribing to $DEMO_SUBSCRIPTION_URL" >&2
client_subscribe "$DEMO_SUBSCRIPTION_URL"

shoot() { # <state name>; the client's window as <folder>/<state>.png
  local file="$shots/$1.png"
  if xwd -silent -id "$CLIENT_WINDOW" | xwdtopnm 2>/dev/null | pnmtopng >"$file" 2>/dev/null; then
    echo "run: $1: $file"
  else
    echo "run: no screenshot of $1 (xwd, xwdtopnm or pnmtopng failed)" >&2
  fi
}

if [ -z "$had_display" ]; then
  shots=${shots:-$root/$arch/screenshots}
  mkdir -p "$shots"
  n=$DEMO_SERVERS
  client_wait_caption "^QuorVPN · Stopped · $n/$n servers\$" 60
  sleep 0.5 # the last result's paint
  shoot stopped
  client_click 200 250
  client_wait_caption '^QuorVPN · Connecting' 10
  sleep 0.5
  shoot connecting
  client_wait_caption '^QuorVPN · Connected' 30
  client_click 740 80 # a fresh measurement, shown as its results arrive
  sleep 0.5
  client_wait_caption "^QuorVPN · Connected · $n/$n servers\$" 60
  sleep 0.5
  shoot connected
  # An error: the stand-in is registered again with a start it refuses, the
  # client finds its new pipe, and a click meets the refusal.
  client_click 200 250
  client_wait_caption '^QuorVPN · Stopped' 30
  demo_service_install --fail-start 5
  sleep 3 # the client's next polls reach the new service
  client_wait_caption '^QuorVPN · Stopped' 30
  client_click 200 250
  client_wait_caption '^QuorVPN · Error: ' 30
  sleep 0.5
  shoot error
  [ -n "$run_for" ] || exit 0
fi

if [ -n "$run_for" ]; then
  sleep "$run_for" &
  wait $! || true
else
  wait "$CLIENT_PID" || true
  CLIENT_PID=""
fi
