#!/usr/bin/env bash
# Runs orrin_drive on the sample's shipped test vectors and shows what the
# sample functions printed.
#   driver/run_vectors.sh <build-dir> [project-root]
# The two list builders each read their "n" integers from standard input;
# they are fed 1 2 3 ... here so that the run never waits on the console.
# The list messages are GBK bytes; when iconv is at hand they are shown as
# UTF-8 so that a modern terminal can read them.
set -uo pipefail

build=${1:?usage: run_vectors.sh <build-dir> [project-root]}
drive="$build/driver/orrin_drive"
if [ ! -x "$drive" ]; then
  echo "run_vectors.sh: $drive not found; build the target orrin_drive first" >&2
  exit 2
fi
shift

input=$(seq 1 20 | tr '\n' ' ')
echo "== orrin_drive ${*:-(shipped vectors)}, standard input: ${input% }"
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
printf '%s\n' "$input" | "$drive" "$@" >"$out" 2>"$err"
status=$?
if command -v iconv >/dev/null 2>&1 && iconv -f GBK -t UTF-8 "$out" >/dev/null 2>&1; then
  iconv -f GBK -t UTF-8 "$out"
else
  cat "$out"
fi
echo
# The vectors carry expectations: one verdict per test case and a summary.
echo "== verdicts and messages of orrin_drive"
cat "$err"
echo "== exit status $status"
exit "$status"
