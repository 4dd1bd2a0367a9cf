# Shared by the real-world checks (sourced): their arguments, and a timed
# CMake build.
#   realworld_args <script name> "$@"  sets src, root, qbuild, work, qelcc,
#                                      collect and nargs (arguments used)
#   timed_build <dir> [cmake args...]  configures $src into <dir>, builds,
#                                      prints the build's seconds; writes
#                                      the CPU seconds it took (user and
#                                      system, every process of it, qelcc's
#                                      parse server included) to <dir>.cpu

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
  wait_for_qelcc_servers
  times >"$dir.cpu0"  # a builtin's redirection keeps it in this shell
  t0=$(now)
  QELCC_SERVER_RUSAGE="$dir.server" \
    cmake --build "$dir" -j"${JOBS:-2}" >"$dir.build.log" 2>&1 || { cat "$dir.build.log" >&2; return 1; }
  t1=$(now)
  times >"$dir.cpu1"
  build_cpu "$dir" >"$dir.cpu"
  elapsed "$t0" "$t1"
}

# qelcc's parse server is no child of the build, so `times` misses it: a
# build runs with QELCC_SERVER_RUSAGE=<dir>.server, the servers it starts
# write their CPU (theirs and their requests') there when they leave, and
# build_cpu adds it. A server from before would take the build's requests
# and write elsewhere, so a build starts once none is left.
wait_for_qelcc_servers() {
  local i
  for i in $(seq 1 150); do
    pgrep -f -- '--instrument-server' >/dev/null 2>&1 || return 0
    sleep 0.2
  done
}

# build_cpu <dir>: the CPU seconds between <dir>.cpu0 and <dir>.cpu1, with
# the servers' of <dir>.server.
build_cpu() {
  local dir=$1 server=0
  wait_for_qelcc_servers
  [ -f "$dir.server" ] &&
    server=$(awk '{ t += $3 + $5 + $7 + $9 } END { printf "%.3f", t }' "$dir.server")
  cat "$dir.cpu0" "$dir.cpu1" | children_cpu | awk -v s="$server" '{ printf "%.3f\n", $1 + s }'
}

# From two outputs of `times`, the CPU seconds (user + system) the shell's
# children took between them. A ratio of CPU seconds holds on a machine that
# other jobs load, where wall seconds of builds run one after the other do
# not.
children_cpu() {
  awk 'NR == 2 || NR == 4 {
    t = 0
    for (i = 1; i <= 2; ++i) { split($i, p, /[ms]/); t += p[1] * 60 + p[2] }
    c[NR] = t }
    END { printf "%.3f\n", c[4] - c[2] }'
}
