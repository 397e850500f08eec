#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, when missing.
#   scripts/install-deps.sh           the build and the tests
#   scripts/install-deps.sh --bench   also redis-server (with redis-benchmark),
#                                     which scripts/bench.sh compares an erase with
set -euo pipefail

# prometheus brings promtool, which checks the metrics and the shipped alert rules.
packages=(
  build-essential cmake pkg-config binutils
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libtirpc-dev libssl-dev openssl
  libpq-dev postgresql iproute2 iptables fiu-utils libfiu-dev
  python3 abigail-tools gnuplot-nox
  libcli11-dev nlohmann-json3-dev dpkg-dev file
  prometheus-cpp-dev libcivetweb-dev libsystemd-dev prometheus
  clang libclang-rt-14-dev clang-tidy clang-format cppcheck strace
)

case "${1:-}" in
  "") ;;
  --bench) packages+=(redis-server redis-tools) ;;
  *) echo "usage: $0 [--bench]" >&2; exit 2 ;;
esac

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
