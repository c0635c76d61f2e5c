#!/usr/bin/env bash
# The test station at work on a line that it powers itself: sets up and
# builds, starts four simulated boards whose power is under a switch (one
# sound, one that fails its first power-up and then passes, one with SRAM
# data line 3 stuck at 0, one whose flash hangs on its first power-up) and
# runs korvastation on them, with one retest for a board that failed or hung.
# Each board's switch is its simulator's power pipe; a real line names a
# relay or a hub port there (see docs/station.md).
#
#   scripts/station-demo.sh [korvastation options]
#
# For example: scripts/station-demo.sh --json demo.json --junit demo.xml
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"

work="$(mktemp -d)"
# shellcheck source=simulated-boards.sh
source "$root/scripts/simulated-boards.sh"
trap 'exit 130' INT

POWERED=1
boards=()
add_board() {  # LABEL [FAULT]
  start_board "$@"
  boards+=("$port=$1@$switch")
}
add_board SN1001
add_board SN1002 sram.d3=0,first=1
add_board SN1003 sram.d3=0
add_board SN1004 flash.busy,first=1

status=0
# The logs go with the boards unless --log-dir keeps them somewhere.
"$build/station/korvastation" --dudedoved "$build/host/dudedoved" --log-dir "$work/logs" --silence-timeout 5 \
  --power-shell --power-on 'echo on > {switch}' --power-off 'echo off > {switch}' \
  --power-cycle-wait 1 --retest 1 "$@" "${boards[@]}" || status=$?
exit "$status"
