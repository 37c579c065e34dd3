#!/usr/bin/env bash
# Builds the client and runs it under Wine with everything it talks to,
# installing what it needs first on a fresh Debian 12 machine:
#   - the stand-in tunnel service "QuorTunnel", registered and started in the
#     build's Wine prefix (removed again on exit);
#   - a UDP echo server and an HTTP endpoint, the demo servers that the page's
#     SetAdInfo and SetAdGlobal buttons measure (their sealed lists go to
#     app/demo.js beside the page);
#   - QuorVPN.exe with its page app/main.html.
# Without a display it runs on a private Xvfb and, once the page has loaded,
# writes a screenshot and prints its path. Ctrl-C (or --for SECONDS) stops
# everything it started.
#   scripts/run.sh [--for SECONDS]
# It runs the shipped i686 build where the host can execute 32-bit programs,
# an x86_64 build where it cannot (QUOR_TEST_ARCH forces either).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${QUOR_BUILD_DIR:-$repo/build}
. "$repo/scripts/wine-session.sh"

run_for=""
while [ $# -gt 0 ]; do
  case $1 in
    --for) run_for=${2:?--for needs a number of seconds}; shift 2 ;;
    *) echo "run: unknown option $1 (usage: run.sh [--for SECONDS])" >&2; exit 2 ;;
  esac
done

quor_pick_test_arch "$root"
arch=$QUOR_ARCH
"$repo/scripts/bootstrap.sh" "$arch" --wine --packages-only
quor_check_host "$arch"
prefix=$("$repo/scripts/bootstrap.sh" "$arch" --wine)
"$repo/scripts/configure.sh" "$root/$arch" "$prefix" "$arch" Debug
bin="$root/$arch/bin"
cmake --build "$root/$arch" -j "$(nproc)" --target quorvpn quortunnel udp_echo http_endpoint payload_tool

had_display=${DISPLAY:-}
companion_pids=()
client_pid=""
service_installed=""
work=$(mktemp -d)

stop_all() {
  trap - EXIT INT TERM
  if [ -n "$client_pid" ]; then kill "$client_pid" 2>/dev/null || true; wait "$client_pid" 2>/dev/null || true; fi
  if [ -n "$service_installed" ]; then wine "$bin/quortunnel.exe" uninstall >/dev/null 2>&1 || true; fi
  for pid in "${companion_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
  wine_session_stop
  echo "run: stopped" >&2
}

wine_session_start "$root/$arch" "$arch"
trap stop_all EXIT
trap 'exit 130' INT TERM

# A companion prints its ports, then "ready"; its input stays open (a FIFO
# held by this script) for as long as it is to run.
start_companion() {  # <name> <program> [options...]
  local name=$1 program=$2
  shift 2
  mkfifo "$work/$name.in"
  wine "$bin/$program" "$@" <"$work/$name.in" >"$work/$name.out" 2>/dev/null &
  companion_pids+=("$!")
  exec {fd}>"$work/$name.in"
  for _ in $(seq 300); do grep -q ready "$work/$name.out" 2>/dev/null && break; sleep 0.1; done
  grep -q ready "$work/$name.out" || { echo "run: $program did not start" >&2; exit 1; }
  head -n 1 "$work/$name.out" | tr -d '\r'
}

echo "run: registering and starting the stand-in service QuorTunnel" >&2
wine "$bin/quortunnel.exe" uninstall >/dev/null 2>&1 || true
wine "$bin/quortunnel.exe" install >/dev/null
service_installed=1
wine net.exe start QuorTunnel >/dev/null 2>&1 || echo "run: QuorTunnel did not start; the client starts it itself" >&2

echo_port=$(start_companion echo udp_echo.exe)
http_port=$(start_companion http http_endpoint.exe)
echo "run: UDP echo on 127.0.0.1:$echo_port, HTTP endpoint on 127.0.0.1:$http_port" >&2

server() {  # <protocol> <port>
  printf '{"protocol":"%s","name":"demo-%s","title":"Local %s","host":"127.0.0.1","port":%s,"status":""}' "$1" "$1" "$1" "$2"
}
route='"route":{"name":"demo","title":"Demo route"}'
game="{\"name\":\"demo\",\"title\":\"Demo\",$route,\"setting\":{\"interval\":1,\"frequency\":0.2,\"count\":5},\"servers\":[$(server udp "$echo_port")]}"
media="{$route,\"servers\":[$(server http "$http_port")]}"
seal() { wine "$bin/payload_tool.exe" 1 --text "$1" | tr -d '\r' | sed -n 's/^payload=//p'; }
printf 'var DEMO = {game: "%s", media: "%s", local: "%s"};\n' \
  "$(seal "$game")" "$(seal "$media")" "$(seal 'Hello from a sealed payload')" >"$bin/app/demo.js"

log="$WINEPREFIX/drive_c/users/$(id -un)/Temp/QuorVPN/quorvpn.log"
log_lines_before=$(wc -l <"$log" 2>/dev/null || echo 0)
echo "run: starting QuorVPN.exe" >&2
wine "$bin/QuorVPN.exe" &
client_pid=$!

if [ -z "$had_display" ]; then
  # The page has loaded when its dispatch object starts its I/O loop.
  for _ in $(seq 600); do
    tail -n +"$((log_lines_before + 1))" "$log" 2>/dev/null | grep -q 'IoLoop: start' && break
    sleep 0.1
  done
  sleep 1  # the first paint
  shot="$root/$arch/screenshot.png"
  if xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$shot" 2>/dev/null; then
    echo "run: screenshot $shot"
  else
    echo "run: no screenshot (xwd, xwdtopnm or pnmtopng failed)" >&2
  fi
fi

if [ -n "$run_for" ]; then
  sleep "$run_for" &
  wait $! || true
else
  wait "$client_pid" || true
  client_pid=""
fi
