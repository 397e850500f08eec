#!/usr/bin/env bash
# Builds tls_bench against a build of the tree, makes throw-away certificates
# and runs it: attach and erase round-trip costs, TLS 1.3 against plain TCP.
# Usage: bench/tls/run.sh [BUILD_DIR] [ATTACHES] [ERASES]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build/default}
work=$(mktemp -d /tmp/tq-tls-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

key=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
openssl req -x509 "${key[@]}" -keyout "$work/ca.key" -out "$work/ca.pem" -days 1 \
  -subj "/CN=bench authority" -addext basicConstraints=critical,CA:TRUE 2>/dev/null
for end in server host; do
  openssl req -new "${key[@]}" -keyout "$work/$end.key" -out "$work/$end.csr" -subj "/CN=$end" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\n' >"$work/$end.ext"
  openssl x509 -req -in "$work/$end.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
    -days 1 -extfile "$work/$end.ext" -out "$work/$end.pem" 2>/dev/null
done

g++ -std=c++17 -O2 -Wall -Wextra -Werror -o "$work/tls_bench" "$here/tls_bench.cpp" \
  -I"$root/product/session" -I"$root/platform" -L"$build/lib" -Wl,-rpath,"$build/lib" \
  -lTqSession -lYxUtils -lpthread
"$work/tls_bench" "$work" "${2:-300}" "${3:-20000}"
