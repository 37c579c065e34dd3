#!/usr/bin/env bash
# Installs everything a cross-build for one architecture needs on Debian 12,
# then prints that architecture's dependency prefix on standard output
# (everything else goes to standard error):
#   scripts/bootstrap.sh <i686|x86_64> [--wine] [--packages-only]
# --wine also installs the Wine loader that runs that architecture's programs
# (wine32 from i386 for i686, wine64 for x86_64), Xvfb and a font with Chinese
# glyphs; --packages-only stops after the Debian packages and prints nothing.
#
# Debian packages come from Debian's registry; libuv, fmt, spdlog, zlib with
# minizip, tinyxml2 and duktape are Debian source packages (apt-get source)
# cross-built for the architecture's MinGW triplet and installed into a cache
# folder outside the source tree, keyed by the architecture, the toolchain,
# the source versions and this recipe. A second run finds the cache and only
# checks, so it takes seconds.
#
# Non-interactive and safe to run again. Runs as root, or through sudo.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
cache_root=${QUOR_DEPS_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/quorvpn-deps}
jobs=$(nproc 2>/dev/null || echo 2)

arch=""
with_wine=0
packages_only=0
for arg in "$@"; do
  case "$arg" in
    i686 | x86_64) arch=$arg ;;
    --wine) with_wine=1 ;;
    --packages-only) packages_only=1 ;;
    *) echo "usage: scripts/bootstrap.sh <i686|x86_64> [--wine] [--packages-only]" >&2; exit 2 ;;
  esac
done
[ -n "$arch" ] || { echo "usage: scripts/bootstrap.sh <i686|x86_64> [--wine] [--packages-only]" >&2; exit 2; }
triplet=$arch-w64-mingw32
deb_arch=${arch//_/-} # Debian spells the MinGW packages x86-64

log() { printf 'bootstrap: %s\n' "$*" >&2; }

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

host_packages=(
  "g++-mingw-w64-$deb_arch-posix" "gcc-mingw-w64-$deb_arch-posix" "binutils-mingw-w64-$deb_arch"
  mingw-w64-tools cmake ninja-build make patch xz-utils dpkg-dev
  nlohmann-json3-dev googletest zip unzip python3 clang-format ccache nsis openssl
)
if [ "$with_wine" -eq 1 ]; then
  # fonts-wqy-microhei: glyphs for the tray menu's Chinese texts, which Wine finds
  # through fontconfig. xdotool: the end-to-end tests' real X input.
  host_packages+=(wine xvfb xauth x11-apps netpbm fonts-wqy-microhei xdotool)
  if [ "$arch" = i686 ]; then host_packages+=(wine32:i386); else host_packages+=(wine64); fi
fi
source_packages=(zlib libuv1 fmtlib spdlog tinyxml2 duktape)

missing_packages() {
  local p
  for p in "${host_packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

have_deb_src() {
  grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/ &&
    apt-cache showsrc zlib >/dev/null 2>&1 && [ -n "$(apt-cache showsrc zlib 2>/dev/null)" ]
}

# --- Debian packages -------------------------------------------------------
need_update=0
if [ "$with_wine" -eq 1 ] && [ "$arch" = i686 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  log "adding the i386 architecture (wine32)"
  $sudo dpkg --add-architecture i386
  need_update=1
fi
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  log "adding a deb-src entry for bookworm"
  $sudo tee /etc/apt/sources.list.d/quorvpn-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi
missing=$(missing_packages)
if [ -n "$missing" ] || ! have_deb_src; then need_update=1; fi
if [ "$need_update" -eq 1 ]; then
  log "apt-get update"
  $sudo apt-get update -qq >&2
fi
if [ -n "$missing" ]; then
  log "installing: $(echo $missing)"
  $sudo apt-get install -y -qq --no-install-recommends $missing >&2
fi
if [ "$packages_only" -eq 1 ]; then exit 0; fi

# --- the cache key ----------------------------------------------------------
src_version() {
  apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n 1
}
versions=$(
  echo "arch $arch"
  echo "toolchain $(dpkg-query -W -f='${Version}' "g++-mingw-w64-$deb_arch-posix")"
  echo "googletest $(dpkg-query -W -f='${Version}' googletest)"
  echo "nlohmann-json3-dev $(dpkg-query -W -f='${Version}' nlohmann-json3-dev)"
  for p in "${source_packages[@]}"; do echo "$p $(src_version "$p")"; done
)
# The recipe: how the source packages are built. Bump deps_recipe when the
# build steps below change; host packages may change without a rebuild.
deps_recipe=1
recipe=$( (echo "$deps_recipe"; cat "$repo/cmake/toolchain-$triplet.cmake" "$repo/cmake/toolchain-mingw.cmake" "$repo"/cmake/deps/*/*) |
  sha256sum | cut -c1-12)
key=$(printf '%s\n%s\n' "$versions" "$recipe" | sha256sum | cut -c1-16)
prefix="$cache_root/deps-$arch-$key"

if [ -f "$prefix/.complete" ]; then
  log "dependencies cached in $prefix"
  echo "$prefix"
  exit 0
fi

# --- cross-building the source packages -------------------------------------
log "building dependencies into $prefix"
work="$cache_root/work-$arch-$key"
# Leftovers of interrupted builds go; complete prefixes of other keys stay
# for other checkouts.
for old in "$cache_root"/deps-* "$cache_root"/work-*; do
  [ -e "$old" ] && [ ! -f "$old/.complete" ] && rm -rf "$old"
done
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"
toolchain="$repo/cmake/toolchain-$triplet.cmake"

cmake_dep() { # source dir, build dir, extra args...
  local src=$1 build=$2; shift 2
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_PREFIX_PATH="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >&2
  cmake --build "$build" -j "$jobs" >&2
  cmake --install "$build" >&2
}

fetch() { # source package -> prints its unpacked folder
  local pkg=$1 dir
  # A mirror may list a security update's source without serving it; the
  # release's own version is the fallback.
  (cd "$work" && { apt-get source -qq "$pkg" || apt-get source -qq "$pkg/bookworm"; }) >&2 2>&1
  dir=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name "${2:-$pkg}-*" | head -n 1)
  [ -n "$dir" ] || { log "apt-get source $pkg left no folder"; exit 1; }
  echo "$dir"
}

zlib_src=$(fetch zlib)
log "zlib from $zlib_src"
# Debian's repacked zlib has no win32 makefile; its configure cross-builds
# the static library as well.
(cd "$zlib_src" && CHOST=$triplet CC=$triplet-gcc-posix AR=$triplet-ar RANLIB=$triplet-ranlib \
  ./configure --static --prefix="$prefix" && make -j "$jobs" libz.a && make install) >&2
cmake_dep "$repo/cmake/deps/minizip" "$work/build-minizip" -DMINIZIP_SOURCE_DIR="$zlib_src/contrib/minizip"

uv_src=$(fetch libuv1 libuv1)
log "libuv from $uv_src"
cmake_dep "$uv_src" "$work/build-libuv" -DLIBUV_BUILD_TESTS=OFF -DLIBUV_BUILD_BENCH=OFF

fmt_src=$(fetch fmtlib fmtlib)
log "fmt from $fmt_src"
cmake_dep "$fmt_src" "$work/build-fmt" -DFMT_TEST=OFF -DFMT_DOC=OFF -DFMT_INSTALL=ON

spdlog_src=$(fetch spdlog spdlog)
log "spdlog from $spdlog_src"
cmake_dep "$spdlog_src" "$work/build-spdlog" -DSPDLOG_FMT_EXTERNAL=ON -DSPDLOG_WCHAR_FILENAMES=ON \
  -DSPDLOG_BUILD_EXAMPLE=OFF -DSPDLOG_BUILD_TESTS=OFF -DSPDLOG_BUILD_BENCH=OFF -DSPDLOG_INSTALL=ON

tinyxml2_src=$(fetch tinyxml2)
log "tinyxml2 from $tinyxml2_src"
cmake_dep "$tinyxml2_src" "$work/build-tinyxml2" -Dtinyxml2_BUILD_TESTING=OFF -DBUILD_TESTING=OFF

duktape_src=$(fetch duktape)
log "duktape from $duktape_src"
cmake_dep "$repo/cmake/deps/duktape" "$work/build-duktape" -DDUKTAPE_SOURCE_DIR="$duktape_src/src"

log "googletest from /usr/src/googletest"
cmake_dep /usr/src/googletest "$work/build-googletest" -DCMAKE_CXX_STANDARD=17 -DINSTALL_GTEST=ON -DBUILD_GMOCK=ON

# nlohmann::json is header-only: its Debian headers and package files are
# placed in the prefix so that the cross-build never searches the host's /usr.
mkdir -p "$prefix/include" "$prefix/share/cmake"
cp -a /usr/include/nlohmann "$prefix/include/"
cp -a /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"

printf '%s\n' "$versions" >"$prefix/versions.txt"
touch "$prefix/.complete"
rm -rf "$work"
log "dependencies ready in $prefix"
echo "$prefix"
