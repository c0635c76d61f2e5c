#!/usr/bin/env bash
# Installs the build tree into a temporary root, packs it with CPack and
# checks that the package holds the programs, their manual pages and the
# monitor's image, that lintian finds no error or warning in it, and that the
# packed programs run.
#   check_package.sh BUILD_DIR
set -euo pipefail
build="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() { echo "check_package: $*" >&2; exit 1; }

doc=usr/share/doc/korva-dudedoved
expected=(usr/bin/dudedoved usr/bin/korvasim usr/bin/korvastation
          usr/share/man/man1/dudedoved.1.gz usr/share/man/man1/korvasim.1.gz usr/share/man/man1/korvastation.1.gz
          usr/lib/korva/boot_image.bin usr/lib/korva/boot_image.elf "$doc/copyright" "$doc/changelog.gz")

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
# korvasim's engine: the build's private copy goes with the package, found
# through the programs' run path; else the system's package is a dependency.
engine="$(grep -o ' \./usr/lib/[^ ]*/korva/libunicorn\.so\.2$' <<<"$listing" || true)"
if [ -n "$engine" ]; then
  ! grep -q '^Depends:.*libunicorn' <<<"$info" || fail "the package carries its engine but depends on one: $info"
  grep -q " \./$doc/copyright.libunicorn$" <<<"$listing" || fail "the engine's copyright is missing"
else
  grep -q '^Depends:.*libunicorn2 (>= ' <<<"$info" || fail "korvasim's libunicorn2 dependency is missing: $info"
fi
grep -q '^Depends:.*libtinyxml2-9 (>= ' <<<"$info" || fail "korvastation's libtinyxml2-9 dependency is missing: $info"
grep -q '^Maintainer: .' <<<"$info" || fail "no maintainer"

dpkg -x "${deb[0]}" "$work/root"
version="$(dpkg-deb -f "${deb[0]}" Version)"
zcat "$work/root/$doc/changelog.gz" | head -1 | grep -q "^korva-dudedoved ($version) " \
  || fail "the changelog's first entry is not version $version"
cmp -s "$work/root/usr/lib/korva/boot_image.bin" "$build/firmware/boot_image.bin" \
  || fail "the packed boot image differs from the build's"
file -b "$work/root/usr/lib/korva/boot_image.elf" | grep -q 'ELF 32-bit MSB executable, ARM.*not stripped' \
  || fail "the packed firmware ELF is not the board's program with its symbols"
lintian_report="$(lintian --fail-on error,warning "${deb[0]}" 2>&1)" \
  || fail "lintian finds errors or warnings in the package: $lintian_report"
"$work/root/usr/bin/korvasim" --help | grep -q -- '--monitor' || fail "the packed korvasim does not run"
if [ -n "$engine" ]; then
  resolved="$(ldd "$work/root/usr/bin/korvasim" | grep libunicorn)"
  grep -q "=> $work/root/.*/korva/libunicorn.so.2 " <<<"$resolved" || fail "the packed korvasim does not use the packed engine: $resolved"
fi
usage="$("$work/root/usr/bin/dudedoved" -h 2>&1 >/dev/null || true)"
grep -q '^Usage: dudedoved \[-c\] \[-h\] \[-l <logfile>\] \[-p <port>\] \[-v\] \[sdram|flash|sram\]$' \
  <<<"$usage" || fail "the packed dudedoved -h printed: $usage"
man -l "$work/root/usr/share/man/man1/dudedoved.1.gz" >/dev/null 2>&1 \
  || ! command -v man >/dev/null || fail "dudedoved.1 does not format"
echo "package ${deb[0]##*/}: programs, manual pages and the monitor's image; lintian clean; the programs run"
