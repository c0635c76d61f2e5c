#!/usr/bin/env bash
# korvasim's engine: where the system's Unicorn is older than 2.1 (Debian 12
# has 2.0.1, whose guest stores take a slow path), puts Debian 13's
# libunicorn2t64 and libunicorn-dev into third_party/unicorn/root, fetched and
# checked by apt with a configuration and lists of its own: the machine's
# sources are left alone. The build uses that copy when it is there and falls
# back to the system's engine, saying so, when it is not.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dest="$root/third_party/unicorn"
suite=trixie
packages=(libunicorn2t64 libunicorn-dev)

system_version="$(pkg-config --modversion unicorn 2>/dev/null || echo none)"
if [ "$system_version" != none ] && dpkg --compare-versions "$system_version" ge 2.1; then
  exit 0
fi
if [ -f "$dest/root/usr/include/unicorn/unicorn.h" ] && [ -f "$dest/version" ]; then
  exit 0
fi

fallback() {
  echo "setup: cannot use Unicorn 2.1 from Debian 13 ($*); korvasim builds with the system's" \
       "Unicorn $system_version" >&2
  rm -rf "$dest/root" "$apt_dir"
  exit 0
}

apt_dir="$dest/apt"
rm -rf "$apt_dir" "$dest/root"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/debs"
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
  >"$apt_dir/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
             -o Dir::State::status=/dev/null -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)")
apt-get "${apt_options[@]}" -qq update >/dev/null 2>&1 || fallback "apt cannot read Debian 13's package lists"
(cd "$apt_dir/debs" && apt-get "${apt_options[@]}" -qq download "${packages[@]}" >/dev/null 2>&1) \
  || fallback "apt cannot download ${packages[*]}"

# The library must run on this system's C library.
library_deb=("$apt_dir"/debs/libunicorn2t64_*.deb)
needed_libc="$(dpkg-deb -f "${library_deb[0]}" Depends | sed -n 's/.*libc6 (>= \([^)]*\)).*/\1/p')"
system_libc="$(dpkg-query -W -f='${Version}' libc6)"
[ -n "$needed_libc" ] || fallback "no C library version in its dependencies"
dpkg --compare-versions "$system_libc" ge "$needed_libc" \
  || fallback "it needs libc6 $needed_libc, the system has $system_libc"

for deb in "$apt_dir"/debs/*.deb; do
  dpkg-deb -x "$deb" "$dest/root"
done
dpkg-deb -f "${library_deb[0]}" Version >"$dest/version"
rm -rf "$apt_dir"
echo "setup: Unicorn $(cat "$dest/version") from Debian 13 in third_party/unicorn (the system has $system_version)"
