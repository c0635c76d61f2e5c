#!/usr/bin/env bash
# Checks the package that pack.sh made: its listing and fields, the
# monitor's image and ELF, the engine it carries or depends on, and that the
# packed programs run.
#   check_package.sh BUILD_DIR
set -euo pipefail
build="$1"
# shellcheck source=package_files.sh
source "$(dirname "$0")/package_files.sh" "$build"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() { echo "check_package: $*" >&2; exit 1; }

deb=("$package_work"/pack/*.deb)
[ -f "${deb[0]}" ] || fail "no package in $package_work/pack"
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
for lib in libsqlite3-0 libpq5 libcpp-httplib; do
  grep -q "^Depends:.*$lib" <<<"$info" || fail "korvastation's $lib dependency is missing: $info"
done
grep -q '^Maintainer: .' <<<"$info" || fail "no maintainer"

dpkg -x "${deb[0]}" "$work/root"
version="$(dpkg-deb -f "${deb[0]}" Version)"
zcat "$work/root/$doc/changelog.gz" | head -1 | grep -q "^korva-dudedoved ($version) " \
  || fail "the changelog's first entry is not version $version"
cmp -s "$work/root/usr/lib/korva/boot_image.bin" "$build/firmware/boot_image.bin" \
  || fail "the packed boot image differs from the build's"
file -b "$work/root/usr/lib/korva/boot_image.elf" | grep -q 'ELF 32-bit MSB executable, ARM.*not stripped' \
  || fail "the packed firmware ELF is not the board's program with its symbols"
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
# The service: its unit as systemd reads it, its user made as the package's
# postinst makes it (in a copy of this machine's users), in group dialout.
postinst="$(dpkg-deb -I "${deb[0]}" postinst)" || fail "the package has no postinst to make the service's user"
grep -q 'systemd-sysusers korva.conf' <<<"$postinst" || fail "the postinst does not make the service's user: $postinst"
mkdir -p "$work/users/etc" "$work/users/usr/lib/sysusers.d"
cp /etc/passwd /etc/group /etc/shadow /etc/gshadow "$work/users/etc/" 2>/dev/null || true
cp "$work/root/usr/lib/sysusers.d/korva.conf" "$work/users/usr/lib/sysusers.d/"
systemd-sysusers --root="$work/users" korva.conf || fail "systemd-sysusers refuses the package's korva.conf"
grep -q '^korva:' "$work/users/etc/passwd" || fail "no user korva after systemd-sysusers"
grep -q '^dialout:.*korva' "$work/users/etc/group" || fail "user korva is not in group dialout"
unit="$work/root/usr/lib/systemd/system/korvastation.service"
grep -q '^ExecStart=/usr/bin/korvastation serve --config /etc/korva/station.toml$' "$unit" || fail "the unit runs: $(grep ExecStart "$unit")"
if ! verified="$(SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$unit" 2>&1)"; then
  grep -v 'korvastation.service: Command /usr/bin/korvastation is not executable' <<<"$verified" | grep -q .     && fail "systemd-analyze finds faults in the unit: $verified"
fi
echo "package ${deb[0]##*/}: programs, manual pages and the monitor's image; the programs run"
