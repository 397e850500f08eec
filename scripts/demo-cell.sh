#!/usr/bin/env bash
# The library's main job across machines: the directory on PostgreSQL, two
# reference CI servers and the backup host, each a network namespace of its
# own on a private bridge, TLS everywhere (tests/e2e/netcell.py, which the
# e2e.cell test shares). Shows each step and the indexes before and after,
# then removes every process, namespace and link. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null

export TQ_BIN_DIR=$PWD/build/default/bin
exec python3 tests/e2e/netcell.py
