#!/usr/bin/env bash
# The main job: sets up and builds, starts the simulated Korva board, runs
# dudedoved against it and stops the board again.
#
#   scripts/demo.sh [--fault SPEC]... [dudedoved options and test name]
#
# --fault options go to the simulator (see korvasim --help); everything else
# goes to dudedoved, for example: scripts/demo.sh -v sram
#                                 scripts/demo.sh --fault sram.d3=0
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"

sim_args=()
tool_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --fault) sim_args+=(--fault "${2:?--fault needs a SPEC}"); shift 2 ;;
    --fault=*) sim_args+=(--fault "${1#--fault=}"); shift ;;
    *) tool_args+=("$1"); shift ;;
  esac
done

sim_out="$(mktemp)"
"$build/sim/korvasim" "${sim_args[@]}" >"$sim_out" &
sim=$!
cleanup() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  rm -f "$sim_out"
}
trap cleanup EXIT
trap 'exit 130' INT

port=""
for _ in $(seq 100); do
  port="$(head -n 1 "$sim_out")"
  [ -n "$port" ] && break
  kill -0 "$sim" 2>/dev/null || exit 1
  sleep 0.05
done
[ -n "$port" ] || { echo "demo: the simulated board did not start" >&2; exit 1; }

status=0
"$build/host/dudedoved" -p "$port" "${tool_args[@]}" || status=$?
exit "$status"
