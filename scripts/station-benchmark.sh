#!/usr/bin/env bash
# The station's own cost, from a build without sanitizers in build-release/
# (or $BENCH_BUILD_DIR): one run of the station on 1 simulated board and on
# BOARDS (default 16) at once, each as a single pass (verbose), as a
# one-pass quiet burn-in and as a single pass on boards that the station
# powers through their pipes; wall time, and the station's own CPU time (without
# its dudedoved children) against one core.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
build="${BENCH_BUILD_DIR:-$root/build-release}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVA_SANITIZE=OFF -DKORVA_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
work="$(mktemp -d)"
# shellcheck source=simulated-boards.sh
source "$root/scripts/simulated-boards.sh"

# Starts n boards; their PORT=LABEL@SWITCH arguments in $boards.
start_boards() {
  stop_boards
  boards=()
  for i in $(seq "$1"); do
    start_board "B$i"
    boards+=("$port=B$i@$switch")
  done
}

# One station run; prints wall seconds and the station's own CPU seconds.
station_run() {
  local start end cpu=0 pid
  start=$(date +%s.%N)
  "$build/station/korvastation" --dudedoved "$build/host/dudedoved" --log-dir "$work/logs" "$@" \
    "${boards[@]}" >/dev/null &
  pid=$!
  while [ -r "/proc/$pid/stat" ]; do
    cpu=$(awk -v tck="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / tck }' "/proc/$pid/stat" 2>/dev/null || echo "$cpu")
    sleep 0.05
  done
  wait "$pid" || true
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v c="$cpu" 'BEGIN { printf "%.2f %.3f", e - s, c }'
}

n="${BOARDS:-16}"
for mode in single burn-in powered; do
  args=()
  POWERED=
  [ "$mode" = burn-in ] && args=(--duration 1s)
  if [ "$mode" = powered ]; then
    POWERED=1
    args=(--power-shell --power-on 'echo on > {switch}' --power-off 'echo off > {switch}' --power-cycle-wait 0)
  fi
  start_boards 1
  read -r wall1 cpu1 <<<"$(station_run "${args[@]}")"
  start_boards "$n"
  read -r walln cpun <<<"$(station_run "${args[@]}")"
  echo "$mode pass: 1 board ${wall1} s; $n boards ${walln} s ($(awk -v a="$wall1" -v b="$walln" 'BEGIN { printf "%.2f", b / a }') x); station CPU ${cpun} s = $(awk -v c="$cpun" -v w="$walln" 'BEGIN { printf "%.2f%%", 100 * c / w }') of one core"
done
