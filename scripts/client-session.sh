# Sourced by run.sh, the end-to-end scenarios and the client benchmark: the real
# QuorVPN.exe, started in the current Wine prefix and X display, and the means
# to drive it as a person does, with real X input (xdotool), and to read what
# it shows, through its window caption. The page keeps the caption equal to
# its title, "QuorVPN · <state>[ · <measured>/<total> servers]", and lays its
# controls out at fixed points of the 800 × 572 window:
#   header 0–48, minimise (728, 24), close (772, 24), connect (200, 250),
#   measure (740, 80), language (684, 24), the subscription's address field
#   (516, 418) and its Subscribe / Remove button (659, 418), "+ Add…" after
#   the configurations.
#   client_start <bin folder>   starts it; sets CLIENT_PID, CLIENT_WINDOW
#   client_stop                 ends it, by its id
#   client_wait_desktop_gone [seconds]
#                               waits for this prefix's desktop process to
#                               end, which Wine keeps about 3 s after its last
#                               client went
#   client_caption              prints the caption
#   client_wait_caption <extended regex> [seconds]
#   client_click <x> <y>        one left click at a point of the page (CSS
#                               pixels; scaled by CLIENT_DPI, default 96, to
#                               the window's device pixels)
#   client_type <text>          types the text into the focused field
#   client_subscribe <address>  pastes-in the address and presses Subscribe
#   client_log_since_start      prints what the client logged since it started
# Needs WINELOADER and WINEPREFIX (as demo-env.sh) and DISPLAY.

export LC_ALL=C.UTF-8 # the caption's middle dot, as xdotool prints it

CLIENT_PID=""
CLIENT_WINDOW=""
CLIENT_OUTPUT=""
CLIENT_STARTED_NS=0
CLIENT_LOG_LINES=0

# The client's own log, in the user's protected folder under the all-users
# folder, named by the user's SID (under Wine always S-1-5-21-0-0-0-1000).
client_log() { echo "$WINEPREFIX/drive_c/ProgramData/QuorVPN/users/S-1-5-21-0-0-0-1000/log/quorvpn.log"; }

client_now_ns() { date +%s%N; }

client_log_since_start() { tail -n +"$((CLIENT_LOG_LINES + 1))" "$(client_log)" 2>/dev/null || true; }

# Its main window: the window of its process whose name is the page's title
# (the tray and the engine keep windows of their own).
client_find_window() {
  xdotool search --all --pid "$CLIENT_PID" --name '^QuorVPN' 2>/dev/null | head -n 1 || true
}

client_start() { # <bin folder>
  CLIENT_OUTPUT=$(mktemp)
  CLIENT_LOG_LINES=$(wc -l 2>/dev/null <"$(client_log)" || echo 0)
  CLIENT_STARTED_NS=$(client_now_ns)
  # Its output goes to a file: Wine's desktop process, should the client be
  # the one to start it, inherits it and would hold a test runner's pipe.
  "$WINELOADER" "$1/QuorVPN.exe" </dev/null >"$CLIENT_OUTPUT" 2>&1 &
  CLIENT_PID=$!
  local _
  for _ in $(seq 600); do
    CLIENT_WINDOW=$(client_find_window)
    [ -n "$CLIENT_WINDOW" ] && return 0
    kill -0 "$CLIENT_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "client: no main window (exit: $(kill -0 "$CLIENT_PID" 2>/dev/null && echo running || echo gone))" >&2
  return 1
}

client_stop() {
  if [ -n "$CLIENT_PID" ]; then
    kill "$CLIENT_PID" 2>/dev/null || true
    wait "$CLIENT_PID" 2>/dev/null || true
  fi
  CLIENT_PID=""
  CLIENT_WINDOW=""
  if [ -n "$CLIENT_OUTPUT" ]; then rm -f "$CLIENT_OUTPUT"; fi
  CLIENT_OUTPUT=""
}

# A client started while Wine's desktop process is still shutting down after
# the one before waits about 1.5 s in its first window call (measured: the
# engine's load, which brings in the common controls, took 1.44 to 1.85 s
# instead of 0.1 to 0.46 s). Windows has no such wait, so a run that times the
# start begins once the desktop is gone.
client_wait_desktop_gone() {
  local deadline=$(($(date +%s) + ${1:-10})) pid found
  while [ "$(date +%s)" -lt "$deadline" ]; do
    found=""
    for pid in $(pgrep -f 'explorer.exe /desktop' || true); do
      if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then found=$pid; fi
    done
    [ -z "$found" ] && return 0
    sleep 0.1
  done
  echo "client: Wine's desktop process is still there after ${1:-10} s" >&2
  return 1
}

client_caption() { xdotool getwindowname "$CLIENT_WINDOW" 2>/dev/null || true; }

client_wait_caption() { # <extended regex> [seconds]; true once the caption matches
  local deadline=$(($(date +%s) + ${2:-20}))
  while [ "$(date +%s)" -le "$deadline" ]; do
    client_caption | grep -Eq -- "$1" && return 0
    sleep 0.05
  done
  echo "client: the caption did not come to match '$1' within ${2:-20} s; it is '$(client_caption)'" >&2
  return 1
}

client_click() { # <x> <y>
  local dpi=${CLIENT_DPI:-96}
  xdotool mousemove --window "$CLIENT_WINDOW" "$(($1 * dpi / 96))" "$(($2 * dpi / 96))" click 1
}

# As real key presses (XTEST) to the window with the focus: Wine ignores
# the synthetic events "type --window" would send.
client_type() { # <text>
  xdotool type --delay 20 -- "$1"
}

readonly CLIENT_SUBSCRIPTION_X=516 CLIENT_SUBSCRIPTION_Y=418 CLIENT_SUBSCRIBE_X=659 CLIENT_SUBSCRIBE_Y=418

# As a person subscribes: a click in the address field, the address typed,
# a click on Subscribe.
client_subscribe() { # <address>
  client_click "$CLIENT_SUBSCRIPTION_X" "$CLIENT_SUBSCRIPTION_Y"
  client_type "$1"
  client_click "$CLIENT_SUBSCRIBE_X" "$CLIENT_SUBSCRIBE_Y"
}

# Whether the main window is shown (mapped).
client_visible() {
  xdotool search --all --onlyvisible --pid "$CLIENT_PID" --name '^QuorVPN' 2>/dev/null | grep -qx "$CLIENT_WINDOW"
}
