#!/usr/bin/env bash
# The client as a person meets it, timed from outside with real X input
# against the demo world of scripts/demo-env.sh (run by scripts/bench.sh,
# which builds the client and its companions optimised and starts the Wine
# session):
#   - process start to the caption "QuorVPN · Stopped" (the page loaded, its
#     dispatch object published and the service's first state shown);
#   - a click on connect to the caption "QuorVPN · Connected" (configuration
#     written and sent, proxy tool run, StartTunnel answered);
#   - the client's resident memory while the page measures the 40 demo
#     servers every 10 s (a click on "Measure"), sampled every 10 s: start,
#     end and largest value.
#   scripts/bench.sh client_ui [--runs N] [--minutes M]   (defaults 5 and 10)
# Every run starts once Wine's desktop process of the run before has gone
# (client_wait_desktop_gone), as the first run does. Times are read by polling the caption every 50 ms or so (each look starts
# xdotool), so they carry that much granularity. Under Wine the resident
# memory also counts Wine's own mapped libraries. Do not run it while a
# client or the suite runs: the client is one per user.
set -euo pipefail

bin=${1:?usage: client_ui.sh <bin folder> [--runs N] [--minutes M]}
shift
runs=5
minutes=10
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=${2:?}; shift 2 ;;
    --minutes) minutes=${2:?}; shift 2 ;;
    *) echo "client_ui: unknown option $1" >&2; exit 2 ;;
  esac
done
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$repo/scripts/demo-env.sh"
. "$repo/scripts/client-session.sh"

trap 'client_stop; demo_env_stop' EXIT

ms_since() { echo $((($(client_now_ns) - $1) / 1000000)); }

# Median and largest of the numbers on standard input.
summary() { sort -n | awk '{v[NR]=$1} END {printf "median %d ms, max %d ms (%d runs)", v[int((NR+1)/2)], v[NR], NR}'; }

mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$CLIENT_PID/status" 2>/dev/null || echo 0; }

demo_env_start "$bin" >/dev/null
n=$DEMO_SERVERS
starts=()
connects=()
for run in $(seq "$runs"); do
  # Each client run creates its configuration folder afresh: under Wine it
  # cannot tell the folder of an earlier run from a planted one.
  demo_config_folder_reset
  client_wait_desktop_gone || true
  client_start "$bin"
  client_wait_caption '^QuorVPN · Stopped' 60
  starts+=("$(ms_since "$CLIENT_STARTED_NS")")
  client_subscribe "$DEMO_SUBSCRIPTION_URL"
  client_wait_caption "^QuorVPN · Stopped · $n/$n servers\$" 60
  clicked=$(client_now_ns)
  client_click 200 250
  client_wait_caption '^QuorVPN · Connected' 60
  connects+=("$(ms_since "$clicked")")
  client_click 200 250
  client_wait_caption '^QuorVPN · Stopped' 60
  client_stop
  echo "client_ui: run $run: start ${starts[-1]} ms, connect ${connects[-1]} ms" >&2
done
echo "process start to \"QuorVPN · Stopped\": $(printf '%s\n' "${starts[@]}" | summary)"
echo "click on connect to \"QuorVPN · Connected\": $(printf '%s\n' "${connects[@]}" | summary)"

demo_config_folder_reset
client_start "$bin"
client_wait_caption '^QuorVPN · Stopped' 60
client_subscribe "$DEMO_SUBSCRIPTION_URL"
client_wait_caption "^QuorVPN · Stopped · $n/$n servers\$" 60
first=$(rss_kib)
largest=$first
last=$first
samples=$((minutes * 6))
for i in $(seq "$samples"); do
  client_click 740 80
  sleep 10
  last=$(rss_kib)
  [ "$last" -gt "$largest" ] && largest=$last
  echo "client_ui: memory $i/$samples: $(mib "$last") MiB ($(client_caption))" >&2
done
echo "resident memory, $samples measurements of $n servers 10 s apart: start $(mib "$first") MiB, end $(mib "$last") MiB, max $(mib "$largest") MiB"
