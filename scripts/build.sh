#!/usr/bin/env bash
# Installs what is missing, configures and builds a release build (no
# sanitizers) into build/ (or $BUILD_DIR): the programs a user would ship.
# Arguments go to setup.sh; CMAKE_ARGS adds configure options.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" "$@"
build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
