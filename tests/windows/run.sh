#!/usr/bin/env bash
# The Windows builds, tested under Wine.
#
#   tests/windows/run.sh            cross-build, run the checks this machine can run
#   tests/windows/run.sh --which    print the path this machine takes, and why
#   tests/windows/run.sh --help
#
# Two paths, chosen by whether this machine runs 32-bit x86 code (a 93-byte
# i386 program is started: a kernel without IA-32 emulation refuses it with
# "Exec format error", and so it refuses wine32's loader):
#   i686    it does: the 32-bit build (PE32), every check under wine32
#   x86_64  it does not: the 32-bit build is checked without running it (pe,
#           exports); the 64-bit build (PE32+) runs every check under wine64
# QEL_WIN_ARCH forces a path: i686, x86_64 (or x64), or all (both builds,
# every check under each Wine); auto, the default, decides as above.
#
# Steps per build: its dependencies (tools/windows/build-deps.sh ARCH, cached
# outside the clone), the cross build with cmake/toolchain-ARCH-w64-mingw32.cmake,
# the Linux collector in build/, a Wine prefix in the cache, then the checks:
#   pe         every output is PE32 for Intel 80386 (PE32+ for x86-64) and
#              needs only system DLLs
#   exports    QELMQLib.dll exports the probes, classes and globals
#   golden     orrin_drive on the shipped vectors: the Linux golden output
#   widths     orrin_drive at the limits of the Windows type widths
#   probe-widths  the value probes at the limits of the C types, a leaked
#              block and a foreign pointer, under the collector
#   errors     orrin_drive's messages and exit statuses for bad vectors
#   runner     orrin_drive's --filter patterns
#   crash      a program that crashes (access violation, division by zero,
#              illegal instruction, abort(), with and without handlers of its
#              own), leaves, or recovers: exact counts and a crash report
#              reach the collector, and it ends with the exception's code
#   isolate    --isolate: a child process per test case; passes, a failure,
#              crashes, a hang and an early exit give Linux's verdicts, JUnit
#              and TAP; the shipped vectors give the golden output
#   dll-cycle  the runtime loaded with LoadLibrary, freed, then exit(3);
#              and a program that ends with ExitProcess(5)
#   e2e-bind   the instrumented demo under Wine, qelcollect on Linux
#              connecting over loopback: exact counts, traces
#   e2e-connect  the same with Server.cfg (CRLF lines) in connect mode
# Exit status: 0 when every check passed, 1 when one failed, 2 on usage errors.
#
# Environment: QEL_WIN_ARCH (above), QEL_WIN_CACHE (default
# ~/.cache/qelmq-win32), QEL_WIN_BUILD (default build-win32, the i686 build),
# QEL_WIN64_BUILD (default build-win64, the x86_64 build), QEL_LINUX_BUILD
# (default build).
set -uo pipefail
# One compound command to its end: bash reads all of it before it runs any,
# so a checkout or an edit during a run cannot change the run.
{

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; }
mode=run
case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  --which) mode=which ;;
  "") ;;
  *) echo "run.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
esac

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
HERE=$ROOT/tests/windows
CACHE=${QEL_WIN_CACHE:-$HOME/.cache/qelmq-win32}
export QEL_WIN_CACHE=$CACHE
LINUX_BUILD=$ROOT/${QEL_LINUX_BUILD:-build}
JOBS=$(nproc)
START=$(date +%s)

say() { echo "== $* ($(($(date +%s) - START)) s)"; }
die() { echo "run.sh: $*" >&2; exit 1; }

# ---- which path ------------------------------------------------------------

# Starts the smallest static i386 program there is: ELF header, one loadable
# segment, and "xor ebx,ebx; mov bl,42; xor eax,eax; inc eax; int 0x80"
# (exit(42)). Sets I386_WHY; true when it ran.
runs_i386() {
  local probe out rc
  mkdir -p "$CACHE" || { I386_WHY="no cache folder $CACHE"; return 1; }
  probe=$(mktemp "$CACHE/i386-probe.XXXXXX") || { I386_WHY="no probe file in $CACHE"; return 1; }
  printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
    '\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\x31\xdb\xb3\x2a\x31\xc0\x40\xcd\x80' >"$probe"
  chmod +x "$probe"
  # Started by bash itself, whose message for ENOEXEC names the error (the
  # C library's execvp would hand the file to /bin/sh instead), in English.
  out=$(export LC_ALL=C; "$probe" 2>&1)
  rc=$?
  rm -f "$probe"
  case "$rc:$out" in
    42:*) I386_WHY="this machine runs 32-bit x86 code"; return 0 ;;
    *"Exec format error"*) I386_WHY="this machine runs no 32-bit x86 code (Exec format error: IA-32 emulation off)" ;;
    # Not a verdict on the processor (a cache on a noexec mount, say): the
    # 64-bit path runs on every x86-64 machine.
    *) I386_WHY="a 32-bit x86 program could not be started (status $rc: ${out:-no message})" ;;
  esac
  return 1
}

# Sets PATH_ARCH (i686, x86_64 or all) and PATH_WHY.
choose_path() {
  case "${QEL_WIN_ARCH:-auto}" in
    auto|"")
      if runs_i386; then PATH_ARCH=i686; else PATH_ARCH=x86_64; fi
      PATH_WHY=$I386_WHY ;;
    i686) PATH_ARCH=i686 PATH_WHY="forced by QEL_WIN_ARCH=$QEL_WIN_ARCH" ;;
    x86_64|x64) PATH_ARCH=x86_64 PATH_WHY="forced by QEL_WIN_ARCH=$QEL_WIN_ARCH" ;;
    all) PATH_ARCH=all PATH_WHY="forced by QEL_WIN_ARCH=all" ;;
    *) echo "run.sh: QEL_WIN_ARCH must be auto, i686, x86_64 (x64) or all, not '$QEL_WIN_ARCH'" >&2
       exit 2 ;;
  esac
}

choose_path
if [ "$mode" = which ]; then
  echo "$PATH_ARCH"
  echo "$PATH_WHY" >&2
  exit 0
fi
case "$PATH_ARCH" in
  i686) say "path: 32-bit, every check of the PE32 build under wine32 ($PATH_WHY)" ;;
  x86_64) say "path: 64-bit, the PE32 build checked without running it, every check of the PE32+ build under wine64 ($PATH_WHY)" ;;
  all) say "path: both, every check of the PE32 build under wine32 and of the PE32+ build under wine64 ($PATH_WHY)" ;;
esac

# ---- builds --------------------------------------------------------------

# The collector runs on the Linux side; qelcc, a build-time tool, instruments
# the demo's C source for the cross compiler; the isolation check compares
# with the runner built for Linux.
say "Linux collector, instrumenter and runner"
if [ ! -f "$LINUX_BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$LINUX_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON \
    >/dev/null || die "Linux configure failed"
fi
cmake --build "$LINUX_BUILD" -j"$JOBS" --target qelcollect qelcc qel_drive_runner >/dev/null ||
  die "qelcollect/qelcc/qel_drive_runner build failed"
COLLECT=$LINUX_BUILD/tools/collector/qelcollect
QELCC=$LINUX_BUILD/tools/qelcc/qelcc

# use_arch <i686|x86_64>: the build, stage and Wine of that architecture.
use_arch() {
  ARCH=$1
  TRIPLE=$ARCH-w64-mingw32
  if [ "$ARCH" = i686 ]; then
    WIN_BUILD=$ROOT/${QEL_WIN_BUILD:-build-win32}
    PE_FORMAT='^PE32 executable.*Intel 80386'
    WINE=wine WINE_ARCH=win32 WINE_PREFIX=$CACHE/wine
  else
    WIN_BUILD=$ROOT/${QEL_WIN64_BUILD:-build-win64}
    PE_FORMAT='^PE32\+ executable.*x86-64'
    # The 64-bit loader by name: the `wine` wrapper prefers the 32-bit one
    # where both are installed, and this path must not need it.
    WINE=/usr/lib/wine/wine64 WINE_ARCH=win64 WINE_PREFIX=$CACHE/wine64
  fi
  STAGE=$WIN_BUILD/stage
}

# cross_build: the dependencies, then the outputs a team receives, staged
# beside each other.
cross_build() {
  local prefix
  say "$ARCH: dependencies"
  prefix=$("$ROOT/tools/windows/build-deps.sh" "$ARCH") || die "$ARCH: dependency build failed"
  WIN_PREFIX=$prefix
  say "$ARCH: cross build"
  cmake -S "$ROOT" -B "$WIN_BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$TRIPLE.cmake" \
    -DQEL_WIN_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON \
    -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=OFF -DQEL_QELCC_PROGRAM="$QELCC" >/dev/null ||
    die "$ARCH: cross configure failed"
  cmake --build "$WIN_BUILD" -j"$JOBS" --target QELMQLib orrin orrin_drive qel_demo qel_hello ||
    die "$ARCH: cross build failed"
  rm -rf "$STAGE" && mkdir -p "$STAGE"
  cp "$WIN_BUILD/runtime/QELMQLib.dll" "$WIN_BUILD/runtime/qel_hello.exe" \
    "$WIN_BUILD/examples/qel_demo.exe" "$WIN_BUILD/sample/orrin.exe" \
    "$WIN_BUILD/driver/orrin_drive.exe" "$STAGE/" || die "$ARCH: staging failed"
}

# ---- Wine ------------------------------------------------------------------

# start_wine: this architecture's Wine and prefix for the checks that follow.
start_wine() {
  export WINEPREFIX=$WINE_PREFIX WINEARCH=$WINE_ARCH WINEDEBUG=-all
  # Processes Wine starts by itself (wineboot's, services) use this loader.
  if [ "$WINE" = wine ]; then unset WINELOADER; else export WINELOADER=$WINE; fi
  # Console programs only: no display, no Mono or Gecko installer prompts;
  # an unhandled exception ends the program without Wine's debugger, whose
  # dump would take seconds and bury the output (the exit code is the same).
  export WINEDLLOVERRIDES="mscoree=;mshtml=;winedbg.exe=d"
  unset DISPLAY WAYLAND_DISPLAY
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "$ARCH: Wine prefix $WINEPREFIX"
    "$WINE" wineboot.exe -i >/dev/null 2>&1 || die "$ARCH: wineboot failed"
  fi
}
# Ends the Wine server of the current prefix (kept running across the checks).
stop_wine() { [ -z "${WINEPREFIX:-}" ] || wineserver -k >/dev/null 2>&1 || true; }

win() { timeout -s KILL 120 "$WINE" "$@"; }
restart_wineserver() { wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1; true; }
# The Windows form of an absolute Linux path, as `winepath -w` prints it (a
# Wine prefix maps drive Z: to "/") without starting Wine for it: one start
# fewer per use, and none that can fail right after a check restarted the
# server (the e2e check's traces once differed by that).
winpath() { local p=$1; printf 'Z:%s\n' "${p//\//\\}"; }
# Windows writes standard output in text mode: each "\n" becomes "\r\n".
crlf() { perl -pe 's/\n/\r\n/g' "$1"; }

# The runtime's ports are fixed: a network namespace of our own when we may
# make one, otherwise the lock every other user of the ports takes.
if unshare --net true 2>/dev/null && command -v ip >/dev/null; then
  isolated() { unshare --net sh -c 'ip link set lo up && exec "$@"' sh "$@"; }
else
  isolated() { flock /tmp/qel-ports.lock "$@"; }
fi

# ---- checks ----------------------------------------------------------------

failed=()
pass() { echo "PASS $ARCH $1"; }
fail() { echo "FAIL $ARCH $1: $2"; failed+=("$ARCH:$1"); }
WORK_ROOT=$(mktemp -d)
trap 'rm -rf "$WORK_ROOT"; stop_wine' EXIT

check_pe() {
  local bad=""
  for f in "$STAGE"/*.dll "$STAGE"/*.exe; do
    file -b "$f" | grep -Eq "$PE_FORMAT" || bad+=" $(basename "$f"): $(file -b "$f");"
    # Self-contained: only DLLs every Windows (and Wine) has.
    local dll
    for dll in $("$TRIPLE-objdump" -p "$f" | awk '/DLL Name:/ {print $3}'); do
      case "${dll,,}" in
        kernel32.dll|msvcrt.dll|ws2_32.dll|iphlpapi.dll|advapi32.dll|user32.dll|qelmqlib.dll) ;;
        *) bad+=" $(basename "$f") needs $dll;" ;;
      esac
    done
  done
  (cd "$STAGE" && file ./*.dll ./*.exe) | sed 's/^/     /'
  [ -z "$bad" ] && pass pe || fail pe "$bad"
}

# One list for both architectures: every name in it is the same on each.
check_exports() {
  local names missing=""
  names=$("$TRIPLE-objdump" -p "$STAGE/QELMQLib.dll" |
          sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '{print $NF}')
  while read -r sym; do
    [ -z "$sym" ] || [ "${sym:0:1}" = "#" ] && continue
    grep -qx -- "$sym" <<<"$names" || missing+=" $sym"
  done <"$HERE/exports.txt"
  echo "     $(wc -l <<<"$names") names exported, e.g. $(grep -E '^(QelNode|_Z17QelSendMethodTimeiii)$' <<<"$names" | tr '\n' ' ')"
  [ -z "$missing" ] && pass exports || fail exports "not exported:$missing"
}
# drive <name> <root> <stdin> <expected stdout (LF)> <expected status>
drive() {
  local name=$1 root=$2 input=$3 expected=$4 status=$5 rc
  (cd "$STAGE" && win ./orrin_drive.exe "$(winpath "$root")") <"$input" \
    >"$WORK/$name.out" 2>"$WORK/$name.err"
  rc=$?
  if [ "$rc" -ne "$status" ]; then
    fail "$name" "exit status $rc, expected $status; stderr: $(head -c 400 "$WORK/$name.err")"
  elif ! crlf "$expected" | cmp -s - "$WORK/$name.out"; then
    fail "$name" "standard output differs: $(crlf "$expected" | cmp - "$WORK/$name.out" 2>&1)"
  else
    pass "$name"
  fi
}

# A project root holding the shipped vectors, with `$2` in place of its group.
project_with() {
  local dir=$WORK/$1
  mkdir -p "$dir/Korvo_Projects/Value"
  cp "$ROOT"/sample/Korvo_Projects/Value/*.json "$dir/Korvo_Projects/Value/"
  [ $# -ge 2 ] && cp -f "$2" "$dir/Korvo_Projects/Value/"
  echo "$dir"
}

check_errors() {
  local dir rc
  dir=$(project_with errors)
  printf '// bad\n{ "BuiltinTypeLongLong0": { "ll_long": 3000000000 } }\n' \
    >"$dir/Korvo_Projects/Value/Value_BuiltinType.json"
  (cd "$STAGE" && win ./orrin_drive.exe "$(winpath "$dir")") <"$ROOT/tests/golden/shipped_vectors.in" \
    >/dev/null 2>"$WORK/errors.err"
  rc=$?
  # The shipped vectors hold expectations, so the run checks: the bad test
  # case is an error of its own and the others still run.
  if [ "$rc" -ne 1 ] || ! grep -q '^\[ERROR\] BuiltinTypeLongLong0: member "ll_long"' "$WORK/errors.err" ||
     ! grep -q 'does not fit a 32-bit int' "$WORK/errors.err"; then
    fail errors "out-of-range long long: status $rc, stderr: $(head -c 300 "$WORK/errors.err")"
    return
  fi
  (cd "$STAGE" && win ./orrin_drive.exe a b) </dev/null >/dev/null 2>&1
  rc=$?
  [ "$rc" -eq 2 ] || { fail errors "two arguments: status $rc, expected 2"; return; }
  rm -rf "$dir/Korvo_Projects/Value"/*
  (cd "$STAGE" && win ./orrin_drive.exe "$(winpath "$dir")") </dev/null >/dev/null 2>"$WORK/errors.err"
  rc=$?
  if [ "$rc" -ne 0 ] || [ "$(grep -c 'Value_' "$WORK/errors.err")" -lt 7 ]; then
    fail errors "missing files: status $rc, stderr: $(head -c 300 "$WORK/errors.err")"
    return
  fi
  pass errors
}

# --filter's shell patterns, brackets included, list what they list on
# Linux (one matcher on both).
check_runner() {
  local got
  got=$(cd "$STAGE" && win ./orrin_drive.exe --list --filter 'Builtin?ype*Lo*0' --filter '*Two?' \
    --filter 'Struct*[34]0' \
    "$(winpath "$ROOT/sample")" </dev/null 2>/dev/null | tr -d '\r')
  if [ "$got" = "$(printf '%s\n' ArrayTypeTwo0 BuiltinTypeLong0 BuiltinTypeLongLong0 \
    BuiltinTypeLongDouble0 PointTypeTwo0 StructTypeTest30 StructTypeTest40)" ]; then
    pass runner
  else
    fail runner "--filter listed: $(echo "$got" | tr '\n' ' ')"
  fi
}

# crash/win_crash.c in every mode of crash/modes.txt, started by
# crash/exit_code.exe (which prints the whole exit code; Linux sees only its
# low byte) under `qelcollect --bind`, the program connecting by its
# Server.cfg: its exit code, what it printed, and in the collector's report
# every one of its node hits, its other records and the crash report.
check_crash() {
  local dir=$WORK/crash calls=200000 problems="" mode code reports name type cause printed rc got line
  mkdir -p "$dir"
  cp "$STAGE/QELMQLib.dll" "$dir/"
  "$TRIPLE-gcc-posix" -Wall -Wextra -Werror -I"$ROOT/runtime/include" -o "$dir/win_crash.exe" \
    "$HERE/crash/win_crash.c" "$dir/QELMQLib.dll" &&
    "$TRIPLE-gcc-posix" -Wall -Wextra -Werror -o "$dir/exit_code.exe" "$HERE/crash/exit_code.c" ||
    { fail crash "does not compile"; return; }
  printf 'config_ip=127.0.0.1\r\nconfig_state=1\r\n' >"$dir/Server.cfg"
  while IFS='|' read -r mode code reports name type cause printed; do
    [ -z "$mode" ] || [ "${mode:0:1}" = "#" ] && continue
    restart_wineserver
    (cd "$dir" && isolated timeout -s KILL 120 "$COLLECT" --bind --host 127.0.0.1 \
      --report "$dir/$mode.report" --timeout 90 -- env -u QELMQ_CONFIG "$WINE" ./exit_code.exe \
      win_crash.exe "$mode" "$calls") >"$dir/$mode.log" 2>&1
    rc=$?
    restart_wineserver
    tr -d '\r' <"$dir/$mode.log" >"$dir/$mode.lf"
    local wrong=""
    # 3: the collector received a crash report.
    [ "$rc" -eq 3 ] || wrong+=" qelcollect exit status $rc;"
    got=$(sed -n 's/^exit code //p' "$dir/$mode.lf")
    [ "$got" = "$code" ] || wrong+=" exit code '$got', expected $code;"
    got=$(grep -E '^(probed|crashing|recovered|own .* ran|unmapped memory was writable)$' \
      "$dir/$mode.lf" | paste -sd'|')
    [ "$got" = "$printed" ] || wrong+=" printed '$got', expected '$printed';"
    [ "$(grep -cE "^    node [0-4] +hits $((calls / 5))\$" "$dir/$mode.report")" -eq 5 ] ||
      wrong+=" node counts: $(grep -E '^    node ' "$dir/$mode.report" | tr -s ' ' | paste -sd',');"
    for line in "  unit 7: 5 nodes hit, $calls hits" "  record: x=42 (QEL_INT)" \
      "-- Crash reports: $reports" "  name \"$name\" type \"$type\" cause \"$cause\"" \
      "  CrashLastDD of \"$name\": 50 entries, last 7 4"; do
      grep -qxF -- "$line" "$dir/$mode.report" || wrong+=" report lacks '$line';"
    done
    grep -qE '^  unit 7 cond 1 +true 1 +false 0' "$dir/$mode.report" || wrong+=" no condition record;"
    grep -qE '^  7 +9 +1234 +1$' "$dir/$mode.report" || wrong+=" no timing record;"
    if [ -z "$wrong" ]; then
      echo "     $mode: exit code $code, $calls hits, cause \"$cause\""
    else
      problems+=" $mode:$wrong"
    fi
  done <"$HERE/crash/modes.txt"
  if [ -z "$problems" ]; then pass crash; else fail crash "$problems (files in $dir)"; fi
}

# isolate_run <dir> <root> <name> <report option...> -- <command...>: the
# fixture run with --isolate from <dir> on <root>, its standard output,
# error and exit status kept as <dir>/<name>.*.
isolate_run() {
  local dir=$1 root=$2 name=$3 options=()
  shift 3
  while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  (cd "$dir" && timeout -s KILL 120 "$@" --isolate --timeout 3 "${options[@]}" "$root") \
    </dev/null >"$dir/$name.out" 2>"$dir/$name.err"
  echo $? >"$dir/$name.status"
}

# What may differ between the Linux and the Windows run: line ends, times,
# the vector file's path, and how a crash is named (signal or exception).
isolate_normalized() {
  tr -d '\r' <"$1" | sed -E -e 's/time="[0-9.]+"/time="T"/g' -e "s#value=\"[^\"]*/vectors/#value=\"ROOT/vectors/#" \
    -e 's/crashed with (signal [0-9]+|exception 0x[0-9A-F]{8}) \([^)]*\)/crashed with CRASH/g'
}

# isolate/isolate_fixture.cpp built for Windows and for Linux on the same
# runner, run with --isolate on isolate/Value_Fixture.json: each test case in
# a child process of its own; on Windows the driver starts itself. Both runs
# must give the same output, verdicts, JUnit and TAP, the crashes' names
# aside, which must name the exceptions. Then orrin_drive --isolate on the
# shipped vectors: the golden output and summary.
check_isolate() {
  local dir=$WORK/isolate problems="" f what
  mkdir -p "$dir/win/vectors" "$dir/linux/vectors"
  cp "$HERE/isolate/Value_Fixture.json" "$dir/win/vectors/"
  cp "$HERE/isolate/Value_Fixture.json" "$dir/linux/vectors/"
  "$TRIPLE-g++-posix" -std=c++17 -Wall -Wextra -Werror -I"$ROOT/driver/runner" -I"$WIN_PREFIX/include" \
    -o "$dir/win/isolate_fixture.exe" "$HERE/isolate/isolate_fixture.cpp" \
    "$WIN_BUILD/driver/runner/libqel_drive_runner.a" "$WIN_BUILD/tools/common/libqeltools_cli.a" \
    "$WIN_BUILD/tools/common/libqeltools_text.a" \
    "$WIN_PREFIX/lib/libjsoncpp.a" -static &&
    g++ -std=c++17 -Wall -Wextra -Werror -I"$ROOT/driver/runner" $(pkg-config --cflags jsoncpp) \
      -o "$dir/linux/isolate_fixture" "$HERE/isolate/isolate_fixture.cpp" \
      "$LINUX_BUILD/driver/runner/libqel_drive_runner.a" "$LINUX_BUILD/tools/common/libqeltools_cli.a" \
      "$LINUX_BUILD/tools/common/libqeltools_process.a" "$LINUX_BUILD/tools/common/libqeltools_text.a" \
      $(pkg-config --libs jsoncpp) ||
    { fail isolate "the fixture does not compile"; return; }
  # The Linux runs wait for their hang meanwhile.
  (isolate_run "$dir/linux" "$dir/linux" junit --junit junit.xml -- ./isolate_fixture
   isolate_run "$dir/linux" "$dir/linux" tap --tap -- ./isolate_fixture) &
  local linux=$! root
  root=$(winpath "$dir/win")
  isolate_run "$dir/win" "$root" junit --junit junit.xml -- "$WINE" ./isolate_fixture.exe
  isolate_run "$dir/win" "$root" tap --tap -- "$WINE" ./isolate_fixture.exe
  wait "$linux"
  for f in junit.status junit.out junit.err junit.xml tap.status tap.out tap.err; do
    cmp -s <(isolate_normalized "$dir/linux/$f") <(isolate_normalized "$dir/win/$f") ||
      problems+=" $f differs from Linux: $(diff <(isolate_normalized "$dir/linux/$f") \
        <(isolate_normalized "$dir/win/$f") | grep '^[<>]' | head -n 6 | tr '\n' ' ');"
  done
  for what in "[ERROR] Crash0: crashed with exception 0xC0000005 (access violation)" \
    "[ERROR] Divide0: crashed with exception 0xC0000094 (integer division by zero)" \
    "[ERROR] Abort0: crashed with signal 22 (Aborted)" "[ERROR] Hang0: timed out after 3 s" \
    "3 passed, 6 failed"; do
    tr -d '\r' <"$dir/win/junit.err" | grep -qxF -- "$what" || problems+=" no '$what';"
  done
  echo "     fixture: $(tr -d '\r' <"$dir/win/junit.err" | tail -n 1), status $(cat "$dir/win/junit.status"), as on Linux"
  (cd "$STAGE" && win ./orrin_drive.exe --isolate "$(winpath "$ROOT/sample")") </dev/null \
    >"$dir/golden.out" 2>"$dir/golden.err"
  crlf "$ROOT/tests/golden/shipped_vectors.out" | cmp -s - "$dir/golden.out" ||
    problems+=" shipped vectors: standard output differs from the golden output;"
  tr -d '\r' <"$dir/golden.err" | grep -qxF "34 passed, 0 failed, 1 skipped" ||
    problems+=" shipped vectors: $(tr -d '\r' <"$dir/golden.err" | tail -n 1);"
  if [ -z "$problems" ]; then pass isolate; else fail isolate "$problems (files in $dir)"; fi
}

# The probes at the limits of the C types and at the pointer width
# (widths/probe_widths.c, built by this architecture's compiler with its
# default long double, as instrumented code is): the type sizes this
# architecture's file names, the value record and the leaked block in the
# collector's report, and the trace of a foreign pointer given to QelDelete.
check_probe_widths() {
  local dir=$WORK/probe-widths rc problems="" line
  mkdir -p "$dir"
  cp "$STAGE/QELMQLib.dll" "$dir/"
  "$TRIPLE-gcc-posix" -Wall -Wextra -Werror -I"$ROOT/runtime/include" -o "$dir/probe_widths.exe" \
    "$HERE/widths/probe_widths.c" "$dir/QELMQLib.dll" || { fail probe-widths "does not compile"; return; }
  printf 'config_ip=127.0.0.1\r\nconfig_state=1\r\n' >"$dir/Server.cfg"
  restart_wineserver
  isolated timeout -s KILL 120 "$COLLECT" --bind --host 127.0.0.1 --report "$dir/report.txt" \
    --timeout 90 -- env -u QELMQ_CONFIG "$WINE" "$dir/probe_widths.exe" >"$dir/program.log" 2>&1
  rc=$?
  restart_wineserver
  tr -d '\r' <"$dir/program.log" >"$dir/program.lf"
  [ "$rc" -eq 0 ] || problems+=" qelcollect exit status $rc;"
  line=$(grep -E '^int [0-9]+, long' "$dir/program.lf")
  echo "     $line"
  [ "$line" = "$(cat "$HERE/widths/sizes-$ARCH.txt")" ] || problems+=" type sizes: '$line';"
  grep -Eq '^QelDelete of [0-9A-Fa-fx]+ ignored: .*\(called from probe_widths\.exe \[\+0x[0-9a-f]+\]\)::[0-9]+$' \
    "$dir/program.lf" || problems+=" no QelDelete trace naming the caller;"
  while IFS= read -r line; do
    [ -z "$line" ] || [ "${line:0:1}" = "#" ] && continue
    grep -qF -- "$line" "$dir/report.txt" || problems+=" report lacks '$line';"
  done <"$HERE/widths/probe_widths_report.txt"
  if [ -z "$problems" ]; then pass probe-widths; else fail probe-widths "$problems (files in $dir)"; fi
}

# expected_traces <template> <program output> <program dir>: the template
# with the process id the output shows and the program's Windows folder.
expected_traces() {
  local winpid windir
  winpid=$(sed -n 's/^renew thread_ins::v0::\.!::\([0-9]*\)$/\1/p' "$2" | head -n1)
  windir=$(winpath "$3/")
  sed -e "s/<pid>/$winpid/g" -e "s|<dir>|${windir//\\/\\\\}|g" "$1"
}

# The runtime loaded with LoadLibrary and freed: it stays until the process
# exits, shuts down then, and leaves the program's exit status alone. Ended
# by ExitProcess, which kills the runtime's threads first, the process still
# ends at once, with its status.
check_dll_cycle() {
  local dir=$WORK/dll-cycle
  mkdir -p "$dir"
  cp "$STAGE/QELMQLib.dll" "$dir/"
  "$TRIPLE-gcc-posix" -Wall -Wextra -Werror -o "$dir/dll_cycle.exe" "$HERE/dll_cycle.c" ||
    { fail dll-cycle "does not compile"; return; }
  local mode status expected rc problems="" attempt
  for mode in exit ExitProcess; do
    status=3 expected=$HERE/dll_cycle.txt
    [ "$mode" = ExitProcess ] && status=5 expected=$HERE/dll_exitprocess.txt
    for attempt in 1 2; do
      restart_wineserver
      (cd "$dir" && isolated timeout -s KILL 60 "$WINE" ./dll_cycle.exe "$mode") >"$dir/$mode.out" 2>&1
      rc=$?
      restart_wineserver
      # Wine's own process killed by SIGSEGV, not an exit status of the
      # program: 32-bit Wine 8 does that to about one ExitProcess in 20 that
      # ends threads still setting up their sockets, with or without the
      # runtime (a plain libzmq program does it too). Once more, then it counts.
      [ "$mode" = ExitProcess ] && [ "$rc" -eq 139 ] && [ "$attempt" -eq 1 ] || break
      echo "     $mode: Wine itself died of SIGSEGV (status 139); once more"
    done
    # Without a collector the exit names what it dropped: counts that depend
    # on timing (the leak report at load), not part of the expected lines.
    tr -d '\r' <"$dir/$mode.out" | grep -v -e '^$' -e '^send ' -e '^messages dropped, ' >"$dir/$mode.lf"
    if [ "$rc" -ne "$status" ]; then
      problems+=" $mode: exit status $rc, expected $status: $(tr '\n' '|' <"$dir/$mode.lf");"
    elif ! diff <(expected_traces "$expected" "$dir/$mode.lf" "$dir") "$dir/$mode.lf" >/dev/null; then
      problems+=" $mode: output differs: $(tr '\n' '|' <"$dir/$mode.lf");"
    fi
  done
  if [ -z "$problems" ]; then pass dll-cycle; else fail dll-cycle "$problems"; fi
}

# e2e <name> <qelcollect options...>: the demo from $WORK/<name>/ under the
# collector; then its report, JSON lines and traces against the expectations.
e2e() {
  local name=$1; shift
  local dir=$WORK/$name rc
  local out=$dir/messages.jsonl report=$dir/report.txt log=$dir/program.log
  # Wine opens a program's sockets inside the Wine server: the server must
  # be started from within the collector's network namespace, not reused.
  restart_wineserver
  # Without QELMQ_CONFIG, which qelcollect sets for the programs it starts:
  # the demo reads the Server.cfg beside it, found by its Windows path.
  isolated timeout -s KILL 180 "$COLLECT" "$@" --out "$out" --report "$report" --timeout 150 \
    -- env -u QELMQ_CONFIG "$WINE" "$dir/qel_demo.exe" "${DEMO_ARGS[@]}" >"$log" 2>&1
  rc=$?
  restart_wineserver
  tr -d '\r' <"$log" >"$log.lf"
  local problems=""
  [ "$rc" -eq 0 ] || problems+=" qelcollect exit status $rc;"
  grep -q '5 of 5 test cases passed' "$log.lf" || problems+=" demo did not pass;"
  # qelcc derives a new unit's id from its source and object paths, so the
  # id depends on where the tree and the build are: the lines are compared
  # with every id written as "unit N" (the demo has one instrumented unit).
  local unit_n='s/(^|[^a-z])unit [0-9]+/\1unit N/g'
  sed -E "$unit_n" "$report" >"$report.unit-n"
  while IFS= read -r line; do
    [ -z "$line" ] || [ "${line:0:1}" = "#" ] && continue
    grep -qF -- "$(sed -E "$unit_n" <<<"$line")" "$report.unit-n" || problems+=" report lacks '$line';"
  done <"$HERE/e2e_report.txt"
  # Exact counts per port, from the decoded messages.
  local counts expected
  # Coverage ports: the sums of the counts (a record may be split over
  # several messages, one per send window); the other ports: messages. Leak
  # reports are left out: whether the one at load reaches the collector
  # depends on when it connects (the report below checks the last one).
  counts=$(awk '
    { port = ""; kind = ""; count = 0
      if (match($0, /"port":[0-9]+/)) port = substr($0, RSTART + 7, RLENGTH - 7)
      if (match($0, /"kind":"[a-z_]+"/)) kind = substr($0, RSTART + 8, RLENGTH - 9)
      if (match($0, /"count":[0-9]+/)) count = substr($0, RSTART + 8, RLENGTH - 8)
      if (kind == "leak") next
      n[port " " kind] += (kind == "node" || kind == "condition" || kind == "mcdc") ? count : 1 }
    END { for (k in n) printf "%s %d\n", k, n[k] }' "$out" | sort)
  expected=$(grep -v '^#' "$HERE/e2e_counts.txt" | sort)
  [ "$counts" = "$expected" ] || problems+=" per-port counts differ: $(diff <(echo "$expected") <(echo "$counts") | grep '^[<>]' | tr '\n' ' ');"
  # Traces: start and stop, in order, with the Windows module path.
  local traces
  traces=$(grep -E '^(renew |Current EXEPAth:|pthread_create|-pthread_create|~)' "$log.lf")
  [ "$traces" = "$(expected_traces "$HERE/traces.txt" "$log.lf" "$dir")" ] ||
    problems+=" traces differ: $(echo "$traces" | tr '\n' '|');"
  if [ -z "$problems" ]; then pass "$name"; else fail "$name" "$problems (files in $dir)"; fi
}


# run_checks: every check of the current architecture's build, under its Wine.
run_checks() {
  start_wine
  say "$ARCH: checks"
  check_pe
  check_exports
  drive golden "$ROOT/sample" "$ROOT/tests/golden/shipped_vectors.in" \
    "$ROOT/tests/golden/shipped_vectors.out" 0
  drive widths "$(project_with widths "$HERE/widths/Value_BuiltinType.json")" \
    "$ROOT/tests/golden/shipped_vectors.in" "$HERE/widths/widths.out" 0
  check_probe_widths
  check_errors
  check_runner
  check_crash
  check_isolate
  check_dll_cycle

  mkdir -p "$WORK/e2e-bind" "$WORK/e2e-connect"
  cp "$STAGE/QELMQLib.dll" "$STAGE/qel_demo.exe" "$WORK/e2e-bind/"
  cp "$STAGE/QELMQLib.dll" "$STAGE/qel_demo.exe" "$WORK/e2e-connect/"
  printf 'config_ip = 127.0.0.1\r\nconfig_state=1\r\nno_mcdc=0\r\n' >"$WORK/e2e-connect/Server.cfg"
  # A host given without --bind: the collector connects to the demo, which
  # binds and waits for it to reach every port before its shutdown.
  DEMO_ARGS=(--wait-ms 1500)
  e2e e2e-bind --host 127.0.0.1
  DEMO_ARGS=()
  e2e e2e-connect --bind --host 127.0.0.1
  stop_wine
}

# static_checks: what can be checked of the current architecture's build
# without running it.
static_checks() {
  say "$ARCH: checks without running"
  check_pe
  check_exports
}

case "$PATH_ARCH" in
  i686|all)
    [ "${QEL_WIN_ARCH:-auto}" = auto ] || runs_i386 || die "32-bit path forced, but $I386_WHY" ;;
esac
case "$PATH_ARCH" in
  i686) runs=(i686) statics=() ;;
  x86_64) runs=(x86_64) statics=(i686) ;;
  all) runs=(i686 x86_64) statics=() ;;
esac
for arch in "${statics[@]}" "${runs[@]}"; do
  use_arch "$arch"
  WORK=$WORK_ROOT/$arch
  mkdir -p "$WORK"
  cross_build
  if [[ " ${runs[*]} " == *" $arch "* ]]; then run_checks; else static_checks; fi
done

say "done"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  # Keep the evidence of a failed run.
  trap stop_wine EXIT
  exit 1
fi
case "$PATH_ARCH" in
  i686) echo "all Windows checks passed: 32-bit path (PE32 under wine32)" ;;
  x86_64) echo "all Windows checks passed: 64-bit path (PE32 checked without running it, PE32+ under wine64)" ;;
  all) echo "all Windows checks passed: both builds (PE32 under wine32, PE32+ under wine64)" ;;
esac
exit
}
