#!/usr/bin/env bash
# Cross-builds the runtime's and the driver's dependencies for Windows from
# Debian's own source packages: libzmq (source package zeromq3) and jsoncpp
# (libjsoncpp), as static libraries with their pkg-config files.
#
#   tools/windows/build-deps.sh [ARCH]     build what is missing, print the prefix
#   tools/windows/build-deps.sh --help
#
# ARCH: i686 (32-bit Windows, the default) or x86_64 (64-bit Windows); the
# toolchain file is cmake/toolchain-ARCH-w64-mingw32.cmake.
# Everything lives outside the clone, in ${QEL_WIN_CACHE:-$HOME/.cache/qelmq-win32}:
#   apt/      private apt lists with a deb-src line for the system's Debian archive
#   src/      the unpacked source packages (shared by both architectures)
#   build/    their build trees for i686; build-x86_64/ for x86_64
#   prefix/   the installed libraries for i686; prefix-x86_64/ for x86_64 (the
#             toolchain files read QEL_WIN_PREFIX)
# A dependency whose stamp file in the prefix matches its source version is
# not rebuilt. Exit status: 0 when the prefix is complete, 1 on any failure,
# 2 on usage errors.
set -euo pipefail
# One compound command to its end: bash reads all of it before it runs any,
# so a checkout or an edit during a run cannot change the run.
{

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; }
ARCH=i686
case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  ""|i686) ;;
  x86_64) ARCH=x86_64 ;;
  *) echo "build-deps.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "build-deps.sh: one architecture at most" >&2; usage >&2; exit 2; }

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
CACHE=${QEL_WIN_CACHE:-$HOME/.cache/qelmq-win32}
TRIPLE=$ARCH-w64-mingw32
# i686 keeps the folders it has always had, so existing caches stay warm.
SUFFIX=""
[ "$ARCH" = i686 ] || SUFFIX=-$ARCH
PREFIX=$CACHE/prefix$SUFFIX
BUILD=$CACHE/build$SUFFIX
TOOLCHAIN=$ROOT/cmake/toolchain-$TRIPLE.cmake
JOBS=${QEL_WIN_JOBS:-$(nproc)}
mkdir -p "$CACHE"/{apt,src} "$BUILD" "$PREFIX"

log() { echo "== $*" >&2; }

# A private apt configuration: the system's archive and suite as deb-src, so
# the sources are exactly those of the binary packages installed here, and
# the system's own apt setup stays untouched.
apt_opts=()
setup_apt() {
  local uri suite
  uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $2 ~ /debian\/?$/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$uri" ] || uri=http://deb.debian.org/debian
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  local d=$CACHE/apt
  mkdir -p "$d/lists/partial" "$d/cache/archives/partial"
  echo "deb-src $uri $suite main" >"$d/sources.list"
  apt_opts=(-o "Dir::Etc::SourceList=$d/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
            -o "Dir::State::Lists=$d/lists" -o "Dir::Cache=$d/cache"
            -o "APT::Sandbox::User=root" -q)
  if [ -z "$(ls "$d/lists" | grep -i sources || true)" ]; then
    log "apt-get update (deb-src $uri $suite main)"
    apt-get "${apt_opts[@]}" update </dev/null >&2
  fi
}

# fetch <source package> -> prints the unpacked directory
fetch() {
  local pkg=$1 dir
  dir=$(ls -d "$CACHE/src/$pkg"-*/ 2>/dev/null | head -n1 || true)
  if [ -z "$dir" ]; then
    [ ${#apt_opts[@]} -gt 0 ] || setup_apt
    log "apt-get source $pkg"
    (cd "$CACHE/src" && apt-get "${apt_opts[@]}" source "$pkg" </dev/null >&2)
    dir=$(ls -d "$CACHE/src/$pkg"-*/ | head -n1)
  fi
  echo "${dir%/}"
}

# built <name> <version>: true when the prefix already holds that version.
built() { [ "$(cat "$PREFIX/.stamp-$1" 2>/dev/null || true)" = "$2" ]; }

cmake_cross() { # cmake_cross <src> <build> [args]
  local src=$1 bld=$2; shift 2
  cmake -S "$src" -B "$bld" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DQEL_WIN_PREFIX="$PREFIX" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" "$@" >&2
  cmake --build "$bld" -j"$JOBS" >&2
  cmake --install "$bld" >&2
}

# dep <name> <source package> <after-install hook or ""> <cmake args...>
dep() {
  local name=$1 pkg=$2 after=$3 src ver
  shift 3
  src=$(fetch "$pkg")
  ver=$(basename "$src")
  if built "$name" "$ver"; then log "$name ($ARCH): $ver cached"; return; fi
  log "$name ($ARCH): building $ver"
  rm -rf "${BUILD:?}/$name"
  cmake_cross "$src" "$BUILD/$name" "$@"
  [ -z "$after" ] || "$after" "${ver#"$pkg"-}"
  echo "$ver" >"$PREFIX/.stamp-$name"
}

# The static archive's users need the socket libraries too.
zmq_pkgconfig() {
  mkdir -p "$PREFIX/lib/pkgconfig"
  cat >"$PREFIX/lib/pkgconfig/libzmq.pc" <<PC
prefix=$PREFIX
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libzmq
Description: ZeroMQ (static, $TRIPLE)
Version: $1
Libs: -L\${libdir} -lzmq -lws2_32 -liphlpapi
Cflags: -I\${includedir} -DZMQ_STATIC
PC
}

command -v "$TRIPLE-g++-posix" >/dev/null || { echo "build-deps.sh: $TRIPLE-g++-posix not found (package g++-mingw-w64-${ARCH//_/-})" >&2; exit 1; }
command -v dpkg-source >/dev/null || { echo "build-deps.sh: dpkg-source not found (package dpkg-dev)" >&2; exit 1; }
# No CURVE (no libsodium), no tests, no docs: the runtime uses plain PUSH
# sockets over TCP. No IPC transport either: its Windows code path in this
# release compiles only with MSVC's headers. Windows condition variables
# keep libzmq independent of the C++ library's thread model.
dep zmq zeromq3 zmq_pkgconfig \
  -DBUILD_SHARED=OFF -DBUILD_STATIC=ON -DBUILD_TESTS=OFF -DWITH_DOCS=OFF \
  -DWITH_LIBSODIUM=OFF -DENABLE_CURVE=OFF -DENABLE_CPACK=OFF \
  -DENABLE_DRAFTS=OFF -DZMQ_CV_IMPL=win32api -DENABLE_PRECOMPILED=OFF \
  -DZMQ_HAVE_IPC=OFF
dep jsoncpp libjsoncpp "" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF \
  -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
  -DJSONCPP_WITH_PKGCONFIG_SUPPORT=ON -DJSONCPP_WITH_CMAKE_PACKAGE=ON \
  -DCMAKE_INSTALL_LIBDIR=lib
echo "$PREFIX"
exit
}
