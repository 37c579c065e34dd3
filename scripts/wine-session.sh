# Sourced by test.sh, run.sh and bench.sh: a Wine prefix of the build tree's
# own for one architecture, an X display (Xvfb when there is none) and one
# persistent wineserver, all stopped again on exit. Stops only what it started.
#   wine_session_start <build folder> <i686|x86_64>
# Afterwards `wine` runs a program with that architecture's loader.

. "$(dirname "${BASH_SOURCE[0]}")/arch.sh"

xvfb_pid=""
wineserver_started=""

wine() { "$QUOR_WINE_LOADER" "$@"; }
wineserver() { "$QUOR_WINESERVER" "$@"; }

wine_session_stop() {
  if [ -n "$wineserver_started" ]; then wineserver -k 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}

wine_session_start() {
  quor_wine_env "$2"
  WINEPREFIX="$(cd "$1" && pwd)/wineprefix"
  export WINEPREFIX WINEDEBUG=-all
  # No Mono or Gecko installer prompts, no desktop menu entries.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  trap wine_session_stop EXIT

  # Windows and the tray need an X display; CI has none.
  if [ -z "${DISPLAY:-}" ]; then
    local displayfile
    displayfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$displayfile" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$displayfile" ] && break; sleep 0.1; done
    [ -s "$displayfile" ] || { echo "wine: Xvfb did not start" >&2; rm -f "$displayfile"; return 1; }
    export DISPLAY=":$(head -n 1 "$displayfile")"
    rm -f "$displayfile"
    echo "wine: started Xvfb on $DISPLAY" >&2
  fi

  # The prefix is this build tree's own, so whatever runs in it is ours to
  # stop; a server left over from an interrupted run goes first.
  wineserver -k 2>/dev/null || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating the $WINEARCH Wine prefix $WINEPREFIX" >&2
    wine wineboot.exe --init 2>&1 | grep -v '^wine: ' >&2 || true
    wineserver -w
  fi
  # One persistent wineserver for the whole session spares every program its
  # start-up.
  wineserver -p
  wineserver_started=1
  # The tray menu's texts are Chinese. Wine's menu font (Tahoma) falls back
  # to the fonts its "FontLink\SystemLink" entry names, SimSun among them,
  # which no Linux system has; naming the CJK font of the bootstrap as SimSun
  # gives the menu glyphs instead of boxes.
  wine reg.exe add 'HKCU\Software\Wine\Fonts\Replacements' /v SimSun /d 'WenQuanYi Micro Hei' /f \
    </dev/null >/dev/null 2>&1 || true
  # Wine's Task Scheduler is a demand-start service that nothing starts on
  # demand (Windows runs it always); the client's auto-start registers a
  # log-on task with it.
  wine net.exe start Schedule </dev/null >/dev/null 2>&1 || true
  # The first programs of a session start Wine's own background processes
  # (services, devices), which then live as long as the server. Started here,
  # they hold /dev/null rather than the output pipe of a test, which CTest
  # would otherwise wait on until its timeout. The last of them starts the
  # desktop process (explorer, with the notification area), which stays as
  # long as programs follow without a pause of a second.
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1
}
