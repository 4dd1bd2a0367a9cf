#!/usr/bin/env bash
# Real-world check of qelcc on cJSON: builds its CTest suite plain, with gcov
# and through qelcc (CMake launcher variables), runs it, and compares line
# status (executed or not) of the library's sources with gcov's, and the
# build and run times.
#   tools/realworld/cjson_check.sh <extracted cJSON source> [qelmq build dir] [work dir]
# Needs: cmake, make, gcc, gcov, python3. Exit status 0 when every suite
# passes, agreement is >= 99 % and the build costs <= 3x.
set -euo pipefail

src=$(cd "${1:?usage: cjson_check.sh <cJSON source dir> [qelmq build dir] [work dir]}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
qbuild=$(cd "${2:-$root/build}" && pwd)
work=${3:-$(mktemp -d /tmp/qel-cjson.XXXXXX)}
mkdir -p "$work"
work=$(cd "$work" && pwd)
qelcc="$qbuild/tools/qelcc/qelcc"
collect="$qbuild/tools/collector/qelcollect"
for exe in "$qelcc" "$collect"; do
  [ -x "$exe" ] || { echo "cjson_check.sh: $exe not found; build the project first" >&2; exit 2; }
done
[ -f "$src/cJSON.c" ] || { echo "cjson_check.sh: $src has no cJSON.c" >&2; exit 2; }
jobs=${JOBS:-2}
common=(-DENABLE_CJSON_UTILS=ON -DENABLE_CJSON_TEST=ON -DENABLE_CUSTOM_COMPILER_FLAGS=OFF
        -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS=-O0)

now() { date +%s.%N; }
elapsed() { python3 -c "print(f'{$2 - $1:.2f}')"; }

build() { # build <dir> [cmake args...]; prints the build's seconds
  local dir=$1; shift
  rm -rf "$dir" && mkdir -p "$dir"
  cmake -S "$src" -B "$dir" "${common[@]}" "$@" >"$dir.configure.log" 2>&1
  local t0 t1
  t0=$(now)
  cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 || { cat "$dir.build.log" >&2; return 1; }
  t1=$(now)
  elapsed "$t0" "$t1"
}

echo "== plain build"
t_plain=$(build "$work/plain")
echo "== qelcc build (maps in $work/maps)"
export QELCC_MAP_DIR="$work/maps"
rm -rf "$QELCC_MAP_DIR"
t_qel=$(build "$work/qel" -DCMAKE_C_COMPILER_LAUNCHER="$qelcc" -DCMAKE_C_LINKER_LAUNCHER="$qelcc")
grep -h "qelcc:" "$work/qel.build.log" >&2 || true
echo "== gcov build"
t_gcov=$(build "$work/gcov" "-DCMAKE_C_FLAGS=-O0 --coverage" "-DCMAKE_EXE_LINKER_FLAGS=--coverage")

echo "== suites"
t0=$(now); (cd "$work/plain" && ctest -j1 --output-on-failure >"$work/plain.ctest.log" 2>&1); t1=$(now)
r_plain=$(elapsed "$t0" "$t1")
t0=$(now); (cd "$work/gcov" && ctest -j1 --output-on-failure >"$work/gcov.ctest.log" 2>&1); t1=$(now)
r_gcov=$(elapsed "$t0" "$t1")
lock=()
command -v flock >/dev/null 2>&1 && lock=(flock /tmp/qel-ports.lock)
t0=$(now)
(cd "$work/qel" && "${lock[@]}" "$collect" --out "$work/run.jsonl" --report "$work/report.txt" \
   --timeout 600 -- ctest -j1 --output-on-failure >"$work/qel.ctest.log" 2>"$work/qel.collect.log")
t1=$(now)
r_qel=$(elapsed "$t0" "$t1")
grep -h "tests passed" "$work/plain.ctest.log" "$work/gcov.ctest.log" "$work/qel.ctest.log"

(cd "$work/gcov" && find . -name '*.gcda' | while read -r f; do
   d=$(dirname "$f"); (cd "$d" && gcov -j -o . "$(basename "$f")" >/dev/null 2>&1 || true); done)

python3 - "$work" "$src" "$t_plain" "$t_qel" "$t_gcov" "$r_plain" "$r_gcov" "$r_qel" <<'PY'
import glob, gzip, json, os, sys
work, src = sys.argv[1], os.path.realpath(sys.argv[2])
t_plain, t_qel, t_gcov, r_plain, r_gcov, r_qel = map(float, sys.argv[3:9])
lib = {os.path.join(src, "cJSON.c"), os.path.join(src, "cJSON_Utils.c")}

gcov = {}  # (file, line) -> count
for p in glob.glob(os.path.join(work, "gcov", "**", "*.gcov.json.gz"), recursive=True):
    doc = json.load(gzip.open(p))
    cwd = doc.get("current_working_directory", "")
    for f in doc["files"]:
        path = os.path.realpath(os.path.join(cwd, f["file"]))
        if path not in lib: continue
        for l in f["lines"]:
            k = (path, l["line_number"])
            gcov[k] = gcov.get(k, 0) + l["count"]

counts = {}
for line in open(os.path.join(work, "run.jsonl")):
    m = json.loads(line)
    if m.get("kind") == "node":
        k = (m["unit"], m["node"])
        counts[k] = counts.get(k, 0) + m["count"]
qel = {}  # (file, line) -> count
for p in glob.glob(os.path.join(work, "maps", "*.qelmap.json")):
    d = json.load(open(p))
    files = {f["id"]: os.path.realpath(f["path"]) for f in d["files"]}
    for n in d["nodes"]:
        path = files[n["file"]]
        if path not in lib: continue
        c = counts.get((d["unit"], n["id"]), 0)
        for l in n["lines"]:
            k = (path, l)
            qel[k] = max(qel.get(k, 0), c) if k in qel else c

both = sorted(set(gcov) & set(qel))
agree = [k for k in both if (gcov[k] > 0) == (qel[k] > 0)]
print()
for f in sorted(lib):
    g = [k for k in gcov if k[0] == f]; q = [k for k in qel if k[0] == f]
    b = [k for k in both if k[0] == f]; a = [k for k in agree if k[0] == f]
    print(f"{os.path.basename(f):14s} gcov code lines {len(g):5d} (executed {sum(1 for k in g if gcov[k] > 0)}), "
          f"qelcc code lines {len(q):5d} (executed {sum(1 for k in q if qel[k] > 0)}), "
          f"both {len(b)}, agree {len(a)} ({100.0 * len(a) / max(1, len(b)):.2f} %)")
share = 100.0 * len(agree) / max(1, len(both))
print(f"line status agreement: {len(agree)} of {len(both)} lines ({share:.2f} %)")
for k in [k for k in both if (gcov[k] > 0) != (qel[k] > 0)][:20]:
    print(f"  differs: {os.path.basename(k[0])}:{k[1]} gcov {gcov[k]} qelcc {qel[k]}")
print(f"build time: plain {t_plain:.2f} s, qelcc {t_qel:.2f} s ({t_qel / t_plain:.2f}x), gcov {t_gcov:.2f} s")
print(f"suite time: plain {r_plain:.2f} s, gcov {r_gcov:.2f} s, qelcc under qelcollect {r_qel:.2f} s "
      f"({r_qel / r_gcov:.2f}x gcov)")
ok = share >= 99.0 and t_qel / t_plain <= 3.0
sys.exit(0 if ok else 1)
PY
status=$?
for log in plain gcov qel; do
  grep -q "100% tests passed" "$work/$log.ctest.log" || { echo "cjson_check.sh: $log suite failed (see $work/$log.ctest.log)" >&2; status=1; }
done
exit $status
