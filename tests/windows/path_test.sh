#!/usr/bin/env bash
# Which path tests/windows/run.sh takes: QEL_WIN_ARCH forces one and refuses
# anything else; left to itself, its i386 probe must agree with what this
# machine really does. A probe that wrongly said "no 32-bit code" would
# silently drop the 32-bit checks; one that wrongly said "yes" would fail CI
# on machines without IA-32 emulation.
# Exit status: 0 passed, 1 failed, 77 when nothing 32-bit is installed to
# compare the probe with (the forced paths were still checked).
set -uo pipefail
RUN=$(cd "$(dirname "$0")" && pwd)/run.sh
CACHE=$(mktemp -d)
trap 'rm -rf "$CACHE"' EXIT
export QEL_WIN_CACHE=$CACHE
failures=0
check() { # check <what> <expected> <got>
  if [ "$2" = "$3" ]; then echo "ok   $1: $3"; else echo "FAIL $1: '$3', expected '$2'"; failures=$((failures + 1)); fi
}

for pair in i686:i686 x86_64:x86_64 x64:x86_64 all:all; do
  check "QEL_WIN_ARCH=${pair%%:*}" "${pair#*:}" "$(QEL_WIN_ARCH=${pair%%:*} "$RUN" --which 2>/dev/null)"
done
err=$(QEL_WIN_ARCH=arm64 "$RUN" --which 2>&1 >/dev/null)
check "QEL_WIN_ARCH=arm64 status" 2 "$(QEL_WIN_ARCH=arm64 "$RUN" --which >/dev/null 2>&1; echo $?)"
check "QEL_WIN_ARCH=arm64 message" yes "$(grep -q "QEL_WIN_ARCH must be" <<<"$err" && echo yes || echo "no: $err")"

auto=$(env -u QEL_WIN_ARCH "$RUN" --which 2>"$CACHE/why")
check "probe leaves nothing behind" "" "$(cd "$CACHE" && ls | grep -v '^why$')"
# What this machine really does: the 32-bit Wine loader where it is
# installed, otherwise a 32-bit program of the system's i386 libraries.
truth=""
if [ -x /usr/lib/wine/wine ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then truth=i686; else truth=x86_64; fi
elif [ -x /usr/lib/wine/wineserver32 ]; then
  if /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then truth=i686; else truth=x86_64; fi
fi
if [ -n "$truth" ]; then
  check "auto ($(cat "$CACHE/why"))" "$truth" "$auto"
else
  echo "skip auto: no 32-bit program installed to compare the probe with (probe says $auto: $(cat "$CACHE/why"))"
  [ "$failures" -eq 0 ] && exit 77
fi
[ "$failures" -eq 0 ]
