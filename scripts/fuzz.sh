#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: clang, ASan, UBSan) and
# runs each for SECONDS_PER_TARGET seconds (default 20). Each run starts from
# the target's seed corpus and regression inputs (tests/fuzz/corpus/<target>,
# tests/fuzz/regressions/<target>) and keeps what it finds in a scratch
# folder, so the repository is never written to.
#
# Prints target / executions / result and exits 1 when any target crashed,
# hung or ran out of memory; the input that did it and the run's log are kept
# and named in the table.
#
# Environment:
#   TQ_FUZZ_BUILD_DIR  build folder (default: the preset's, build/fuzz)
#   TQ_FUZZ_OUT        where logs and crash inputs go (default: a new folder
#                      under <build folder>/fuzz-runs)
set -euo pipefail

usage() {
  echo "usage: $0 [SECONDS_PER_TARGET]" >&2
  exit 2
}

seconds=${1:-20}
[[ $# -le 1 && $seconds =~ ^[0-9]+$ && $seconds -gt 0 ]] || usage

# A single input may run this long before it counts as a hang.
readonly input_timeout=30
readonly rss_limit_mb=2048

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh needs clang with its libFuzzer runtime (Debian: clang libclang-rt-14-dev)" >&2
  exit 2
fi

cd "$(dirname "$0")/.."
build_dir=${TQ_FUZZ_BUILD_DIR:-$PWD/build/fuzz}

echo "=== configure and build the fuzz targets in $build_dir"
cmake --preset fuzz -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j 2 --target fuzz_targets >/dev/null

target_list=$build_dir/tests/fuzz/fuzz_targets.txt
if [[ ! -s $target_list ]]; then
  echo "no fuzz targets configured: $target_list is missing" >&2
  exit 2
fi

out=${TQ_FUZZ_OUT:-$build_dir/fuzz-runs/$(date +%Y%m%d-%H%M%S)}
mkdir -p "$out"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Executions of a finished run, from libFuzzer's final statistics.
executions_of() {
  local count
  count=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$1" | grep -o '[0-9]*$' | tail -n 1)
  echo "${count:-?}"
}

# What ended a failed run, and the input that did it.
failure_of() {
  local log=$1 rc=$2 kind artifact
  kind=$(grep -o -m 1 -E 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer): [a-z-]+|runtime error|fuzz invariant failed' "$log" || true)
  artifact=$(grep -o 'Test unit written to .*' "$log" | sed 's/Test unit written to //' | tail -n 1)
  echo "FAILED (exit $rc: ${kind:-see log}) input ${artifact:-none} log $log"
}

status=0
results=()
while read -r name program corpus regressions max_len; do
  echo "=== $name: ${seconds}s"
  work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-$name.XXXXXX")
  log=$out/$name.log
  rc=0
  "$program" -max_total_time="$seconds" -rss_limit_mb="$rss_limit_mb" -max_len="$max_len" \
    -timeout="$input_timeout" -print_final_stats=1 -artifact_prefix="$out/$name-" \
    "$work" "$corpus" "$regressions" >"$log" 2>&1 || rc=$?
  rm -rf "$work"
  if [[ $rc -eq 0 ]]; then
    results+=("$name|$(executions_of "$log")|ok")
  else
    results+=("$name|$(executions_of "$log")|$(failure_of "$log" "$rc")")
    status=1
  fi
done <"$target_list"

echo
printf '%-16s %12s  %s\n' target executions result
for row in "${results[@]}"; do
  IFS='|' read -r name executions result <<<"$row"
  printf '%-16s %12s  %s\n' "$name" "$executions" "$result"
done
echo "logs: $out"
exit $status
