#!/usr/bin/env bash
# lintian on the package that pack.sh made: no error and no warning.
#   lintian.sh BUILD_DIR
set -euo pipefail
# shellcheck source=package_files.sh
source "$(dirname "$0")/package_files.sh" "$1"
deb=("$package_work"/pack/*.deb)
[ -f "${deb[0]}" ] || { echo "lintian: no package in $package_work/pack" >&2; exit 1; }
if ! report="$(lintian --fail-on error,warning "${deb[0]}" 2>&1)"; then
  echo "lintian finds errors or warnings in ${deb[0]##*/}: $report" >&2
  exit 1
fi
echo "lintian: ${deb[0]##*/} has no error or warning"
