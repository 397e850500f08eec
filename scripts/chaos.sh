#!/usr/bin/env bash
# A seeded randomized fault run of the whole cell (docs/RELIABILITY.md): the
# directory on PostgreSQL, three CI servers and two hosts in network
# namespaces, TLS everywhere; workers erase and prune through tqci while a
# writer adds documents and a nemesis kills, pauses, partitions, locks, fills
# and fails the syncs of what they talk to. Then the checker reads every index
# and reports the anomalies. Needs root. Builds the default preset when it is
# not built.
#
#   scripts/chaos.sh [--seed S] [--ops N] [--minutes M] [--no-faults] [--keep DIR] [--json FILE]
#
# Exit status 0 when the checker found no anomaly.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "chaos.sh: needs root (network namespaces, tmpfs, iptables)" >&2
  exit 2
fi
bash scripts/install-deps.sh
if [ ! -x build/default/bin/tqci ] || [ ! -x build/default/bin/cisrv ] || [ ! -x build/default/bin/tqdir ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target tqci cisrv tqdir
fi

export TQ_BIN_DIR=${TQ_BIN_DIR:-$PWD/build/default/bin}
export PYTHONDONTWRITEBYTECODE=1
exec python3 tests/chaos/chaos.py "$@"
