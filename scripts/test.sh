#!/usr/bin/env bash
# Sets up, builds and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
cd "${BUILD_DIR:-$root/build}"
ctest -j"$(nproc)" --output-on-failure "$@"
