#!/usr/bin/env bash
# Compares the exported ABI of the freshly built helper library with the
# baseline kept in the repository and fails on any difference abidiff reports:
# symbols added or removed, changed signatures, class sizes and member offsets,
# member order, virtual table slots, and the layout of every type the exported
# interface reaches (the records and the product classes held by value).
#
# Usage: check_abi_baseline.sh LIBRARY BASELINE SOURCE_DIR SANITIZED
# Exits 77 (skipped) when libabigail is not installed, when the build is
# sanitized (instrumentation adds noise, not ABI) or has no debug information.
set -uo pipefail
lib=$1
baseline=$2
source_dir=$3
sanitized=$4
here=$(cd "$(dirname "$0")" && pwd)
readonly skipped=77

for tool in abidw abidiff python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (Debian package abigail-tools)"
    exit "$skipped"
  fi
done
case "${sanitized^^}" in
  ON | TRUE | YES | 1)
    echo "SKIP: sanitized build; the ABI is checked on the default build"
    exit "$skipped" ;;
esac
if ! readelf -S -W "$lib" | grep -q ' \.debug_info '; then
  echo "SKIP: $lib has no debug information (build with RelWithDebInfo)"
  exit "$skipped"
fi

current=$(mktemp)
trap 'rm -f "$current"' EXIT
if ! bash "$here/abi_dump.sh" "$lib" "$source_dir" >"$current"; then
  echo "FAIL: abidw could not read $lib"
  exit 1
fi

abidiff --suppressions "$here/abi.suppr" "$baseline" "$current"
status=$?
if [ "$status" -ne 0 ]; then
  echo "FAIL: the exported ABI of $lib differs from $baseline (abidiff status $status)."
  echo "An intended change of the interface needs scripts/update-abi-baseline.sh and a review of the diff."
  exit 1
fi

if ! cmp -s "$baseline" "$current"; then
  echo "note: abidiff finds no ABI change, but the dump differs from the baseline text;"
  echo "      scripts/update-abi-baseline.sh refreshes it."
fi
echo "exported ABI matches $baseline"
