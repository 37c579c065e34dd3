#!/usr/bin/env bash
# Builds what ships (i686, optimised) and makes its installer with Debian's
# makensis:
#   scripts/package.sh [--sign PRIVATE_KEY.pem] [--out FOLDER]
#   scripts/package.sh --from BIN_FOLDER --version X.Y.Z [--icon ICO] [--sign KEY] [--out FOLDER]
# The first form builds the client, wke.dll, the crash reporter and updater
# stand-ins, the page, the skin, the proxy tool and the stand-in tunnel
# service in a Release build of its own (build/i686-release) and packages
# them as QuorVPN-<version>-setup.exe, the version being the project's
# (CMakeLists.txt, through the build's base/version.h). The second packages
# a bin folder that is already built (the installer tests package their
# Debug build, and a copy of it as a later version).
#
# --sign writes QuorVPN-<version>-setup.exe.sig beside the package: the
# ECDSA P-256 signature over the whole file with SHA-256, as the 64 bytes
# r || s in lower-case hex, which is what the appcast's "signature" field
# carries (scripts/sign-package.sh, docs/packaging.md). The key stays
# outside the product; the tests make their own.
#
# Prints the package's path on standard output.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${QUOR_BUILD_DIR:-$repo/build}
from=""
version=""
key=""
out=""
icon=""
while [ $# -gt 0 ]; do
  case $1 in
    --from) from=${2:?--from needs a folder}; shift 2 ;;
    --version) version=${2:?--version needs X.Y.Z}; shift 2 ;;
    --sign) key=${2:?--sign needs a private key file}; shift 2 ;;
    --icon) icon=${2:?--icon needs a file}; shift 2 ;;
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    *) echo "package: unknown option $1" >&2; exit 2 ;;
  esac
done

"$repo/scripts/bootstrap.sh" i686 --packages-only
if [ -z "$from" ]; then
  prefix=$("$repo/scripts/bootstrap.sh" i686)
  build="$root/i686-release"
  # Release at -O2, as the benchmarks' builds: GCC 12 at -O3 reports a
  # maybe-uninitialized in the engine's style defaults that -O2 does not.
  "$repo/scripts/configure.sh" "$build" "$prefix" i686 Release -DQUOR_BUILD_TESTS=OFF \
    "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG"
  cmake --build "$build" -j "$(nproc)" --target quorvpn quortunnel sysproxy >&2
  from="$build/bin"
  version=$(sed -n 's/^#define QUOR_VERSION "\(.*\)"$/\1/p' "$build/generated/base/version.h")
  icon="$build/resources/icons/quorvpn.ico"
else
  [ -n "$version" ] || { echo "package: --from needs --version" >&2; exit 2; }
  # The icon the client's own build drew, beside its bin folder.
  icon=${icon:-$(dirname "$from")/resources/icons/quorvpn.ico}
fi
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "package: no version X.Y.Z ($version)" >&2; exit 1; }
for file in QuorVPN.exe wke.dll sentry.dll WinSparkle.dll quortunnel.exe bin/sysproxy.exe app/main.html skin; do
  [ -e "$from/$file" ] || { echo "package: $from/$file is missing" >&2; exit 1; }
done
out=${out:-$root/package}
mkdir -p "$out"
setup="$(cd "$out" && pwd)/QuorVPN-$version-setup.exe"

makensis -V2 -NOCD -INPUTCHARSET UTF8 \
  "-DVERSION=$version" "-DSOURCE=$from" "-DICON=$icon" "-DOUTFILE=$setup" \
  "$repo/packaging/quorvpn.nsi" >&2

if [ -n "$key" ]; then
  "$repo/scripts/sign-package.sh" "$key" "$setup" >"$setup.sig"
fi
echo "$setup"
