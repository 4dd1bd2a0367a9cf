#!/usr/bin/env bash
# The report from a saved run beside gcovr's and llvm-cov's on cJSON: its
# CTest suite built through qelcc, with gcc --coverage and with clang-19's
# MC/DC coverage (-O0, Debug), run REPEAT times over (default 1; 10 gives
# 220 test processes), then every tool's reports timed together with
# hyperfine (RUNS rounds, default 8):
#   tools/realworld/report_speed.sh <cJSON source> [qelmq build dir] [work dir]
# Needs cmake, gcc, gcovr, clang-19, llvm-19, hyperfine, and unshare (the
# run collects on the fixed ports inside a private network namespace).
set -euo pipefail

. "$(dirname "$0")/common.sh"
realworld_args report_speed.sh "$@"
[ -f "$src/cJSON.c" ] || { echo "report_speed.sh: $src has no cJSON.c" >&2; exit 2; }
repeat=${REPEAT:-1}
common=(-DENABLE_CJSON_UTILS=ON -DENABLE_CJSON_TEST=ON -DENABLE_CUSTOM_COMPILER_FLAGS=OFF
        -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Debug)
export QELCC_MAP_DIR="$work/maps"
rm -rf "$QELCC_MAP_DIR"
timed_build "$work/qel" "${common[@]}" -DCMAKE_C_FLAGS=-O0 -DCMAKE_C_COMPILER_LAUNCHER="$qelcc" \
  -DCMAKE_C_LINKER_LAUNCHER="$qelcc" >/dev/null
timed_build "$work/gcov" "${common[@]}" "-DCMAKE_C_FLAGS=-O0 --coverage" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
CC=clang-19 timed_build "$work/clang" "${common[@]}" \
  "-DCMAKE_C_FLAGS=-O0 -fprofile-instr-generate -fcoverage-mapping -fcoverage-mcdc" \
  -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate >/dev/null

rep=()
[ "$repeat" -gt 1 ] && rep=(--repeat "until-fail:$repeat")
(cd "$work/gcov" && ctest -j2 "${rep[@]}" >/dev/null)
rm -rf "$work/prof" && mkdir -p "$work/prof"
(cd "$work/clang" && LLVM_PROFILE_FILE="$work/prof/%p.profraw" ctest -j2 "${rep[@]}" >/dev/null)
unshare --net sh -c "ip link set lo up; cd '$work/qel' && '$collect' --no-report \
  --out '$work/run.qelrun' -- ctest -j2 ${rep[*]}" >/dev/null 2>&1
# The same run as JSON lines, for the row that reads those.
"$collect" report --no-report --save-jsonl "$work/run.jsonl" "$work/run.qelrun" >/dev/null 2>&1 || [ -s "$work/run.jsonl" ]
echo "$(ls "$work/prof" | wc -l) processes; run file: $(wc -l <"$work/run.jsonl") messages," \
  "$(du -k "$work/run.qelrun" | cut -f1) KiB (.qelrun), $(du -k "$work/run.jsonl" | cut -f1) KiB (JSON lines)"

objects=()
for t in "$work"/clang/tests/* "$work"/clang/cjson_test*; do
  [ -f "$t" ] && [ -x "$t" ] && objects+=("$t")
done
llvm_objects="${objects[0]}"
for o in "${objects[@]:1}"; do llvm_objects+=" -object $o"; done
out="$work/out"
rm -rf "$out" && mkdir -p "$out"
hyperfine -N --warmup 1 --runs "${RUNS:-8}" --export-markdown "$work/report_speed.md" \
  -n "qelcollect report, HTML" \
  "$collect report --map $work/maps --no-report --html $out/qh $work/run.qelrun" \
  -n "qelcollect report, text + HTML + Cobertura + JSON" \
  "$collect report --map $work/maps --report $out/q.txt --html $out/qa --cobertura $out/q.xml --json $out/q.json $work/run.qelrun" \
  -n "qelcollect report, the same from JSON lines" \
  "$collect report --map $work/maps --report $out/j.txt --html $out/ja --cobertura $out/j.xml --json $out/j.json $work/run.jsonl" \
  -n "gcovr, HTML details + Cobertura + JSON + text" \
  "gcovr -r $src --object-directory $work/gcov --html-details $out/g.html --cobertura $out/g.xml --json $out/g.json --txt $out/g.txt $work/gcov" \
  -n "llvm-profdata merge + llvm-cov show HTML + export LCOV" \
  "sh -c 'llvm-profdata-19 merge -sparse -o $out/m.profdata $work/prof/*.profraw && llvm-cov-19 show -format=html -show-mcdc -output-dir=$out/lh -instr-profile=$out/m.profdata $llvm_objects >/dev/null && llvm-cov-19 export -format=lcov -instr-profile=$out/m.profdata $llvm_objects >$out/l.info'"
cat "$work/report_speed.md"
