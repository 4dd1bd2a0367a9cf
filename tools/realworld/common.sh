# Shared by the real-world checks (sourced): their arguments, and a timed
# CMake build.
#   realworld_args <script name> "$@"  sets src, root, qbuild, work, qelcc,
#                                      collect and nargs (arguments used)
#   timed_build <dir> [cmake args...]  configures $src into <dir>, builds,
#                                      prints the build's seconds

realworld_args() {
  local name=$1; shift
  src=$(cd "${1:?usage: $name <source dir> [qelmq build dir] [work dir]}" && pwd)
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  qbuild=$(cd "${2:-$root/build}" && pwd)
  work=${3:-$(mktemp -d "/tmp/qel-${name%.sh}.XXXXXX")}
  nargs=$(($# < 3 ? $# : 3))
  mkdir -p "$work"
  work=$(cd "$work" && pwd)
  qelcc="$qbuild/tools/qelcc/qelcc"
  collect="$qbuild/tools/collector/qelcollect"
  local exe
  for exe in "$qelcc" "$collect"; do
    [ -x "$exe" ] || { echo "$name: $exe not found; build the project first" >&2; exit 2; }
  done
}

now() { date +%s.%N; }
elapsed() { python3 -c "print(f'{$2 - $1:.2f}')"; }

timed_build() {
  local dir=$1; shift
  rm -rf "$dir" && mkdir -p "$dir"
  cmake -S "$src" -B "$dir" "$@" >"$dir.configure.log" 2>&1
  local t0 t1
  t0=$(now)
  cmake --build "$dir" -j"${JOBS:-2}" >"$dir.build.log" 2>&1 || { cat "$dir.build.log" >&2; return 1; }
  t1=$(now)
  elapsed "$t0" "$t1"
}
