#!/usr/bin/env bash
# Installs the build tree into a temporary root, packs it with CPack and
# checks that the package holds both programs and their manual pages and that
# the packed dudedoved runs.
#   check_package.sh BUILD_DIR
set -euo pipefail
build="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() { echo "check_package: $*" >&2; exit 1; }

expected=(usr/bin/dudedoved usr/bin/korvasim usr/bin/korvastation
          usr/share/man/man1/dudedoved.1 usr/share/man/man1/korvasim.1 usr/share/man/man1/korvastation.1)

cmake --install "$build" --prefix "$work/install/usr" >/dev/null
for f in "${expected[@]}"; do
  [ -e "$work/install/$f" ] || fail "cmake --install left out $f"
done

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pack" >/dev/null) \
  || fail "cpack -G DEB failed"
deb=("$work"/pack/*.deb)
[ -f "${deb[0]}" ] || fail "cpack made no .deb"
listing="$(dpkg-deb -c "${deb[0]}")"
for f in "${expected[@]}"; do
  grep -q " \./$f\$" <<<"$listing" || fail "the package lacks $f"
done
info="$(dpkg-deb -f "${deb[0]}" Package Version Maintainer Depends Description)"
grep -q '^Package: korva-dudedoved$' <<<"$info" || fail "package name: $info"
grep -q '^Depends:.*libunicorn2' <<<"$info" || fail "korvasim's libunicorn2 dependency is missing"
grep -q '^Depends:.*libtinyxml2' <<<"$info" || fail "korvastation's libtinyxml2 dependency is missing"
grep -q '^Maintainer: .' <<<"$info" || fail "no maintainer"

dpkg -x "${deb[0]}" "$work/root"
usage="$("$work/root/usr/bin/dudedoved" -h 2>&1 >/dev/null || true)"
grep -q '^Usage: dudedoved \[-c\] \[-h\] \[-l <logfile>\] \[-p <port>\] \[-v\] \[sdram|flash|sram\]$' \
  <<<"$usage" || fail "the packed dudedoved -h printed: $usage"
man -l "$work/root/usr/share/man/man1/dudedoved.1" >/dev/null 2>&1 \
  || ! command -v man >/dev/null || fail "dudedoved.1 does not format"
echo "package ${deb[0]##*/}: both programs and manual pages, dudedoved -h runs"
