#!/usr/bin/env bash
# What coverage costs on real code, side by side: cJSON's CTest suite and a
# zlib compress/decompress loop (zloop.c, 4 MiB, level 6, >= 1 s plain), each
# built plain, with gcc --coverage (atomic counters), with clang-19's MC/DC
# coverage and through qelcc (counters in the program), all -O2:
#   - build time, plain and qelcc, wall and CPU seconds;
#   - run time of the suite and of the loop (median of 3, the builds run in
#     turn so that each ratio is taken under the same load); qelcc's under
#     qelcollect --out, as a user runs it;
#   - what a run leaves for the report: qelcollect's run file beside clang's
#     .profraw files;
#   - every report format from that run (qelcollect report) beside gcovr's
#     (HTML with details, Cobertura XML, JSON, text) on the gcov build.
#   tools/realworld/speed_check.sh <cJSON source> <zlib source> [qelmq build dir] [work dir]
# The zlib source is Debian's (`apt-get source zlib`); nothing of it is kept
# in this repository. Needs cmake, make, gcc, python3; clang-19 and gcovr for
# their columns (left out with a note when missing). ROUNDS (default 8) sets
# the loop's rounds. Exit status 0 when every build and run succeeds.
set -euo pipefail

zsrc=$(cd "${2:?usage: speed_check.sh <cJSON source> <zlib source> [qelmq build dir] [work dir]}" && pwd)
. "$(dirname "$0")/common.sh"
realworld_args speed_check.sh "$1" "${@:3}"
[ -f "$src/cJSON.c" ] || { echo "speed_check.sh: $src has no cJSON.c" >&2; exit 2; }
[ -f "$zsrc/zlib.h" ] || { echo "speed_check.sh: $zsrc has no zlib.h" >&2; exit 2; }
rounds=${ROUNDS:-8}
export QELMQ_TRACE=0
have_clang=0
command -v clang-19 >/dev/null 2>&1 && have_clang=1
have_gcovr=0
command -v gcovr >/dev/null 2>&1 && have_gcovr=1
kinds=(plain gcov qelcc)
[ $have_clang = 1 ] && kinds+=(clang)

cc_of() { case $1 in clang) echo clang-19 ;; *) echo gcc ;; esac; }
cflags_of() {
  case $1 in
    gcov) echo "-O2 --coverage -fprofile-update=atomic -pthread" ;;
    clang) echo "-O2 -fprofile-instr-generate -fcoverage-mapping -fcoverage-mcdc" ;;
    *) echo "-O2" ;;
  esac
}
ldflags_of() {
  case $1 in
    gcov) echo "--coverage" ;;
    clang) echo "-fprofile-instr-generate" ;;
    *) echo "" ;;
  esac
}

# ---- builds ----------------------------------------------------------------
declare -A build_s
for k in "${kinds[@]}"; do
  echo "== cJSON, $k build"
  args=(-DENABLE_CJSON_UTILS=ON -DENABLE_CJSON_TEST=ON -DENABLE_CUSTOM_COMPILER_FLAGS=OFF
        -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=None "-DCMAKE_C_COMPILER=$(cc_of $k)"
        "-DCMAKE_C_FLAGS=$(cflags_of $k)" "-DCMAKE_EXE_LINKER_FLAGS=$(ldflags_of $k)")
  if [ $k = qelcc ]; then
    export QELCC_MAP_DIR="$work/maps"
    rm -rf "$QELCC_MAP_DIR"
    args+=(-DCMAKE_C_COMPILER_LAUNCHER="$qelcc" -DCMAKE_C_LINKER_LAUNCHER="$qelcc")
  fi
  build_s[cjson-$k]=$(timed_build "$work/cjson-$k" "${args[@]}")
  echo "== zlib, $k build"
  rm -rf "$work/zlib-$k" && cp -r "$zsrc" "$work/zlib-$k"
  cc="$(cc_of $k)"
  [ $k = qelcc ] && cc="$qelcc $cc"
  wait_for_qelcc_servers
  times >"$work/zlib-$k.cpu0"
  t0=$(now)
  (cd "$work/zlib-$k" && CC="$cc" CFLAGS="$(cflags_of $k)" ./configure --static >/dev/null &&
     QELCC_SERVER_RUSAGE="$work/zlib-$k.server" \
     make -j"${JOBS:-2}" libz.a >"$work/zlib-$k.build.log" 2>&1 &&
     $cc $(cflags_of $k) -I. "$root/tools/realworld/zloop.c" libz.a $(ldflags_of $k) -o zloop) ||
    { cat "$work/zlib-$k.build.log" >&2; exit 1; }
  t1=$(now)
  times >"$work/zlib-$k.cpu1"
  build_cpu "$work/zlib-$k" >"$work/zlib-$k.cpu"
  build_s[zlib-$k]=$(elapsed "$t0" "$t1")
done
unset QELCC_MAP_DIR

# ---- runs --------------------------------------------------------------------
rm -rf "$work/profraw" && mkdir -p "$work/profraw"
lock=()
command -v flock >/dev/null 2>&1 && lock=(flock /tmp/qel-ports.lock)
# run <kind> <what>: one run, its seconds on stdout.
run() {
  local k=$1 what=$2 t0 t1
  local cmd
  if [ "$what" = cjson ]; then
    cmd=(ctest -j1 --output-on-failure)
    cd "$work/cjson-$k"
  else
    cmd=(./zloop "$rounds")
    cd "$work/zlib-$k"
  fi
  find . -name '*.gcda' -delete
  t0=$(now)
  case $k in
    qelcc)
      "${lock[@]}" "$collect" --out "$work/$what.qelrun" --no-report --timeout 900 -- "${cmd[@]}" \
        >"$work/$what-$k.log" 2>&1 ;;
    clang)
      rm -f "$work/profraw/$what"-*.profraw
      LLVM_PROFILE_FILE="$work/profraw/$what-%p.profraw" "${cmd[@]}" >"$work/$what-$k.log" 2>&1 ;;
    *) "${cmd[@]}" >"$work/$what-$k.log" 2>&1 ;;
  esac
  t1=$(now)
  cd - >/dev/null
  elapsed "$t0" "$t1"
}
declare -A runs
for what in cjson zlib; do
  for i in 1 2 3; do
    for k in "${kinds[@]}"; do
      echo "== $what, $k run $i"
      runs[$what-$k]+="$(run $k $what) "
    done
  done
done
median() { python3 -c "import sys; v=sorted(float(x) for x in sys.argv[1:]); print(f'{v[len(v)//2]:.2f}')" $1; }

# ---- what a run leaves, and the reports from it -----------------------------
run_kib=$(du -kc "$work/cjson.qelrun" "$work/zlib.qelrun" | tail -1 | cut -f1)
profraw_kib=-
[ $have_clang = 1 ] && profraw_kib=$(du -kc "$work"/profraw/*.profraw | tail -1 | cut -f1)
rm -rf "$work/report" && mkdir -p "$work/report"
report=("$collect" report --map "$work/maps" --annotate --report "$work/report/report.txt"
        --html "$work/report/html" --lcov "$work/report/run.lcov" --cobertura "$work/report/cobertura.xml"
        --json "$work/report/coverage.json" "$work/cjson.qelrun" "$work/zlib.qelrun")
gcovr_cmd=()
if [ $have_gcovr = 1 ]; then
  gcovr_cmd=(gcovr -r / --filter "$src/" --filter "$work/zlib-gcov/" "$work/cjson-gcov" "$work/zlib-gcov"
             --html-details "$work/report/gcovr.html" --xml "$work/report/gcovr.xml"
             --json "$work/report/gcovr.json" --txt "$work/report/gcovr.txt")
fi
timed3() {
  python3 - "$@" <<'PY'
import subprocess, sys, time
runs = []
for _ in range(3):
    t0 = time.perf_counter()
    subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    runs.append(time.perf_counter() - t0)
print(f"{sorted(runs)[1]:.2f}")
PY
}
# The gcov data of the last runs of both gcov builds are in place.
report_s=$(timed3 "${report[@]}")
gcovr_s=-
[ $have_gcovr = 1 ] && gcovr_s=$(timed3 "${gcovr_cmd[@]}")

# ---- the table ---------------------------------------------------------------
echo
echo "| What | plain | gcc --coverage | clang-19 MC/DC | qelcc |"
echo "|---|---|---|---|---|"
row() { # row <label> <key prefix> <unit>
  local label=$1 key=$2 p g c q
  p=$(median "${runs[$key-plain]}")
  g=$(median "${runs[$key-gcov]}")
  q=$(median "${runs[$key-qelcc]}")
  c=-
  [ $have_clang = 1 ] && c=$(median "${runs[$key-clang]}")
  ratio() { [ "$1" = - ] && echo - || python3 -c "print(f'$1 s ({$1 / $p:.2f}x)')"; }
  echo "| $label | $p s | $(ratio $g) | $(ratio $c) | $(ratio $q) |"
}
row "cJSON suite, ctest -j1 (qelcc under qelcollect)" cjson
row "zlib loop, $rounds rounds of 4 MiB (qelcc under qelcollect)" zlib
echo "| build, cJSON / zlib | ${build_s[cjson-plain]} s / ${build_s[zlib-plain]} s | | | ${build_s[cjson-qelcc]} s / ${build_s[zlib-qelcc]} s ($(python3 -c "print(f'{(${build_s[cjson-qelcc]} + ${build_s[zlib-qelcc]}) / (${build_s[cjson-plain]} + ${build_s[zlib-plain]}):.2f}')")x) |"
# CPU seconds: the ratio that other jobs' load on the machine moves least.
cpu() { cat "$work/$1.cpu"; }
echo "| build CPU time, cJSON / zlib | $(cpu cjson-plain) s / $(cpu zlib-plain) s | | | $(cpu cjson-qelcc) s / $(cpu zlib-qelcc) s ($(python3 -c "print(f'{($(cpu cjson-qelcc) + $(cpu zlib-qelcc)) / ($(cpu cjson-plain) + $(cpu zlib-plain)):.2f}')")x) |"
echo "| what a run leaves | | .gcda files | ${profraw_kib} KiB of .profraw | ${run_kib} KiB run file (.qelrun) |"
echo "| every report from that run | | gcovr ${gcovr_s} s | | qelcollect report ${report_s} s |"
grep -h "tests passed" "$work"/cjson-*.log | sort | uniq -c
