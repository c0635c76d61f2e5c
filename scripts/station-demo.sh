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
sims=()
cleanup() {
  for sim in "${sims[@]}"; do kill "$sim" 2>/dev/null || true; done
  for sim in "${sims[@]}"; do wait "$sim" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT

boards=()
start_board() {  # LABEL [FAULT]
  local out="$work/$1.out"
  if [ -n "${2:-}" ]; then
    "$build/sim/korvasim" --fault "$2" >"$out" 2>/dev/null &
  else
    "$build/sim/korvasim" >"$out" 2>/dev/null &
  fi
  sims+=($!)
  for _ in $(seq 100); do
    [ -s "$out" ] && break
    sleep 0.05
  done
  [ -s "$out" ] || { echo "station-demo: board $1 did not start" >&2; exit 1; }
  boards+=("$(head -n 1 "$out")=$1")
}
start_board SN1001
start_board SN1002
start_board SN1003 sram.d3=0
start_board SN1004 flash.busy

status=0
"$build/station/korvastation" --dudedoved "$build/host/dudedoved" --silence-timeout 5 \
  "$@" "${boards[@]}" || status=$?
exit "$status"
