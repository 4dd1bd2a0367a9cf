#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a user of the
# installed kit relies on: find_package with a version, the tools beside the
# runtime, and a program that finds the runtime at run time through the
# rpath it was linked with.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix/usr" >/dev/null
test -x "$prefix/usr/bin/qelcollect"
# The help read whole first: grep -q leaves at the first match, and a help
# longer than one write would then die of SIGPIPE under pipefail.
help=$("$prefix/usr/bin/qelcollect" --help)
grep -q "Usage: qelcollect" <<<"$help"
if [ -e "$build/tools/qelcc/qelcc" ]; then test -x "$prefix/usr/bin/qelcc"; fi

mkdir "$prefix/cm"
cat > "$prefix/cm/main.c" <<'C'
#include <QELMQLib.h>
int main(void) { QelNode(1, 2, 3); return 0; }
C
for req in "0.1" "0.1.0" ""; do
  cat > "$prefix/cm/CMakeLists.txt" <<CM
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(QELMQ $req REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE QELMQ::QELMQLib)
CM
  rm -rf "$prefix/cm/b"
  cmake -S "$prefix/cm" -B "$prefix/cm/b" -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null
  cmake --build "$prefix/cm/b" >/dev/null
  QELMQ_TRACE=0 "$prefix/cm/b/consumer"  # found through the build rpath, no LD_LIBRARY_PATH
done
# A major version the kit does not have is refused.
sed -i 's/find_package(QELMQ  REQUIRED)/find_package(QELMQ 1 REQUIRED)/' "$prefix/cm/CMakeLists.txt"
rm -rf "$prefix/cm/b"
if cmake -S "$prefix/cm" -B "$prefix/cm/b" -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null 2>&1; then
  echo "find_package(QELMQ 1) should fail" >&2
  exit 1
fi
# pkg-config users pass the rpath themselves (as the README says).
export PKG_CONFIG_PATH="$prefix/usr/lib/pkgconfig"
cc "$prefix/cm/main.c" $(pkg-config --cflags --libs qelmq) \
  -Wl,-rpath,"$(pkg-config --variable=libdir qelmq)" -o "$prefix/by_rpath"
QELMQ_TRACE=0 "$prefix/by_rpath"
echo "installed kit: version file, tools and run-time lookup all work"
