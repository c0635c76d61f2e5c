#!/usr/bin/env bash
# The test station at work: sets up and builds, starts four simulated
# boards (one sound, one more sound, one with SRAM data line 3 stuck at 0,
# one whose flash never gets ready) and runs korvastation on them.
#
#   scripts/station-demo.sh [korvastation options]
#
# For example: scripts/station-demo.sh --passes 5 --json demo.json
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"

work="$(mktemp -d)"
# shellcheck source=simulated-boards.sh
source "$root/scripts/simulated-boards.sh"
trap 'exit 130' INT

boards=()
add_board() {  # LABEL [FAULT]
  start_board "$@"
  boards+=("$port=$1")
}
add_board SN1001
add_board SN1002
add_board SN1003 sram.d3=0
add_board SN1004 flash.busy

status=0
"$build/station/korvastation" --dudedoved "$build/host/dudedoved" --silence-timeout 5 \
  "$@" "${boards[@]}" || status=$?
exit "$status"
