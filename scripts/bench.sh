#!/usr/bin/env bash
# Builds the default preset and runs the benchmarks (bench/, described in
# docs/PERFORMANCE.md), printing their tables: the library's own cost on the
# fake product layer, then the library on the real product libraries beside
# raw socket baselines, the reference CI server, Redis when redis-server and
# redis-benchmark are installed, and the directory lookups, prune and attach
# with the directory on a local PostgreSQL server (a throw-away cluster). It
# installs nothing: the build's packages come from scripts/install-deps.sh.
# One run takes about two minutes.
#
#   scripts/bench.sh                 the full run (9 repetitions of each case)
#   scripts/bench.sh --quick         3 repetitions, shorter cases (a smoke run)
#   scripts/bench.sh --benchmark_filter=erase ...
#                                    Google Benchmark flags go to both programs
#   scripts/bench.sh --scale         instead: the reference CI server on indexes of
#                                    10^4, 10^5 and 10^6 documents (scripts/scale_bench.py,
#                                    about 10 minutes; its options follow --scale)
#
# TQ_BENCH_BUILD_DIR=DIR builds there (RelWithDebInfo) instead of the preset's
# folder. The programs' progress goes to bench-<time>.log in the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --scale ]; then
  shift
  build=${TQ_BENCH_BUILD_DIR:-build/default}
  if [ -n "${TQ_BENCH_BUILD_DIR:-}" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  else
    cmake --preset default >/dev/null
  fi
  cmake --build "$build" -j2 --target cisrv >/dev/null
  echo "# The reference CI server at scale"
  echo
  echo "- machine: $(nproc) CPUs, kernel $(uname -r), $(df -T "$build" | awk 'NR == 2 { print $2 }') under $build"
  echo "- commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet HEAD 2>/dev/null || echo ' (with local changes)')"
  echo "- 1-minute load before the run: $(cut -d' ' -f1 /proc/loadavg)"
  python3 scripts/scale_bench.py --cisrv "$build/bin/cisrv" --folder "$build" \
    --plot "$build/scale-$(date +%Y%m%d-%H%M%S).png" "$@"
  echo "- 1-minute load after the run: $(cut -d' ' -f1 /proc/loadavg)"
  exit 0
fi

args=()
for arg in "$@"; do
  if [ "$arg" = --quick ]; then
    args+=(--benchmark_repetitions=3 --benchmark_min_time=0.1)
  else
    args+=("$arg")
  fi
done

if [ -n "${TQ_BENCH_BUILD_DIR:-}" ]; then
  build=$TQ_BENCH_BUILD_DIR
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target tqci_bench tqci_bench_core cisrv tqdir >/dev/null
else
  build=build/default
  cmake --preset default >/dev/null
  cmake --build --preset default --target tqci_bench tqci_bench_core cisrv tqdir >/dev/null
fi
bin=$build/bin
log=$build/bench-$(date +%Y%m%d-%H%M%S).log

load() { cut -d' ' -f1 /proc/loadavg; }
echo "# TQCIHelper benchmarks"
echo
echo "- machine: $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p' | head -1), kernel $(uname -r)"
echo "- commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet HEAD 2>/dev/null || echo ' (with local changes)')"
echo "- 1-minute load before the run: $(load)"
if awk "BEGIN { exit !($(load) >= 1.0) }"; then
  echo "- WARNING: the machine is busy (load >= 1.0); figures will be noisy, ratios less so"
fi
echo "- progress of the programs: $log"

# The PostgreSQL directory cases use a throw-away cluster, removed when this
# script's end of the pipe closes (also when the script is interrupted).
coproc postgres { exec python3 tests/e2e/pgcluster.py serve; }
read -r uri <&"${postgres[0]}" || uri=
if [[ $uri == postgresql://* ]]; then
  export TQ_BENCH_POSTGRES=$uri
  echo "- PostgreSQL directory: a throw-away local cluster ($uri)"
else
  echo "- no PostgreSQL directory cases: ${uri:-the cluster did not start}"
fi

status=0
"$bin/tqci_bench_core" "${args[@]}" 2>>"$log" || status=1
"$bin/tqci_bench" "${args[@]}" 2>>"$log" || status=1
input=${postgres[1]}
exec {input}>&-
wait "$postgres_PID" 2>/dev/null || true
echo
echo "- 1-minute load after the run: $(load)"
if [ "$status" -ne 0 ]; then
  echo "A benchmark failed; the end of $log:"
  tail -n 20 "$log"
fi
exit "$status"
