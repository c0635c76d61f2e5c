#!/usr/bin/env bash
# Installs what is missing, configures and builds into build/ (or $BUILD_DIR).
# Arguments go to setup.sh (--windows for the Windows build and its tests).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" "$@"
build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
