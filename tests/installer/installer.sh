#!/usr/bin/env bash
# The real installer (scripts/package.sh, makensis) under real Wine, each
# scenario in a fresh Wine prefix of its own:
#   installer.sh <bin folder> <work folder> <scenario>
# Scenarios:
#   prepare    packages A (the build's programs as 6.0.8) and B (the same
#              restamped as 6.0.9, with a marked page), both carrying a
#              test update key, B signed with it; and a template prefix
#              that every other scenario copies (kept between runs)
#   install    silent install; the client starts from the installed folder
#              and shows its page; uninstall entry, shortcut, auto-start
#   upgrade    A running, B installed over it: A is asked to quit, the files
#              are B's, settings and user data stay
#   in-use     B refused while a file of A is open; A still works
#   damaged    a damaged B refused before anything changes; A still works
#   update     A running, offered B by a local appcast: a bad signature, a
#              truncated download and a wrong length are refused and A
#              runs on; then "Install update" ends with B running
#   uninstall  nothing of ours left (service, task, Run value, entry,
#              shortcut, folder); user data only with /REMOVEDATA
# Needs WINELOADER, WINESERVER (scripts/arch.sh) and DISPLAY.
set -euo pipefail

bin=$(cd "$1" && pwd)
work=$(mkdir -p "$2" && cd "$2" && pwd)
scenario=$3
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
packages="$work/packages"
template="$work/template-prefix"
readonly STEP_S=60
readonly SID=S-1-5-21-0-0-0-1000
readonly INSTDIR='C:\Program Files\QuorVPN'
readonly UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorVPN'

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LC_ALL=C.UTF-8
wine() { "$WINELOADER" "$@"; }
fail() {
  echo "installer $scenario: $*" >&2
  exit 1
}
started=$(date +%s%N)

if [ "$scenario" = prepare ]; then
  rm -rf "$packages"
  mkdir -p "$packages/bin-a/bin"
  # A: the build's programs without their debug information (the Debug
  # build's are five times larger, and compressing them would take minutes
  # of the suite); B: the same, with a page that says it is B's.
  cp -a "$bin"/{QuorVPN.exe,wke.dll,sentry.dll,WinSparkle.dll,quortunnel.exe,app,skin} "$packages/bin-a/"
  cp -a "$bin/bin/sysproxy.exe" "$packages/bin-a/bin/"
  strip=$(command -v i686-w64-mingw32-strip || command -v x86_64-w64-mingw32-strip)
  "$strip" --strip-debug "$packages/bin-a"/*.exe "$packages/bin-a"/*.dll "$packages/bin-a/bin/sysproxy.exe"
  # The updates are signed with a key of the tests' own, which A and B carry
  # in place of the deployment's; "other" is one nobody trusts.
  mkdir -p "$packages/keys"
  for name in key other; do
    openssl ecparam -name prime256v1 -genkey -noout -out "$packages/keys/$name.pem"
    openssl ec -in "$packages/keys/$name.pem" -pubout -out "$packages/keys/$name-pub.pem" 2>/dev/null
  done
  perl "$repo/tests/installer/restamp.pl" "$packages/bin-a/QuorVPN.exe" 6.0.8 6.0.8 \
    "$repo/resources/update_key.pem" "$packages/keys/key-pub.pem"
  cp -a "$packages/bin-a" "$packages/bin-b"
  perl "$repo/tests/installer/restamp.pl" "$packages/bin-b/QuorVPN.exe" 6.0.8 6.0.9
  echo '<!-- package B -->' >>"$packages/bin-b/app/main.html"
  icon="$(dirname "$bin")/resources/icons/quorvpn.ico"
  "$repo/scripts/package.sh" --from "$packages/bin-a" --version 6.0.8 --icon "$icon" --out "$packages/a" >/dev/null
  "$repo/scripts/package.sh" --from "$packages/bin-b" --version 6.0.9 --icon "$icon" \
    --sign "$packages/keys/key.pem" --out "$packages/b" >/dev/null
  "$repo/scripts/sign-package.sh" "$packages/keys/other.pem" "$packages/b/QuorVPN-6.0.9-setup.exe" \
    >"$packages/b/other.sig"
  # The template is made once per Wine version and kept: every scenario
  # copies it, so each starts from a prefix nothing has run in.
  stamp="$("$WINELOADER" --version 2>/dev/null)"
  if [ "$(cat "$template.version" 2>/dev/null)" != "$stamp" ] || [ ! -f "$template/system.reg" ]; then
    rm -rf "$template" "$template.version"
    WINEPREFIX="$template" wine wineboot.exe --init >/dev/null 2>&1 || true
    WINEPREFIX="$template" "$WINESERVER" -w
    [ -f "$template/system.reg" ] || fail "no template prefix"
    echo "$stamp" >"$template.version"
  fi
  echo "installer prepare: $(((($(date +%s%N) - started)) / 1000000)) ms"
  exit 0
fi

setup_a="$packages/a/QuorVPN-6.0.8-setup.exe"
setup_b="$packages/b/QuorVPN-6.0.9-setup.exe"
[ -f "$setup_a" ] && [ -f "$setup_b" ] || fail "no packages (the prepare scenario makes them)"

# A fresh prefix: a copy of the template, with a server of its own.
here="$work/$scenario"
rm -rf "$here"
mkdir -p "$here"
export WINEPREFIX="$here/prefix"
cp -a "$template" "$WINEPREFIX"
client_pid=""
endpoints=()
endpoint_inputs=()
finish() {
  local status=$?
  if [ -n "$client_pid" ]; then kill "$client_pid" 2>/dev/null || true; fi
  for pid in "${endpoints[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ "$status" -ne 0 ] && [ -f "$(client_log)" ]; then
    echo "--- the client's log" >&2
    tail -n 30 "$(client_log)" >&2
  fi
  "$WINESERVER" -k 2>/dev/null || true
  [ "$status" -eq 0 ] && rm -rf "$here"
  exit "$status"
}
trap finish EXIT
"$WINESERVER" -p
# Wine starts the Task Scheduler only when asked (Windows always runs it).
wine net.exe start Schedule </dev/null >/dev/null 2>&1 || true

unix_of() { # <C:\ path>
  local p=${1#C:\\}
  echo "$WINEPREFIX/drive_c/${p//\\//}"
}
installed="$(unix_of "$INSTDIR")"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/QuorVPN.lnk"
data="$WINEPREFIX/drive_c/ProgramData/QuorVPN"
task="$WINEPREFIX/drive_c/windows/system32/tasks/com.quorvpn.win32 $SID"
client_log() { echo "$WINEPREFIX/drive_c/ProgramData/QuorVPN/users/$SID/log/quorvpn.log"; }

# Prints a registry value's data; fails when there is none.
reg_value() { # <key> <value>
  wine reg.exe query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p" | grep . || return 1
}
reg_key_exists() { wine reg.exe query "$1" </dev/null >/dev/null 2>&1; }

# A log-on task in the scheduler's form, as a file the scheduler can read;
# prints its Windows path.
winepath_xml() {
  cat >"$WINEPREFIX/drive_c/windows/temp/quor-task.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">
  <Triggers><LogonTrigger><Enabled>true</Enabled></LogonTrigger></Triggers>
  <Actions Context="Author"><Exec><Command>"$INSTDIR\QuorVPN.exe"</Command></Exec></Actions>
</Task>
XML
  echo 'C:\windows\temp\quor-task.xml'
}

run_setup() { # <package> [switches...]; the installer's exit code
  local code=0
  wine "$@" </dev/null >/dev/null 2>&1 || code=$?
  echo "$code"
}

# NSIS's uninstaller copies itself to the temporary folder and returns at
# once; the copy does the work. It is done when its last trace, the
# uninstall entry, is gone.
run_uninstall() { # [switches...]
  wine "$installed/Uninstall.exe" "$@" </dev/null >/dev/null 2>&1 || true
  local deadline=$(($(date +%s) + STEP_S))
  while [ "$(date +%s)" -le "$deadline" ]; do
    [ -d "$installed" ] || { reg_key_exists "$UNINSTALL_KEY" || return 0; }
    sleep 0.5
  done
  fail "the uninstaller did not finish"
}

# The installed client, started as a person starts it, until its page shows
# (the page keeps the window caption equal to its title).
start_client() {
  # The loader itself, not a shell function around it: $! must be its id.
  "$WINELOADER" "$INSTDIR\\QuorVPN.exe" </dev/null >"$here/client.out" 2>&1 &
  client_pid=$!
  local deadline=$(($(date +%s) + STEP_S)) window=""
  while [ "$(date +%s)" -le "$deadline" ]; do
    window=$(xdotool search --all --pid "$client_pid" --name '^QuorVPN · ' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && return 0
    kill -0 "$client_pid" 2>/dev/null || fail "the installed client ended at start ($(cat "$here/client.out"))"
    sleep 0.2
  done
  fail "the installed client showed no page"
}

wait_client_gone() {
  local deadline=$(($(date +%s) + STEP_S))
  while [ "$(date +%s)" -le "$deadline" ]; do
    kill -0 "$client_pid" 2>/dev/null || { client_pid=""; return 0; }
    sleep 0.2
  done
  fail "the client is still running"
}

expect_version() { # <version> [marked]: what is installed, and that it runs
  [ "$(reg_value "$UNINSTALL_KEY" DisplayVersion)" = "$1" ] || fail "installed version is not $1"
  if [ "${2:-}" = marked ]; then
    grep -q 'package B' "$installed/app/main.html" || fail "the page is not B's"
  else
    ! grep -q 'package B' "$installed/app/main.html" || fail "the page is B's"
  fi
  [ ! -e "$installed.previous" ] || fail "the previous installation was left aside"
}

# The HTTP stand-in answering every request with a file's bytes; sets
# $served_port once it listens. It answers until its standard input closes:
# a pipe that this shell holds open.
serve_file() { # <file> [http_endpoint options...]
  local file=$1 out input fd
  shift
  out=$(mktemp -p "$here")
  input="$out.in"
  mkfifo "$input"
  "$WINELOADER" "$bin/http_endpoint.exe" --status 200 --body-file "Z:${file//\//\\}" "$@" <"$input" >"$out" 2>&1 &
  endpoints+=($!)
  exec {fd}>"$input"
  endpoint_inputs+=("$fd")
  local deadline=$(($(date +%s) + STEP_S))
  while [ "$(date +%s)" -le "$deadline" ]; do
    if grep -q '^ready' "$out"; then
      served_port=$(head -n 1 "$out" | tr -d '\r')
      return 0
    fi
    sleep 0.2
  done
  fail "the HTTP stand-in did not start ($(cat "$out"))"
}
stop_endpoints() {
  for fd in "${endpoint_inputs[@]}"; do exec {fd}>&-; done
  endpoint_inputs=()
  for pid in "${endpoints[@]}"; do wait "$pid" 2>/dev/null || true; done
  endpoints=()
}

# Offers B through a local appcast whose size and signature are given, the
# package served with the stand-in's options; runs "Install update". Sets
# $status to the updater's last status line and $driver_code to the
# driver's exit code.
offer_b() { # <size> <signature> [http_endpoint options for the package...]
  local size=$1 signature=$2
  shift 2
  local appcast="$here/appcast.txt"
  serve_file "$setup_b" "$@"
  printf 'quor-appcast 1\nversion=6.0.9.0\nurl=http://127.0.0.1:%s/QuorVPN-6.0.9-setup.exe\nsize=%s\nsignature=%s\n' \
    "$served_port" "$size" "$signature" >"$appcast"
  serve_file "$appcast"
  wine reg.exe add 'HKCU\Software\QuorVPN\Updates' /v AppcastUrl /d "http://127.0.0.1:$served_port/appcast" /f \
    </dev/null >/dev/null 2>&1
  driver_code=0
  wine "$bin/update_driver.exe" install </dev/null >"$here/driver.out" 2>/dev/null || driver_code=$?
  status=$(tr -d '\r' <"$here/driver.out")
  stop_endpoints
}

# A refused offer: said so, nothing kept in the updates folder, A running.
expect_refused() { # <what was wrong>
  [ "$driver_code" = 3 ] || fail "an update with $1 ended with $driver_code: $status"
  [[ $status == "Update failed: "* ]] || fail "an update with $1 said: $status"
  echo "installer update: $1: $status"
  [ -z "$(ls -A "$data/updates" 2>/dev/null)" ] || fail "an update with $1 left $(ls "$data/updates")"
  kill -0 "$client_pid" 2>/dev/null || fail "A ended after an update with $1"
}

case "$scenario" in
  install)
    [ "$(run_setup "$setup_a" /S)" = 0 ] || fail "silent install failed"
    for file in QuorVPN.exe wke.dll sentry.dll WinSparkle.dll Uninstall.exe app/main.html skin/main.dat bin/sysproxy.exe; do
      [ -f "$installed/$file" ] || fail "$file is not installed"
    done
    [ ! -e "$installed/quortunnel.exe" ] || fail "the stand-in service was installed without being chosen"
    [ "$(reg_value "$UNINSTALL_KEY" DisplayName)" = QuorVPN ] || fail "no DisplayName"
    [ "$(reg_value "$UNINSTALL_KEY" DisplayVersion)" = 6.0.8 ] || fail "no DisplayVersion"
    [ "$(reg_value "$UNINSTALL_KEY" Publisher)" = QuorVPN ] || fail "no Publisher"
    [ "$(reg_value "$UNINSTALL_KEY" DisplayIcon)" = "\"$INSTDIR\\QuorVPN.exe\",0" ] || fail "no DisplayIcon"
    [ "$(reg_value "$UNINSTALL_KEY" UninstallString)" = "\"$INSTDIR\\Uninstall.exe\"" ] || fail "no UninstallString"
    [ "$(reg_value "$UNINSTALL_KEY" QuietUninstallString)" = "\"$INSTDIR\\Uninstall.exe\" /S" ] ||
      fail "no QuietUninstallString"
    size=$(reg_value "$UNINSTALL_KEY" EstimatedSize)
    [ $((size)) -gt 1000 ] || fail "EstimatedSize $size is not the folder's size in KiB"
    [ -f "$shortcut" ] || fail "no Start-menu shortcut"
    grep -aq 'QuorVPN.exe' "$shortcut" || fail "the shortcut names no QuorVPN.exe"
    # The installer asked the installed client to register auto-start. Wine
    # keeps no owners, so the client's check refuses every folder here
    # (docs/wine.md); its refusal names the path it would have registered.
    grep -Fq "AutoStartup: SetEnabled refused: not only administrators can change $INSTDIR\\QuorVPN.exe" \
      "$(client_log)" || fail "auto-start was not asked for the installed path"
    start_client
    [ "$(run_setup "$installed/QuorVPN.exe" --quit-running)" = 0 ] || fail "--quit-running failed"
    wait_client_gone
    ;;

  upgrade)
    [ "$(run_setup "$setup_a" /S /AUTOSTART=0)" = 0 ] || fail "installing A failed"
    wine reg.exe add 'HKCU\Software\QuorVPN\Updates' /v AppcastUrl /d 'http://127.0.0.1:9/kept' /f \
      </dev/null >/dev/null 2>&1
    start_client
    [ "$(run_setup "$setup_b" /S)" = 0 ] || fail "installing B over A failed"
    wait_client_gone
    grep -Fq 'App: asked to quit by an installer' "$(client_log)" || fail "A was not asked to quit"
    expect_version 6.0.9 marked
    [ "$(reg_value 'HKCU\Software\QuorVPN\Updates' AppcastUrl)" = 'http://127.0.0.1:9/kept' ] ||
      fail "the updater's setting was lost"
    [ -d "$data/users/$SID/LocalStorage" ] || fail "the page's storage was lost"
    start_client
    [ "$(run_setup "$installed/QuorVPN.exe" --quit-running)" = 0 ] || fail "B did not quit"
    wait_client_gone
    ;;

  in-use)
    [ "$(run_setup "$setup_a" /S /AUTOSTART=0 /SERVICE=1)" = 0 ] || fail "installing A failed"
    # Something of another user's session (here a console stand-in) runs
    # from the folder: its image is in use.
    "$WINELOADER" "$INSTDIR\\quortunnel.exe" console --pipe '\\.\pipe\QuorVPN\InUse' --log-dir 'C:\windows\temp' \
      </dev/null >/dev/null 2>&1 &
    holder=$!
    sleep 3
    code=$(run_setup "$setup_b" /S)
    kill "$holder" 2>/dev/null || true
    wait "$holder" 2>/dev/null || true
    [ "$code" = 2 ] || fail "B over a folder in use ended with $code, not 2"
    expect_version 6.0.8
    [ -f "$installed/QuorVPN.exe" ] && [ -f "$installed/Uninstall.exe" ] || fail "A's files are gone"
    wine sc.exe query QuorTunnel </dev/null 2>/dev/null | grep -q RUNNING || fail "A's service was not put back"
    start_client
    [ "$(run_setup "$installed/QuorVPN.exe" --quit-running)" = 0 ] || fail "A did not quit"
    wait_client_gone
    run_uninstall /S
    ;;

  damaged)
    [ "$(run_setup "$setup_a" /S /AUTOSTART=0)" = 0 ] || fail "installing A failed"
    # One byte changed in the middle of the compressed data.
    cp "$setup_b" "$here/damaged-setup.exe"
    size=$(stat -c %s "$here/damaged-setup.exe")
    printf '\x5a' | dd of="$here/damaged-setup.exe" bs=1 seek=$((size / 2)) conv=notrunc status=none
    code=$(run_setup "$here/damaged-setup.exe" /S)
    [ "$code" != 0 ] || fail "a damaged package installed"
    # Cut short, as a broken download would be.
    head -c $((size / 3)) "$setup_b" >"$here/short-setup.exe"
    code=$(run_setup "$here/short-setup.exe" /S)
    [ "$code" != 0 ] || fail "a truncated package installed"
    expect_version 6.0.8
    start_client
    [ "$(run_setup "$installed/QuorVPN.exe" --quit-running)" = 0 ] || fail "A did not quit"
    wait_client_gone
    ;;

  update)
    [ "$(run_setup "$setup_a" /S /AUTOSTART=0)" = 0 ] || fail "installing A failed"
    start_client
    size=$(stat -c %s "$setup_b")
    good=$(cat "$setup_b.sig")
    offer_b "$size" "$(cat "$packages/b/other.sig")"
    expect_refused "another key's signature"
    offer_b "$size" "$good" --cut $((size / 2))
    expect_refused "a truncated download"
    offer_b $((size - 1)) "$good"
    expect_refused "a wrong length"
    expect_version 6.0.8

    offer_b "$size" "$good"
    [ "$driver_code" = 0 ] || fail "the good update ended with $driver_code: $status"
    wait_client_gone
    # A quits on the updater's request; the installer waits for it to end.
    grep -Fq 'App: the running instance has quit' "$(client_log)" || fail "the installer did not wait for A"
    # The installer started B itself: its window, from the installed folder.
    deadline=$(($(date +%s) + STEP_S))
    until xdotool search --name '^QuorVPN · ' >/dev/null 2>&1; do
      [ "$(date +%s)" -le "$deadline" ] || fail "B did not start after the update"
      sleep 0.5
    done
    expect_version 6.0.9 marked
    # The running B says its compiled-in version, the text GetVersion gives
    # the page.
    grep -Fq 'App: QuorVPN 6.0.9 starting' "$(client_log)" || fail "the running client is not 6.0.9"
    version=$(wine "$bin/update_driver.exe" version "$INSTDIR\QuorVPN.exe" </dev/null 2>/dev/null | tr -d '\r')
    [ "$version" = 6.0.9.0 ] || fail "the installed client's version block says $version"
    [ "$(run_setup "$installed/QuorVPN.exe" --quit-running)" = 0 ] || fail "B did not quit"
    deadline=$(($(date +%s) + STEP_S))
    while xdotool search --name '^QuorVPN · ' >/dev/null 2>&1; do
      [ "$(date +%s)" -le "$deadline" ] || fail "B is still running"
      sleep 0.5
    done
    ;;

  uninstall)
    [ "$(run_setup "$setup_a" /S /SERVICE=1)" = 0 ] || fail "installing failed"
    wine sc.exe query QuorTunnel </dev/null 2>/dev/null | grep -q RUNNING || fail "the service is not running"
    # What the tray menu's auto-start leaves where Windows lets it: the Run
    # value and the log-on task (Wine's client refuses to make them).
    wine reg.exe add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v com.quorvpn.win32 \
      /d "\"$INSTDIR\\QuorVPN.exe\"" /f </dev/null >/dev/null 2>&1
    wine schtasks.exe /create /tn "com.quorvpn.win32 $SID" /xml "$(winepath_xml)" </dev/null >/dev/null 2>&1 || true
    [ -e "$task" ] || fail "the log-on task could not be planted"
    start_client
    run_uninstall /S
    wait_client_gone
    [ ! -e "$installed" ] || fail "the program folder is left: $(ls "$installed")"
    [ ! -e "$shortcut" ] || fail "the shortcut is left"
    ! reg_key_exists "$UNINSTALL_KEY" || fail "the uninstall entry is left"
    ! wine sc.exe query QuorTunnel </dev/null >/dev/null 2>&1 || fail "the service is left"
    ! reg_value 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' com.quorvpn.win32 >/dev/null ||
      fail "the Run value is left"
    [ ! -e "$task" ] || fail "the log-on task is left"
    # User data stays unless asked for.
    [ -f "$(client_log)" ] || fail "the user's log went without /REMOVEDATA"

    [ "$(run_setup "$setup_a" /S /AUTOSTART=0)" = 0 ] || fail "installing again failed"
    wine reg.exe add 'HKCU\Software\QuorVPN\Updates' /v AppcastUrl /d 'http://127.0.0.1:9/x' /f \
      </dev/null >/dev/null 2>&1
    run_uninstall /S /REMOVEDATA
    [ ! -e "$installed" ] || fail "the program folder is left"
    [ ! -e "$data" ] || fail "user data is left with /REMOVEDATA: $(find "$data" | head)"
    ! reg_key_exists 'HKCU\Software\QuorVPN' || fail "settings are left with /REMOVEDATA"
    ;;

  *) fail "no such scenario" ;;
esac
echo "installer $scenario: passed in $(((($(date +%s%N) - started)) / 1000000)) ms"
