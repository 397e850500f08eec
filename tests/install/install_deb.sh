#!/usr/bin/env bash
# Builds the Debian package of this build folder with cpack, checks its files
# and Depends, unpacks it into a temporary root and runs tqci from there.
# Usage: install_deb.sh BUILD_DIR VERSION; exits 77 (skipped) without dpkg-deb.
set -euo pipefail
build=$1
version=$2
command -v dpkg-deb >/dev/null || { echo "dpkg-deb is not installed"; exit 77; }
work=$(mktemp -d /tmp/tqci-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$work/tqcihelper_${version}_amd64.deb
[ -f "$deb" ] || fail "no $(basename "$deb"): $(ls "$work")"

listing=$(dpkg-deb -c "$deb")
for file in bin/tqci bin/cisrv bin/tqdir tqcihelper/libTQCIHelper.so tqcihelper/libTqSession.so \
    include/tqcihelper/TQCIHelper.h lib/systemd/system/cisrv@.service; do
  grep -q "/usr/.*$file\$" <<<"$listing" || fail "$file is not in the package"
done
depends=$(dpkg-deb -f "$deb" Depends)
for package in libc6 libssl3 libsqlite3-0 libtirpc3; do
  [[ "$depends" == *"$package "* ]] || fail "Depends lacks $package: $depends"
done

dpkg -x "$deb" "$work/root"
[ "$("$work/root/usr/bin/tqci" --version)" = "tqci $version" ] || fail "tqci --version from the package"
grep -q '^ExecStart=/usr/bin/cisrv serve ' "$work/root/usr/lib/systemd/system/cisrv@.service" ||
  fail "the unit does not start /usr/bin/cisrv"
echo "package checks passed"
