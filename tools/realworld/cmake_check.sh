#!/usr/bin/env bash
# Real-world check of qelcc on any CMake project with a CTest suite (zlib,
# jansson, ... from Debian's source packages): builds the suite with gcov
# (-O0 --coverage) and through qelcc (CMake launcher variables, --strict off,
# so a unit qelcc cannot instrument shows up as recorded, not as a failed
# build), runs both, and compares line status with gcov's on every line both
# count (line_agreement.py); lists every unit built without probes.
#   tools/realworld/cmake_check.sh <source dir> [qelmq build dir] [work dir] [cmake args...]
# Exit status 0 when both suites pass, no unit is left uninstrumented, and
# line status agrees on >= 99.8 % of the lines and >= 99 % in every file.
set -euo pipefail

. "$(dirname "$0")/common.sh"
realworld_args cmake_check.sh "$@"
shift "$nargs"
# The runtime's own trace lines go to standard output, where they would mix
# into what the suite's programs pipe to each other.
export QELMQ_TRACE=0
build() { timed_build "$1" -DCMAKE_BUILD_TYPE=Debug "${@:2}"; }

echo "== gcov build"
t_gcov=$(build "$work/gcov" "-DCMAKE_C_FLAGS=-O0 --coverage" "-DCMAKE_EXE_LINKER_FLAGS=--coverage" \
         "-DCMAKE_SHARED_LINKER_FLAGS=--coverage" "$@")
echo "== qelcc build (maps in $work/maps)"
export QELCC_MAP_DIR="$work/maps"
rm -rf "$QELCC_MAP_DIR"
t_qel=$(build "$work/qel" -DCMAKE_C_FLAGS=-O0 -DCMAKE_C_COMPILER_LAUNCHER="$qelcc" \
        -DCMAKE_C_LINKER_LAUNCHER="$qelcc" "$@")
grep -h "qelcc:" "$work/qel.build.log" >&2 || true

echo "== suites"
status=0
(cd "$work/gcov" && ctest -j1 --output-on-failure >"$work/gcov.ctest.log" 2>&1) || status=1
lock=()
command -v flock >/dev/null 2>&1 && lock=(flock /tmp/qel-ports.lock)
(cd "$work/qel" && "${lock[@]}" "$collect" --out "$work/run.jsonl" --no-report --timeout 900 \
   -- ctest -j1 --output-on-failure >"$work/qel.ctest.log" 2>"$work/qel.collect.log") || status=1
grep -h "tests passed" "$work/gcov.ctest.log" "$work/qel.ctest.log" || true

(cd "$work/gcov" && find . -name '*.gcda' | while read -r f; do
   d=$(dirname "$f"); (cd "$d" && gcov -j -o . "$(basename "$f")" >/dev/null 2>&1 || true); done)

echo "== units built without probes"
python3 - "$work/maps" <<'PY' || status=1
import glob, json, sys
maps = [json.load(open(p)) for p in glob.glob(sys.argv[1] + "/*.qelmap.json")]
plain = [m for m in maps if m.get("instrumented") is False]
for m in plain:
    print(f"  {m['source']}: {m.get('reason')}")
print(f"{len(maps) - len(plain)} of {len(maps)} units instrumented")
sys.exit(1 if plain else 0)
PY

echo "== line status beside gcov (sources under $src)"
files=$(cd "$src" && find "$src" -name '*.c' -not -path '*/test*' -not -path '*/example*' | sort)
# shellcheck disable=SC2086
python3 "$root/tools/realworld/line_agreement.py" --gcov "$work/gcov" --maps "$work/maps" \
  --run "$work/run.jsonl" --files $files --min-total 99.8 --min-file 99 || status=1
echo "build time: gcov $t_gcov s, qelcc $t_qel s"
exit $status
