#!/usr/bin/env bash
# Sets up, builds and runs every test, the Windows build's under Wine too.
# Arguments go to ctest (for example -R EndToEnd).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh" --windows
cd "${BUILD_DIR:-$root/build}"
ctest -j"$(nproc)" --output-on-failure "$@"
