#!/usr/bin/env bash
# The demo: runs the instrumented parcel module's test harness under the
# collector, then the test driver on the sample project's vectors, and
# ends with the coverage report of the parcel run.
#   examples/demo.sh <build-dir>
set -uo pipefail

build=${1:?usage: demo.sh <build-dir>}
build=$(cd "$build" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
collect="$build/tools/collector/qelcollect"
demo="$build/examples/qel_demo"
for exe in "$collect" "$demo"; do
  if [ ! -x "$exe" ]; then
    echo "demo.sh: $exe not found; build the project first" >&2
    exit 2
  fi
done

report="$build/parcel_report.txt"
json="$build/parcel_messages.jsonl"

# The runtime's ports are fixed: wait for any other run that holds them.
lock=()
if command -v flock >/dev/null 2>&1; then lock=(flock /tmp/qel-ports.lock); fi

echo "== parcel demo under qelcollect (the runtime's start and stop traces are expected)"
"${lock[@]}" "$collect" --out "$json" --report "$report" --timeout 120 -- "$demo"
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

echo
echo "== coverage report of the parcel demo (every message as JSON: $json)"
if [ -f "$report" ]; then cat "$report"; fi

if [ "$demo_status" -ne 0 ] || [ "$drive_status" -ne 0 ]; then
  echo "demo.sh: failed (collector/demo $demo_status, driver $drive_status)" >&2
  exit 1
fi
