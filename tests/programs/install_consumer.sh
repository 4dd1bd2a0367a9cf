#!/usr/bin/env bash
# Installs the runtime into a scratch prefix and builds a C program against
# it twice, as users would: through pkg-config and through find_package.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix/usr" >/dev/null
cat > "$prefix/consumer.c" <<'C'
#include <QELMQLib.h>
#include <stdio.h>
int main(void) {
  int cs[2];
  QelStringInit(cs);
  QelStringAddCond(cs, 0, 1);
  QelNode(1, 2, 3);
  printf("result %d\n", QelExp(1, 1, 1, cs, 1, 5));
  return 0;
}
C
export PKG_CONFIG_PATH="$prefix/usr/lib/pkgconfig"
cc -Wall -Wextra -Werror "$prefix/consumer.c" $(pkg-config --cflags --libs qelmq) -o "$prefix/by_pkgconfig"
out=$(LD_LIBRARY_PATH="$prefix/usr/lib" "$prefix/by_pkgconfig")
grep -qx "result 5" <<<"$out"

# C++ code reaches the classes, whose headers include the installed protocol.
cat > "$prefix/consumer.cpp" <<'CPP'
#include <QELMQLib.h>
#include <cstdio>
int main() {
  std::printf("%s\n", QelSendProperty::format_message(MemoryLeak, "x").c_str());
  return 0;
}
CPP
c++ -std=c++17 -Wall -Wextra -Werror "$prefix/consumer.cpp" $(pkg-config --cflags --libs qelmq) \
  -o "$prefix/by_pkgconfig_cxx"
out=$(LD_LIBRARY_PATH="$prefix/usr/lib" "$prefix/by_pkgconfig_cxx")
grep -qx "MemoryLeak:///x" <<<"$out"

mkdir "$prefix/cm"
cat > "$prefix/cm/CMakeLists.txt" <<CM
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(QELMQ REQUIRED)
add_executable(consumer $prefix/consumer.c)
target_link_libraries(consumer PRIVATE QELMQ::QELMQLib)
CM
cmake -S "$prefix/cm" -B "$prefix/cm/b" -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null
cmake --build "$prefix/cm/b" >/dev/null
out=$(LD_LIBRARY_PATH="$prefix/usr/lib" "$prefix/cm/b/consumer")
grep -qx "result 5" <<<"$out"
echo "installed runtime consumed from C and C++ through pkg-config and find_package"
