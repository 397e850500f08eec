#!/usr/bin/env bash
# Static analysis of the helper library (src/, include/), the tools (tools/) and
# the product libraries (product/, platform/): clang-tidy with the checks in
# .clang-tidy and cppcheck (tests are not analysed), and the layout that
# .clang-format gives of every C++ file changed since .clang-format itself last
# changed (when the formatter was last applied to the whole tree), tests
# included. Prints every finding and a summary; exits 1 when there are
# findings, 2 when a tool is missing.
#
# Usage: scripts/lint.sh [BUILD_DIR]     (default: build/default)
# The compile_commands.json of BUILD_DIR gives each file's flags; the directory
# is configured (not built) when it has none. Runs two jobs at a time.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=${1:-build/default}
jobs=2

clang_tidy=${CLANG_TIDY:-$(command -v clang-tidy || command -v clang-tidy-14 || true)}
clang_format=${CLANG_FORMAT:-$(command -v clang-format || command -v clang-format-14 || true)}
for tool in "$clang_tidy" "$clang_format" cppcheck python3; do
  if [ -z "$tool" ] || ! command -v "$tool" >/dev/null; then
    echo "lint: ${tool:-clang-tidy or clang-format} is not installed (Debian packages clang-tidy clang-format cppcheck python3)" >&2
    exit 2
  fi
done

if [ ! -f "$build_dir/compile_commands.json" ]; then
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
fi
database=$(cd "$build_dir" && pwd)/compile_commands.json

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
started=$SECONDS

# A path as a literal in a POSIX extended regular expression.
regex_literal() { sed 's/[].[()*+?{}|^$\\]/\\&/g' <<<"$1"; }
root_re=$(regex_literal "$root")

# The translation units of the database under the given folders (relative to
# the repository), one a line, sorted.
units_under() {
  python3 - "$database" "$root" "$@" <<'PY'
import json, os, sys
database, root, folders = sys.argv[1], sys.argv[2], sys.argv[3:]
files = set()
for entry in json.load(open(database)):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    relative = os.path.relpath(path, root)
    if any(relative.startswith(folder + "/") for folder in folders):
        files.add(path)
print("\n".join(sorted(files)))
PY
}

checked_dirs=(src tools product)
checked_headers="^$root_re/(include|platform|src|tools|product)/"

# Runs clang-tidy over the files on standard input, two at a time; each file's
# diagnostics are kept together. Prints them; the status is 1 on findings.
run_clang_tidy() {
  local header_filter=$1 out=$2
  mkdir -p "$out"
  xargs -r -P "$jobs" -I{} sh -c '
      name=$(printf %s "$1" | tr / _)
      "$0" -p "$2" --quiet --header-filter="$3" "$1" >"$4/$name.log" 2>&1 || echo "$1" >>"$4/$name.failed"
    ' "$clang_tidy" {} "$database" "$header_filter" "$out"
  # Each diagnostic once (a header's come with every file including it), with
  # its notes; the counts of suppressed warnings are noise.
  cat "$out"/*.log 2>/dev/null | awk '
    /^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$/ { next }
    /^\/[^:]+:[0-9]+:[0-9]+: (warning|error): / { keep = !seen[$0]++ }
    keep'
  ! ls "$out"/*.failed >/dev/null 2>&1
}

# Distinct diagnostics in clang-tidy or cppcheck output (headers are reported
# once per including file).
count_findings() { grep -E '^/[^:]+:[0-9]+:[0-9]+: (warning|error|style|performance|portability): ' | sort -u | wc -l; }

run_cppcheck() {
  cppcheck --project="$database" --enable=warning,performance,portability --library=posix \
           --inline-suppr --error-exitcode=1 -j "$jobs" --quiet \
           --template='{file}:{line}:{column}: {severity}: {message} [{id}]' "$@" 2>&1
}

echo "=== clang-tidy: ${checked_dirs[*]}"
units_under "${checked_dirs[@]}" >"$work/units"
if [ ! -s "$work/units" ]; then
  echo "lint: $database lists no sources of ${checked_dirs[*]}" >&2
  exit 2
fi
tidy_output=$(run_clang_tidy "$checked_headers" "$work/tidy" <"$work/units")
tidy_status=$?
[ -n "$tidy_output" ] && echo "$tidy_output"
tidy_count=$(count_findings <<<"$tidy_output")
tidy_seconds=$((SECONDS - started))

echo "=== cppcheck: ${checked_dirs[*]}"
filters=()
for dir in "${checked_dirs[@]}"; do filters+=("--file-filter=$root/$dir/*"); done
cppcheck_output=$(run_cppcheck "${filters[@]}")
cppcheck_status=$?
[ -n "$cppcheck_output" ] && echo "$cppcheck_output"
cppcheck_count=$(count_findings <<<"$cppcheck_output")
cppcheck_seconds=$((SECONDS - started - tidy_seconds))

# The C++ files changed since .clang-format last changed, committed or not; every
# C++ file when this is no git work tree. Prints the files whose layout differs.
changed_cpp_files() {
  local base
  if base=$(git log -1 --format=%H -- .clang-format 2>/dev/null) && [ -n "$base" ]; then
    { git diff --name-only "$base" -- '*.cpp' '*.h'; git ls-files --others --exclude-standard -- '*.cpp' '*.h'; } | sort -u
  else
    find include platform src product tools tests bench -name '*.cpp' -o -name '*.h'
  fi
}
echo "=== clang-format: C++ files changed since the formatter was applied"
format_count=0
while IFS= read -r file; do
  [ -f "$file" ] || continue
  if ! "$clang_format" --dry-run --Werror "$file" >/dev/null 2>&1; then
    echo "$file: layout differs from .clang-format (run: $clang_format -i $file)"
    format_count=$((format_count + 1))
  fi
done < <(changed_cpp_files)

echo "=== lint summary ($((SECONDS - started)) s)"
echo "clang-tidy: $tidy_count finding(s) in $(wc -l <"$work/units") files ($tidy_seconds s)"
echo "cppcheck:   $cppcheck_count finding(s) ($cppcheck_seconds s)"
echo "clang-format: $format_count file(s) to reformat"
if [ "$tidy_status" -ne 0 ] || [ "$cppcheck_status" -ne 0 ] || [ "$format_count" -ne 0 ]; then
  echo "lint: FAILED"
  exit 1
fi
echo "lint: clean"
