#!/usr/bin/env bash
# Checks the shipped helper library: exactly the expected exported symbols, the
# run-time search path, the needed product libraries and the version stamp.
set -euo pipefail
lib=$1
expected=$2
fail=0

actual=$(nm -D --defined-only "$lib" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }' | c++filt | sort -u)
if ! diff <(sort -u "$expected") <(echo "$actual"); then
  echo "FAIL: exported symbols differ from $expected (< expected, > actual)"
  fail=1
fi

dynamic=$(readelf -d "$lib")
if ! grep -Eq '\((RUNPATH|RPATH)\).*\[\$ORIGIN:\$ORIGIN/\.\./Base64\]' <<<"$dynamic"; then
  echo "FAIL: run-time search path is not \$ORIGIN:\$ORIGIN/../Base64"
  grep -E 'RUNPATH|RPATH' <<<"$dynamic" || true
  fail=1
fi
for needed in libYxUtils.so libTqSession.so libTqLib.so libTQAppMgr.so libArMgrCS.so libArMgrDS.so; do
  if ! grep -q "Shared library: \[$needed\]" <<<"$dynamic"; then
    echo "FAIL: $needed is not a needed library"
    fail=1
  fi
done

section=$(readelf -W -S "$lib" | grep -E ' TqVersion ' || true)
if [ -z "$section" ]; then
  echo "FAIL: no TqVersion section"
  fail=1
else
  flags=$(awk '{ for (i = 1; i <= NF; i++) if ($i == "TqVersion") { print $(i + 7) } }' <<<"$section")
  if [[ "$flags" == *A* ]]; then
    echo "FAIL: TqVersion is loaded at run time (flags $flags)"
    fail=1
  fi
  dump=$(mktemp)
  trap 'rm -f "$dump"' EXIT
  objcopy --dump-section TqVersion="$dump" "$lib" /dev/null
  if ! grep -Eqx '[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+ [0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}' "$dump" ||
     [ "$(wc -l <"$dump")" -ne 1 ] || [ "$(tail -c 1 "$dump" | od -An -tx1 | tr -d ' ')" != 0a ]; then
    text=$(cat "$dump")
    echo "FAIL: TqVersion does not hold one version line: '$text'"
    fail=1
  fi
fi

[ "$fail" -eq 0 ] && echo "shared object checks passed"
exit "$fail"
