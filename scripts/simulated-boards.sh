# Sourced by the station's scripts: simulated boards that stop when the
# script ends. Needs $build (the build tree) and $work (a scratch folder,
# removed on exit).
#   start_board NAME [FAULT]   starts a korvasim; its port in $port
sims=()
stop_boards() {
  for sim in "${sims[@]}"; do kill "$sim" 2>/dev/null || true; done
  for sim in "${sims[@]}"; do wait "$sim" 2>/dev/null || true; done
  sims=()
}
trap 'stop_boards; rm -rf "$work"' EXIT

start_board() {
  local out="$work/$1.out"
  if [ -n "${2:-}" ]; then
    "$build/sim/korvasim" --fault "$2" >"$out" 2>/dev/null &
  else
    "$build/sim/korvasim" >"$out" 2>/dev/null &
  fi
  sims+=($!)
  for _ in $(seq 200); do
    [ -s "$out" ] && break
    sleep 0.05
  done
  [ -s "$out" ] || { echo "$(basename "$0"): board $1 did not start" >&2; exit 1; }
  port="$(head -n 1 "$out")"
}
