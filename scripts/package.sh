#!/usr/bin/env bash
# Builds the Debian package tqcihelper_<version>_amd64.deb: a build for the
# prefix /usr in build/package (no tests, no benchmarks), then cpack. Prints
# the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=build/package
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$build" -j2
(cd "$build" && cpack -G DEB >/dev/null)
ls "$PWD/$build"/tqcihelper_*_amd64.deb
