# Sourced by run.sh, the end-to-end tests and the client benchmark: the world
# the client talks to in a demonstration, started in the current Wine prefix
# (WINEPREFIX, WINELOADER set, as scripts/wine-session.sh or the CTest runner
# leave them) and stopped again by demo_env_stop.
#   demo_env_start <bin folder> [options of the stand-in service...]
#   demo_env_stop
# It starts:
#   - the stand-in tunnel service "QuorTunnel", registered with the given
#     options (faults) and started;
#   - 40 demo servers on six UDP echo processes, each group answering with
#     its own delay and share of losses, three of them never answering, so
#     the measured list shows a spread of latencies, some losses and some
#     lost servers;
#   - five HTTP endpoints for the reachability list, one of which answers
#     as an unreachable server does (200 instead of the expected 400);
#   - the demo provider: http_endpoint --serve over a folder holding its
#     subscription document (docs/subscription.md) with three demo
#     configurations and both server lists and a welcome text sealed with
#     payload_tool as the real service seals them, each configuration as a
#     .conf file too, and the document sealed with another key for the
#     provider's "wrong-key" mode. The client gets nothing from this script:
#     it subscribes to DEMO_SUBSCRIPTION_URL as a person does.
# Since every demo server runs on this machine,
# it sets the machine's debug value that lets the client measure local
# servers (HKLM\SOFTWARE\QuorVPN MeasureLocalServers = 1, which only an
# administrator can write) and removes it again on stop. Every process it
# starts it ends by its id.
# Afterwards DEMO_WORK is its scratch folder, DEMO_SERVICE_LOG the service's
# log in it, DEMO_SERVERS the number of servers in the measured list,
# DEMO_DEAD_SERVERS the number of them that never answer,
# DEMO_SUBSCRIPTION_URL the provider's document, DEMO_PROVIDER_FILES the
# provider's folder and DEMO_PROVIDER_PORT its port; demo_provider_mode
# <ok|missing|garbage|oversized|slow|wrong-key> changes its answers.

demo_companion_pids=()
demo_fds=()
demo_service_bin=""
DEMO_WORK=""
DEMO_SERVICE_LOG=""
DEMO_SERVERS=0
DEMO_DEAD_SERVERS=0
DEMO_SUBSCRIPTION_URL=""
DEMO_PROVIDER_FILES=""
DEMO_PROVIDER_PORT=""
demo_ports=""

demo_wine() { "${WINELOADER:?demo: WINELOADER is not set}" "$@"; }

# A companion prints its ports, then "ready"; its input stays open (a FIFO
# this shell holds) for as long as it is to run, and its output goes to a
# file, never to the caller's output, which a test runner waits on. Called in
# this shell, not in a command substitution, whose end would close the FIFO
# and so end the companion at once.
demo_companion() { # <name> <program> [options...]; sets demo_ports
  local name=$1 program=$2 fd
  shift 2
  mkfifo "$DEMO_WORK/$name.in"
  demo_wine "$demo_bin/$program" "$@" <"$DEMO_WORK/$name.in" >"$DEMO_WORK/$name.out" 2>/dev/null &
  demo_companion_pids+=("$!")
  exec {fd}>"$DEMO_WORK/$name.in"
  demo_fds+=("$fd")
  for _ in $(seq 300); do grep -q ready "$DEMO_WORK/$name.out" 2>/dev/null && break; sleep 0.1; done
  grep -q ready "$DEMO_WORK/$name.out" || { echo "demo: $program did not start" >&2; return 1; }
  demo_ports=$(tr -d '\r' <"$DEMO_WORK/$name.out" | grep -v ready | tr '\n' ' ')
}

# Installs and starts the stand-in service with `options`, replacing any
# registration of that name this prefix holds. It logs to DEMO_SERVICE_LOG.
demo_service_install() { # [options...]
  mkdir -p "$DEMO_WORK/service"
  DEMO_SERVICE_LOG="$DEMO_WORK/service/quor-svc.log"
  local log_dir="Z:${DEMO_WORK//\//\\}\\service"
  # Every command of the stand-in logs, "uninstall" too: to the demo's log.
  demo_wine "$demo_bin/quortunnel.exe" uninstall --log-dir "$log_dir" </dev/null >/dev/null 2>&1 || true
  demo_wine "$demo_bin/quortunnel.exe" install --log-dir "$log_dir" "$@" </dev/null >/dev/null 2>&1 ||
    { echo "demo: the stand-in service could not be registered" >&2; return 1; }
  demo_service_bin=$demo_bin
  demo_wine net.exe start QuorTunnel </dev/null >/dev/null 2>&1 ||
    echo "demo: QuorTunnel did not start; the client starts it itself" >&2
}

# The client refuses to measure loopback servers unless an administrator
# allowed it for the machine; the demo's servers are all on loopback.
demo_local_servers_key='HKLM\SOFTWARE\QuorVPN'
demo_local_servers_set=""
demo_local_servers_allow() {
  demo_wine reg.exe add "$demo_local_servers_key" /v MeasureLocalServers /t REG_DWORD /d 1 /f \
    </dev/null >/dev/null 2>&1 || { echo "demo: the local-servers value could not be set" >&2; return 1; }
  demo_local_servers_set=1
}
demo_local_servers_remove() {
  [ -n "$demo_local_servers_set" ] || return 0
  demo_wine reg.exe delete "$demo_local_servers_key" /v MeasureLocalServers /f </dev/null >/dev/null 2>&1 || true
  demo_local_servers_set=""
}

demo_seal() { # <text> [adType]; prints the sealed hex (a random key of its own for adType 2)
  demo_wine "$demo_bin/payload_tool.exe" "${2:-1}" --text "$1" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/^payload=//p'
}

# The provider's answers from now on (see http_endpoint --serve); true once
# it said so.
demo_provider_mode() { # <mode>
  local fd answer
  exec {fd}<>"/dev/tcp/127.0.0.1/$DEMO_PROVIDER_PORT" || return 1
  printf 'GET /provider/%s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' "$1" >&"$fd"
  answer=$(cat <&"$fd")
  exec {fd}>&-
  [[ $answer == *$'\r\n\r\n'"$1" ]]
}

# The client keeps its configurations, logs and page storage in a "QuorVPN"
# folder under the all-users folder. Each demo starts without it (the build
# prefix's own: the configurations, logs and storage of earlier demos), so
# what a demo shows is its own; the stand-in logs to the demo's scratch
# folder rather than to "QuorVPN\log".
demo_config_folder_reset() {
  rm -rf "$WINEPREFIX/drive_c/ProgramData/QuorVPN"
}

demo_env_start() { # <bin folder> [service options...]
  demo_bin=$1
  shift
  DEMO_WORK=$(mktemp -d)
  DEMO_SERVERS=0
  DEMO_DEAD_SERVERS=0
  demo_config_folder_reset
  demo_local_servers_allow || return 1
  demo_service_install "$@" || return 1

  # Six groups of servers: title prefix, delay (ms), share of datagrams lost.
  local -a groups=(
    "8|0|Hong Kong|Taipei|Tokyo|Osaka|Seoul|Singapore|Shanghai|Manila"
    "25|0|Sydney|Mumbai|Bangkok|Jakarta|Kuala Lumpur|Hanoi|Dubai|Melbourne"
    "60|0.1|Frankfurt|London|Amsterdam|Paris|Stockholm|Warsaw|Madrid|Zurich"
    "110|0|Los Angeles|San Jose|Seattle|Dallas|Chicago|New York|Toronto|Miami"
    "180|0.25|S\\u00e3o Paulo|Santiago|Johannesburg|Cairo|Lagos"
    "0|1|Reykjavik|Anchorage|Honolulu"
  )
  local servers="" index=0 group delay drop titles count port title i first_port=""
  for group in "${groups[@]}"; do
    IFS='|' read -r delay drop _ <<<"$group"
    IFS='|' read -r -a titles <<<"${group#*|*|}"
    count=${#titles[@]}
    demo_companion "echo$index" udp_echo.exe --sockets "$count" --delay-ms "$delay" --drop "$drop" || return 1
    [ "$drop" = 1 ] && DEMO_DEAD_SERVERS=$((DEMO_DEAD_SERVERS + count))
    i=0
    for port in $demo_ports; do
      title=${titles[$i]}
      i=$((i + 1))
      DEMO_SERVERS=$((DEMO_SERVERS + 1))
      [ "$DEMO_SERVERS" -eq 1 ] && first_port=$port
      [ -n "$servers" ] && servers+=","
      servers+=$(printf '{"protocol":"udp","name":"srv-%02d","title":"%s","host":"127.0.0.1","port":%s,"status":""}' \
        "$DEMO_SERVERS" "$title" "$port")
    done
    index=$((index + 1))
  done

  local reachable unreachable media="" n=0
  demo_companion http http_endpoint.exe --ports 4 || return 1
  reachable=$demo_ports
  demo_companion http-down http_endpoint.exe --status 200 || return 1
  unreachable=$demo_ports
  local -a media_titles=("Video streaming" "Music" "Games store" "News" "Maps")
  for port in $reachable $unreachable; do
    [ -n "$media" ] && media+=","
    media+=$(printf '{"protocol":"http","name":"web-%d","title":"%s","host":"127.0.0.1","port":%s,"status":""}' \
      "$n" "${media_titles[$n]}" "$port")
    n=$((n + 1))
  done

  local route='"route":{"name":"demo","title":"Demo route"}'
  local game="{\"name\":\"demo-game\",\"title\":\"Demo servers\",$route,\"setting\":{\"interval\":1,\"frequency\":0.2,\"count\":5},\"servers\":[$servers]}"
  local media_list="{$route,\"servers\":[$media]}"
  local sealed_game sealed_media sealed_local
  demo_config() { # <endpoint>; a configuration text
    printf '[Interface]\nAddress = 10.8.0.2/32\nDNS = 10.8.0.1\n\n[Peer]\nEndpoint = %s\nAllowedIPs = 0.0.0.0/0\n' "$1"
  }
  DEMO_PROVIDER_FILES=$DEMO_WORK/provider
  mkdir -p "$DEMO_PROVIDER_FILES"
  local name title configs="" key_type file
  for name in tokyo frankfurt new-york; do
    demo_config "127.0.0.1:$first_port" >"$DEMO_PROVIDER_FILES/$name.conf"
  done
  # The same document twice: sealed with the client's key, and with a key
  # of payload_tool's own making that the client does not have.
  for key_type in 1 2; do
    sealed_game=$(demo_seal "$game" "$key_type")
    sealed_media=$(demo_seal "$media_list" "$key_type")
    sealed_local=$(demo_seal "Welcome to the QuorVPN demo: every server here runs on this machine." "$key_type")
    if [ -z "$sealed_game" ] || [ -z "$sealed_media" ] || [ -z "$sealed_local" ]; then
      echo "demo: payload_tool did not seal the lists" >&2
      return 1
    fi
    configs=""
    for title in Tokyo Frankfurt "New York"; do
      name=$(tr 'A-Z ' 'a-z-' <<<"$title")
      [ -n "$configs" ] && configs+=","
      configs+=$(printf '{"name":"%s","title":"%s","text":"%s"}' "$name" "$title" \
        "$(sed -z 's/\n/\\n/g' "$DEMO_PROVIDER_FILES/$name.conf")")
    done
    file=$DEMO_PROVIDER_FILES/subscription.json
    [ "$key_type" = 2 ] && file=$DEMO_PROVIDER_FILES/subscription.wrong-key.json
    printf '{"format":"quorvpn-subscription","version":1,"provider":"QuorVPN demo provider","refresh":3600,%s}\n' \
      "\"configurations\":[$configs],\"servers\":\"$sealed_game\",\"reachability\":\"$sealed_media\",\"notice\":\"$sealed_local\"" \
      >"$file"
  done
  demo_companion provider http_endpoint.exe --serve "Z:${DEMO_PROVIDER_FILES//\//\\}" || return 1
  DEMO_PROVIDER_PORT=${demo_ports%% *}
  DEMO_SUBSCRIPTION_URL="http://127.0.0.1:$DEMO_PROVIDER_PORT/subscription.json"
}

demo_env_stop() {
  local pid fd
  demo_local_servers_remove
  if [ -n "$demo_service_bin" ]; then
    demo_wine "$demo_service_bin/quortunnel.exe" uninstall --log-dir "Z:${DEMO_WORK//\//\\}\\service" \
      </dev/null >/dev/null 2>&1 || true
    demo_service_bin=""
  fi
  for fd in "${demo_fds[@]}"; do exec {fd}>&-; done
  for pid in "${demo_companion_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${demo_companion_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  demo_fds=()
  demo_companion_pids=()
  if [ -n "$DEMO_WORK" ]; then rm -rf "$DEMO_WORK"; fi
  DEMO_WORK=""
  DEMO_SUBSCRIPTION_URL=""
  DEMO_PROVIDER_PORT=""
  # The page's storage holds the subscription to the provider just ended;
  # nothing after the demo should reach for it.
  [ -n "${WINEPREFIX:-}" ] && demo_config_folder_reset
  return 0
}
