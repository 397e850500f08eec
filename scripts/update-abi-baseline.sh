#!/usr/bin/env bash
# Regenerates tests/abi/libTQCIHelper.abi, the exported ABI the abi.baseline
# test holds libTQCIHelper.so to.
#
# Use it only for a deliberate, reviewed change of the interface: a new export
# (compatible), or an incompatible change that ships with a new major version
# together with every module built against the old one. Never run it to make a
# failing abi.baseline pass: that failure is the point of the test. Commit the
# new baseline with the change that caused it, so the diff shows what moved.
#
# Usage: scripts/update-abi-baseline.sh [BUILD_DIR]   (default: build/default)
# The build must be RelWithDebInfo (debug information, same code as shipped)
# and not sanitized. The baseline does not depend on BUILD_DIR or on where the
# repository is checked out.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
build_dir=${1:-build/default}

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt"; }
if [ "$(cache_value CMAKE_BUILD_TYPE)" != RelWithDebInfo ]; then
  echo "error: $build_dir is not a RelWithDebInfo build" >&2
  exit 1
fi
case "$(cache_value TQ_SANITIZE)" in
  ON | TRUE | YES | 1) echo "error: $build_dir is a sanitized build" >&2; exit 1 ;;
esac

cmake --build "$build_dir" --target TQCIHelper -j2
baseline=tests/abi/libTQCIHelper.abi
bash tests/abi/abi_dump.sh "$build_dir/lib/libTQCIHelper.so" "$source_dir" >"$baseline.new"
mv "$baseline.new" "$baseline"
echo "wrote $baseline"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git diff --stat -- "$baseline"
fi
