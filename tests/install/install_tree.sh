#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it as another project
# would: the layout, the helper's run path, a consumer built with
# find_package and one with pkg-config, and every tool, each run with the build
# tree out of reach. Last, a project that embeds the sources is configured.
# Usage: install_tree.sh BUILD_DIR VERSION SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
source=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/tqci-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
private=$(dirname "$(find "$prefix" -name libTQCIHelper.so)")
[ "$(basename "$private")" = tqcihelper ] || fail "libTQCIHelper.so is in $private"
libdir=$(dirname "$private")
for file in "$private"/lib{TQCIHelper,YxUtils,TqSession,TqLib,TQAppMgr,ArMgrCS,ArMgrDS}.so \
    "$prefix"/bin/{tqci,cisrv,tqdir} "$prefix/include/tqcihelper/TQCIHelper.h" \
    "$libdir"/cmake/TQCIHelper/TQCIHelper{Config,ConfigVersion}.cmake \
    "$libdir/pkgconfig/tqcihelper.pc" "$prefix/lib/systemd/system/cisrv@.service"; do
  [ -f "$file" ] || fail "${file#"$prefix"/} is not installed"
done
readelf -d "$private/libTQCIHelper.so" | grep -q 'RUNPATH.*\[\$ORIGIN:\$ORIGIN/\.\./Base64\]' ||
  fail "the installed helper's run path changed"
objcopy --dump-section TqVersion=/dev/stdout "$private/libTQCIHelper.so" /dev/null | grep -q "^$version " ||
  fail "the helper's version stamp is not $version"
grep -qx "ExecStart=$prefix/bin/cisrv serve .*" "$prefix/lib/systemd/system/cisrv@.service" ||
  fail "the unit does not start $prefix/bin/cisrv"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$prefix/lib/systemd/system/cisrv@.service" ||
  fail "the unit does not reopen the log on reload"

cmake -S "$here/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log"
cmake --build "$work/consumer" >>"$work/consumer.log"
# shellcheck disable=SC2046  # the flags are words
c++ -std=c++17 -o "$work/consumer-pc" "$here/consumer/main.cpp" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs tqcihelper)

# Hides the build tree behind an empty folder (a private mount) when this
# process may mount; otherwise the loader's answer must name nothing in it.
out_of_reach() {
  if unshare --mount true 2>/dev/null; then
    unshare --mount sh -c 'mount -t tmpfs none "$0" && exec "$@"' "$build" "$@"
  else
    ! ldd "$1" | grep -e "$build" -e "not found" || fail "$1 needs the build tree"
    "$@"
  fi
}
export TQ_LOG_DIR=$work/log
for consumer in "$work/consumer/consumer" "$work/consumer-pc"; do
  [ "$(out_of_reach "$consumer")" = "consumer: ok" ] || fail "$consumer did not run"
done
grep -q "the path is null" "$TQ_LOG_DIR/CIHelper.log" || fail "the consumers' helper wrote no log"
for tool in tqci cisrv tqdir; do
  [ "$(out_of_reach "$prefix/bin/$tool" --version)" = "$tool $version" ] ||
    fail "$tool --version is not '$tool $version'"
done
cmake -S "$here/parent" -B "$work/parent" -DTQCIHELPER_SOURCE_DIR="$source" >"$work/parent.log" ||
  { cat "$work/parent.log"; fail "a project embedding the sources does not configure"; }
echo "installed tree checks passed"
