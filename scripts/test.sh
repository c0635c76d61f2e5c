#!/usr/bin/env bash
# Sets up, builds the test tree build-test/ (or $TEST_BUILD_DIR: sanitizers,
# -Werror, tests, benchmarks) and runs every test, the Windows build's under
# Wine too. Arguments go to ctest (for example -R EndToEnd).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" --windows
build="${TEST_BUILD_DIR:-$root/build-test}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVA_SANITIZE=ON \
      -DKORVA_WERROR=ON -DKORVA_TESTS=ON -DKORVA_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
cd "$build"
# The tests wait on simulated boards about a third of their time: one more
# at once than there are cores keeps the cores busy (a tenth off the time).
ctest -j"$(( $(nproc) + 1 ))" --output-on-failure "$@"
