# Sourced by the station's scripts: simulated boards that stop when the
# script ends. Needs $build (the build tree) and $work (a scratch folder,
# removed on exit).
#   start_board NAME [FAULT]   starts a korvasim; its port in $port; with
#                              POWERED=1 its power under the pipe in $switch
sims=()
stop_boards() {
  for sim in "${sims[@]}"; do kill "$sim" 2>/dev/null || true; done
  for sim in "${sims[@]}"; do wait "$sim" 2>/dev/null || true; done
  sims=()
}
trap 'stop_boards; rm -rf "$work"' EXIT

start_board() {
  local out="$work/$1.out" options=()
  [ -n "${2:-}" ] && options+=(--fault "$2")
  switch="$work/$1.power"
  [ -n "${POWERED:-}" ] && options+=(--power "$switch")
  "$build/sim/korvasim" "${options[@]}" >"$out" 2>/dev/null &
  sims+=($!)
  for _ in $(seq 200); do
    [ -s "$out" ] && break
    sleep 0.05
  done
  [ -s "$out" ] || { echo "$(basename "$0"): board $1 did not start" >&2; exit 1; }
  port="$(head -n 1 "$out")"
}
