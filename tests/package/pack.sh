#!/usr/bin/env bash
# Installs the build tree into a root of its own and packs it with CPack, into
# BUILD_DIR/package-test for the package tests that follow.
#   pack.sh BUILD_DIR
set -euo pipefail
build="$1"
# shellcheck source=package_files.sh
source "$(dirname "$0")/package_files.sh" "$build"
fail() { echo "pack: $*" >&2; exit 1; }

rm -rf "$package_work"
mkdir -p "$package_work"
cmake --install "$build" --prefix "$package_work/install/usr" >/dev/null
for f in "${expected[@]}"; do
  [ -e "$package_work/install/$f" ] || fail "cmake --install left out $f"
done
(cd "$package_work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$package_work/pack" >/dev/null) \
  || fail "cpack -G DEB failed"
deb=("$package_work"/pack/*.deb)
[ -f "${deb[0]}" ] || fail "cpack made no .deb"
echo "packed ${deb[0]##*/}"
