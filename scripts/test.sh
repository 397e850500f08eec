#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the release
# build, then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# then static analysis and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

for preset in default asan; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset"
done

echo "=== static analysis"
bash scripts/lint.sh build/default

echo "=== fuzz: ${TQ_FUZZ_SECONDS:-10} s per target"
bash scripts/fuzz.sh "${TQ_FUZZ_SECONDS:-10}"
