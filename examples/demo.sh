#!/usr/bin/env bash
# The demo: the parcel module and the sample project's function files are
# built through qelcc (maps in <build-dir>/qelmap). demo.sh runs the parcel
# test harness under the collector, the plain test driver on the sample's
# vectors, then the instrumented driver (orrin_drive_cov) on the same vectors
# under the collector, and prints both coverage reports.
#   examples/demo.sh <build-dir>
set -uo pipefail

build=${1:?usage: demo.sh <build-dir>}
build=$(cd "$build" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
collect="$build/tools/collector/qelcollect"
demo="$build/examples/qel_demo"
drive_cov="$build/examples/orrin_drive_cov"
maps="$build/qelmap"
for exe in "$collect" "$demo"; do
  if [ ! -x "$exe" ]; then
    echo "demo.sh: $exe not found; build the project first" >&2
    exit 2
  fi
done

# Each program's report reads the maps of its own sources.
map_args=(--map "$maps/parcel")
sample_map_args=(--map "$maps/sample")

report="$build/parcel_report.txt"
json="$build/parcel_messages.jsonl"

# The runtime's ports are fixed: wait for any other run that holds them.
lock=()
if command -v flock >/dev/null 2>&1; then lock=(flock /tmp/qel-ports.lock); fi

echo "== parcel demo (built with qelcc) under qelcollect (the runtime's start and stop traces are expected)"
"${lock[@]}" "$collect" "${map_args[@]}" --out "$json" --report "$report" --timeout 120 -- "$demo"
demo_status=$?
echo "== qelcollect exit status $demo_status"

drive_status=0
if [ -x "$root/driver/run_vectors.sh" ]; then
  echo
  "$root/driver/run_vectors.sh" "$build"
  drive_status=$?
else
  echo "demo.sh: driver/run_vectors.sh not found; skipping the test driver" >&2
fi

cov_status=0
cov_report="$build/orrin_report.txt"
if [ -x "$drive_cov" ]; then
  echo
  echo "== orrin_drive_cov (sample instrumented by qelcc) on the same vectors under qelcollect"
  cov_out="$build/orrin_drive_cov.out"
  seq 1 20 | tr '\n' ' ' | "${lock[@]}" "$collect" "${sample_map_args[@]}" --out "$build/orrin_messages.jsonl" \
    --html "$build/orrin_html" --lcov "$build/orrin.info" --report "$cov_report" --timeout 120 -- "$drive_cov" >"$cov_out" 2>&1
  cov_status=$?
  echo "== qelcollect exit status $cov_status (program output: $cov_out)"
fi

echo
echo "== coverage report of the parcel demo (every message as JSON: $json)"
if [ -f "$report" ]; then cat "$report"; fi
if [ -f "$cov_report" ]; then
  echo
  echo "== coverage report of the sample project under its vectors (maps: $maps/sample;"
  echo "   HTML: $build/orrin_html/index.html, LCOV: $build/orrin.info)"
  cat "$cov_report"
fi

if [ "$demo_status" -ne 0 ] || [ "$drive_status" -ne 0 ] || [ "$cov_status" -ne 0 ]; then
  echo "demo.sh: failed (collector/demo $demo_status, driver $drive_status, instrumented driver $cov_status)" >&2
  exit 1
fi
