# Sourced by the scripts that run Windows programs under Wine: which
# architecture this host can test, and how Wine is started for it.
#   quor_pick_test_arch <scratch folder>   sets QUOR_ARCH, prints one line why
#   quor_wine_env <arch>                   sets the loader and prefix variables
#   quor_check_host <arch>                 fails with one line if Wine or an X
#                                          display cannot be had

# What ships is i686; the tests run i686 where the host can execute 32-bit
# programs and x86_64 where its kernel has 32-bit emulation switched off
# (ia32_emulation=off), since 32-bit Wine cannot start there at all.
quor_pick_test_arch() {
  local scratch=$1
  case "${QUOR_TEST_ARCH:-}" in
    i686 | x86_64)
      QUOR_ARCH=$QUOR_TEST_ARCH
      echo "arch: testing $QUOR_ARCH, forced by QUOR_TEST_ARCH" >&2
      return 0
      ;;
    "") ;;
    *)
      echo "arch: QUOR_TEST_ARCH must be i686 or x86_64, not '$QUOR_TEST_ARCH'" >&2
      return 1
      ;;
  esac
  if quor_runs_32bit "$scratch"; then
    QUOR_ARCH=i686
    echo "arch: testing i686 (what ships): this host runs 32-bit programs" >&2
  else
    QUOR_ARCH=x86_64
    echo "arch: testing x86_64: this host cannot run 32-bit programs (no 32-bit emulation in its kernel); the whole i686 tree is still built, tests included" >&2
  fi
}

# Runs a 93-byte static i386 ELF that only calls exit(0). Asking uname or
# /proc would guess; executing something 32-bit is the only sure test. The
# probe lives in the build tree because /tmp may be mounted noexec.
quor_runs_32bit() {
  local probe
  mkdir -p "$1"
  probe=$(mktemp "$1/probe32.XXXXXX")
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
  chmod +x "$probe"
  local rc=0
  "$probe" 2>/dev/null || rc=$?
  rm -f "$probe"
  return "$rc"
}

# Debian's /usr/bin/wine prefers the 32-bit loader whenever wine32 is
# installed, even on a host that cannot execute it, so the loader is named.
quor_wine_env() {
  case "$1" in
    i686)
      QUOR_WINE_LOADER=/usr/lib/wine/wine
      QUOR_WINESERVER=/usr/lib/wine/wineserver32
      [ -x "$QUOR_WINESERVER" ] || QUOR_WINESERVER=wineserver
      export WINEARCH=win32
      ;;
    x86_64)
      QUOR_WINE_LOADER=/usr/lib/wine/wine64
      QUOR_WINESERVER=/usr/lib/wine/wineserver64
      [ -x "$QUOR_WINESERVER" ] || QUOR_WINESERVER=wineserver
      export WINEARCH=win64
      ;;
  esac
  export WINELOADER=$QUOR_WINE_LOADER WINESERVER=$QUOR_WINESERVER
}

quor_check_host() {
  quor_wine_env "$1"
  if ! "$QUOR_WINE_LOADER" --version >/dev/null 2>&1; then
    echo "host: the $1 Wine loader $QUOR_WINE_LOADER is missing or cannot run here; nothing was built" >&2
    return 1
  fi
  if [ -z "${DISPLAY:-}" ] && ! command -v Xvfb >/dev/null 2>&1; then
    echo "host: no X display and no Xvfb to start one; nothing was built" >&2
    return 1
  fi
}
