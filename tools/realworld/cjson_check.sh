#!/usr/bin/env bash
# Real-world check of qelcc and the collector's reports on cJSON: builds its
# CTest suite plain, with gcov, through qelcc (CMake launcher variables) and
# with clang-19's MC/DC coverage, runs it, and compares
#   - line status (executed or not) of the library's sources with gcov's, from
#     the node counts and from the DA lines of the LCOV report;
#   - decisions, conditions and MC/DC with llvm-cov's;
# writes every report from the saved run (timed), runs genhtml on the LCOV
# file, validates the Cobertura file against the coverage-04 DTD and takes
# headless Chromium screenshots of the HTML index and of cJSON.c's page.
#   tools/realworld/cjson_check.sh <extracted cJSON source> [qelmq build dir] [work dir]
# Needs: cmake, make, gcc, gcov, python3; for the report checks genhtml (lcov),
# xmllint (libxml2-utils), chromium, clang-19, llvm-19 and libclang-rt-19-dev
# (the profile runtime) (each check is
# skipped with a note when its tool is missing). Exit status 0 when every
# suite passes, agreement is >= 99.8 % (>= 99 % in each file), the build
# costs <= 3x the plain one's CPU seconds, genhtml warns of nothing, the
# Cobertura file is valid and the reports take under 1 s.
set -euo pipefail

. "$(dirname "$0")/common.sh"
realworld_args cjson_check.sh "$@"
[ -f "$src/cJSON.c" ] || { echo "cjson_check.sh: $src has no cJSON.c" >&2; exit 2; }
common=(-DENABLE_CJSON_UTILS=ON -DENABLE_CJSON_TEST=ON -DENABLE_CUSTOM_COMPILER_FLAGS=OFF
        -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS=-O0)
build() { timed_build "$1" "${common[@]}" "${@:2}"; }

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

echo "== reports from the saved run, with the maps in the programs only"
# The map folder moves aside: the run names the programs, and their
# .qelmap sections must give the same report as the folder.
rm -rf "$work/maps.folder" && mv "$work/maps" "$work/maps.folder"
rm -rf "$work/html"
report=("$collect" report --annotate --report "$work/report-annotated.txt"
        --html "$work/html" --lcov "$work/cjson.lcov" --cobertura "$work/cobertura.xml"
        --json "$work/coverage.json" "$work/run.jsonl")
"${report[@]}"
r_report=$(python3 - "${report[@]}" <<'PY'
import subprocess, sys, time
runs = []
for _ in range(5):
    t0 = time.perf_counter()
    subprocess.run(sys.argv[1:], check=True)
    runs.append(time.perf_counter() - t0)
print(f"{sorted(runs)[2]:.3f}")
PY
)
echo "every report (text+annotate, HTML, LCOV, Cobertura, JSON) from the saved run: ${r_report} s (median of 5)"
report_status=0
"$collect" report --no-report --map "$work/maps.folder" --json "$work/coverage-folder.json" \
  "$work/run.jsonl"
# The folder also maps programs the suite never ran (the fuzzers): those
# files may differ, by never-run code alone.
python3 - "$work/coverage.json" "$work/coverage-folder.json" <<'PY' || report_status=1
import json, sys
progs, folder = (json.load(open(p)) for p in sys.argv[1:3])
by_path = {f["path"]: f for f in folder["files"]}
same = [f for f in progs["files"] if by_path.get(f["path"]) == f]
extra = [f for f in folder["files"] if f["path"] not in {g["path"] for g in progs["files"]}]
unrun = all(c == 0 for f in extra for _, c in f["lines"])
print(f"maps from the programs: {len(progs['files'])} files, {len(same)} identical with the map "
      f"folder's; the folder maps {len(extra)} more (programs the suite never ran), "
      f"{'none' if unrun else 'some'} of their lines run")
sys.exit(0 if len(same) == len(progs["files"]) and unrun and not progs["problems"] else 1)
PY
python3 -c "import sys; sys.exit(0 if $r_report < 1.0 else 1)" || report_status=1
if command -v genhtml >/dev/null 2>&1; then
  genhtml --branch-coverage -q -o "$work/genhtml" "$work/cjson.lcov" >"$work/genhtml.log" 2>&1 ||
    { echo "genhtml failed:"; cat "$work/genhtml.log"; report_status=1; }
  if grep -qi "warning" "$work/genhtml.log"; then
    echo "genhtml warned:"; cat "$work/genhtml.log"; report_status=1
  else
    echo "genhtml: accepted, no warning"
  fi
else
  echo "genhtml: not installed, skipped"
fi
if command -v xmllint >/dev/null 2>&1; then
  if xmllint --noout --nonet --dtdvalid "$root/tests/reports/coverage-04.dtd" "$work/cobertura.xml" \
       >"$work/xmllint.log" 2>&1; then
    echo "xmllint: cobertura.xml valid against coverage-04.dtd"
  else
    echo "xmllint: cobertura.xml invalid:"; head -20 "$work/xmllint.log"; report_status=1
  fi
else
  echo "xmllint: not installed, skipped"
fi
if command -v chromium >/dev/null 2>&1; then
  mkdir -p "$work/shots"
  page=$(cd "$work/html" && ls | grep -m1 '_cJSON\.c\.html$' || true)
  for target in index.html $page; do
    # The file page tall enough to show decisions and their MC/DC tables
    # (headless Chromium paints nothing when told to scroll to an anchor).
    size=1280,1400
    [ "$target" = index.html ] || size=1280,5000
    timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
      --disable-component-update --disable-sync --no-first-run \
      --user-data-dir="$work/shots/profile" --window-size=$size \
      --screenshot="$work/shots/${target%.html}.png" "file://$work/html/$target" \
      >/dev/null 2>&1 || true
    [ -s "$work/shots/${target%.html}.png" ] && echo "screenshot: $work/shots/${target%.html}.png"
  done
else
  echo "chromium: not installed, skipped"
fi

clang_json=""
prof="-fprofile-instr-generate -fcoverage-mapping -fcoverage-mcdc"
if ! command -v clang-19 >/dev/null 2>&1 || ! command -v llvm-cov-19 >/dev/null 2>&1 ||
   ! echo 'int main(void) { return 0; }' | clang-19 $prof -x c - -o "$work/clang-probe" 2>/dev/null; then
  echo "clang-19 with its profile runtime (clang-19, llvm-19, libclang-rt-19-dev): not usable, MC/DC comparison skipped"
else
  echo "== clang-19 MC/DC build"
  t_clang=$(build "$work/clang" -DCMAKE_C_COMPILER=clang-19 "-DCMAKE_C_FLAGS=-O0 $prof" \
            "-DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate")
  rm -rf "$work/clang-prof"
  (cd "$work/clang" && LLVM_PROFILE_FILE="$work/clang-prof/%p.profraw" \
     ctest -j1 --output-on-failure >"$work/clang.ctest.log" 2>&1) || true
  llvm-profdata-19 merge -o "$work/clang.profdata" "$work"/clang-prof/*.profraw
  objects=()
  while read -r exe; do objects+=(-object "$exe"); done < <(
    find "$work/clang" -name CMakeFiles -prune -o -type f -perm -u+x ! -name '*.so*' -print |
    while read -r f; do
      head -c4 "$f" | grep -q ELF && echo "$f"; done)
  libsrc=("$src/cJSON.c" "$src/cJSON_Utils.c")
  llvm-cov-19 report --show-mcdc-summary -instr-profile="$work/clang.profdata" "${objects[@]:1}" \
    "${libsrc[@]}" >"$work/clang.report.txt" 2>&1 || true
  llvm-cov-19 export -summary-only -instr-profile="$work/clang.profdata" "${objects[@]:1}" \
    "${libsrc[@]}" >"$work/clang.export.json" 2>"$work/clang.export.log" || true
  cat "$work/clang.report.txt"
  clang_json="$work/clang.export.json"
fi

(cd "$work/gcov" && find . -name '*.gcda' | while read -r f; do
   d=$(dirname "$f"); (cd "$d" && gcov -j -o . "$(basename "$f")" >/dev/null 2>&1 || true); done)

set +e
python3 - "$work" "$src" "$t_plain" "$t_qel" "$t_gcov" "$r_plain" "$r_gcov" "$r_qel" "$clang_json" \
  "$(cat "$work/plain.cpu")" "$(cat "$work/qel.cpu")" <<'PY'
import glob, gzip, json, os, sys
work, src = sys.argv[1], os.path.realpath(sys.argv[2])
t_plain, t_qel, t_gcov, r_plain, r_gcov, r_qel = map(float, sys.argv[3:9])
clang_json = sys.argv[9]
c_plain, c_qel = map(float, sys.argv[10:12])
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
for p in glob.glob(os.path.join(work, "maps.folder", "*.qelmap.json")):
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
file_ok = True
for f in sorted(lib):
    g = [k for k in gcov if k[0] == f]; q = [k for k in qel if k[0] == f]
    b = [k for k in both if k[0] == f]; a = [k for k in agree if k[0] == f]
    file_ok = file_ok and 100.0 * len(a) / max(1, len(b)) >= 99.0
    print(f"{os.path.basename(f):14s} gcov code lines {len(g):5d} (executed {sum(1 for k in g if gcov[k] > 0)}), "
          f"qelcc code lines {len(q):5d} (executed {sum(1 for k in q if qel[k] > 0)}), "
          f"both {len(b)}, agree {len(a)} ({100.0 * len(a) / max(1, len(b)):.2f} %)")
share = 100.0 * len(agree) / max(1, len(both))
print(f"line status agreement: {len(agree)} of {len(both)} lines ({share:.2f} %)")
for k in [k for k in both if (gcov[k] > 0) != (qel[k] > 0)][:20]:
    print(f"  differs: {os.path.basename(k[0])}:{k[1]} gcov {gcov[k]} qelcc {qel[k]}")

# The LCOV report's DA lines against gcov.
lcov, path = {}, None
for line in open(os.path.join(work, "cjson.lcov")):
    line = line.strip()
    if line.startswith("SF:"):
        path = os.path.realpath(line[3:])
    elif line.startswith("DA:") and path in lib:
        n, c = line[3:].split(",")[:2]
        lcov[(path, int(n))] = int(c)
lboth = sorted(set(gcov) & set(lcov))
lagree = [k for k in lboth if (gcov[k] > 0) == (lcov[k] > 0)]
lshare = 100.0 * len(lagree) / max(1, len(lboth))
print(f"LCOV DA lines: {len(lcov)}, gcov code lines {len(gcov)}; agreement on {len(lboth)} lines "
      f"both count: {len(lagree)} ({lshare:.2f} %)")
for k in [k for k in lboth if (gcov[k] > 0) != (lcov[k] > 0)][:20]:
    print(f"  LCOV differs: {os.path.basename(k[0])}:{k[1]} gcov {gcov[k]} lcov {lcov[k]}")

# Decisions, conditions and MC/DC of the library beside llvm-cov's.
model = json.load(open(os.path.join(work, "coverage.json")))
tot = {}
for f in model["files"]:
    if os.path.realpath(f["path"]) not in lib: continue
    for key, v in f["totals"].items():
        if isinstance(v, dict):
            c = tot.setdefault(key, [0, 0]); c[0] += v["covered"]; c[1] += v["total"]
        else:
            tot[key] = tot.get(key, 0) + v
    ds = f["decisions"]
    tot.setdefault("logical_decisions", 0)
    tot["logical_decisions"] += sum(1 for d in ds if len(d["conditions"]) >= 2)
    tot.setdefault("logical_conditions", 0)
    tot["logical_conditions"] += sum(len(d["conditions"]) for d in ds if len(d["conditions"]) >= 2)
pct = lambda c: 100.0 * c[0] / c[1] if c[1] else 100.0
print(f"qelcollect (library): decisions {tot['decisions'][1]} ({tot['single_condition_decisions']} of one "
      f"condition, {tot['logical_decisions']} of two or more), conditions {tot['conditions'][1] // 2}, "
      f"branches {tot['branches'][0]}/{tot['branches'][1]} ({pct(tot['branches']):.2f} %), "
      f"condition outcomes {tot['conditions'][0]}/{tot['conditions'][1]} ({pct(tot['conditions']):.2f} %), "
      f"MC/DC {tot['mcdc'][0]}/{tot['mcdc'][1]} ({pct(tot['mcdc']):.2f} %), "
      f"MC/DC of multi-condition decisions {tot['mcdc_multi_condition'][0]}/{tot['mcdc_multi_condition'][1]} "
      f"({pct(tot['mcdc_multi_condition']):.2f} %)")
if clang_json and os.path.exists(clang_json) and os.path.getsize(clang_json):
    t = json.load(open(clang_json))["data"][0]["totals"]
    br, mc = t.get("branches", {}), t.get("mcdc", {})
    print(f"llvm-cov-19   (library): branch conditions {br.get('count', 0) // 2} "
          f"(outcomes {br.get('covered')}/{br.get('count')}, {br.get('percent', 0):.2f} %), "
          f"MC/DC conditions {mc.get('count')} (covered {mc.get('covered')}, {mc.get('percent', 0):.2f} %)")

print(f"build time: plain {t_plain:.2f} s, qelcc {t_qel:.2f} s ({t_qel / t_plain:.2f}x), gcov {t_gcov:.2f} s")
# The limit is on CPU seconds: the two builds run one after the other, and
# other jobs' load moves their wall seconds apart.
print(f"build CPU time: plain {c_plain:.2f} s, qelcc {c_qel:.2f} s ({c_qel / c_plain:.2f}x, limit 3x)")
print(f"suite time: plain {r_plain:.2f} s, gcov {r_gcov:.2f} s, qelcc under qelcollect {r_qel:.2f} s "
      f"({r_qel / r_gcov:.2f}x gcov)")
ok = share >= 99.8 and file_ok and lshare >= 99.8 and c_qel / c_plain <= 3.0
sys.exit(0 if ok else 1)
PY
status=$?
set -e
[ "$report_status" -eq 0 ] || status=1
for log in plain gcov qel; do
  grep -q "100% tests passed" "$work/$log.ctest.log" || { echo "cjson_check.sh: $log suite failed (see $work/$log.ctest.log)" >&2; status=1; }
done
exit $status
