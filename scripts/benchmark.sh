#!/usr/bin/env bash
# Speed figures of whole runs, each against its floor, from a build without
# sanitizers in build-release/ (or $BENCH_BUILD_DIR):
#  - a default quiet run: wall time against the floor that the protocol and
#    the simulated board set, and the tool's own CPU time against its wall time;
#  - the simulator idle: its CPU time over a few seconds with no host;
#  - a verbose paced continuous run: the time from its start to the third
#    verdict, and a later pass with the simulator's CPU time over it, against
#    the time the report takes on a 115200-baud line;
#  - the simulator's own benchmarks (start-up, tests, paced SDRAM report);
#  - memory over a long quiet continuous run (SOAK_MINUTES, default 10): the
#    simulator's resident size after the first minute and at the end;
#  - a soak of SOAK_COMMANDS (default one million) commands on one session;
#  - the diagnosis of a 16 MiB log: time and peak memory.
# The engine is the one the build finds (see sim/CMakeLists.txt); for the
# system's Unicorn 2.0.1 instead:
#   BENCH_BUILD_DIR=build-release-2.0.1 BENCH_CMAKE_ARGS=-DKORVA_UNICORN_ROOT=none ./scripts/benchmark.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
build="${BENCH_BUILD_DIR:-$root/build-release}"
# shellcheck disable=SC2086
configured="$(cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVA_SANITIZE=OFF -DKORVA_TESTS=OFF \
              -DKORVA_BENCHMARKS=ON ${BENCH_CMAKE_ARGS:-})"
echo "engine:      $(grep -o 'korvasim: Unicorn.*' <<<"$configured" | sed 's/^korvasim: //')"
cmake --build "$build" -j"$(nproc)" >/dev/null
tool="$build/host/dudedoved"
sim_bin="$build/sim/korvasim"
work="$(mktemp -d)"
sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

start_sim() {
  rm -f "$work/sim.out"
  "$sim_bin" "$@" >"$work/sim.out" &
  sim=$!
  until [ -s "$work/sim.out" ]; do sleep 0.01; done
  port="$(head -n 1 "$work/sim.out")"
}

# CPU seconds (user + system) of a running process.
cpu_of() {
  awk -v tck="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / tck }' "/proc/$1/stat"
}

image_size=$(stat -c %s "$build/firmware/boot_image.bin")
blocks=$((image_size / 128))
floor=$(awk -v b="$blocks" 'BEGIN { printf "%.3f", 0.200 + b * 0.010 + 1.000 }')

start_sim
sleep 0.2
TIMEFORMAT='%R %U %S'
{ time "$tool" -p "$port" >/dev/null; } 2>"$work/time"
read -r real user sys <"$work/time"
echo "quiet run:   wall ${real} s, floor ${floor} s (200 ms power-up + ${blocks} x 10 ms + 1 s), ratio $(awk -v r="$real" -v f="$floor" 'BEGIN { printf "%.3f", r / f }')"
echo "             tool CPU $(awk -v u="$user" -v s="$sys" -v r="$real" 'BEGIN { printf "%.3f s = %.2f%%", u + s, 100 * (u + s) / r }') of its wall time"

# The same board's port over RFC 2217: ser2net on loopback, its pty exported.
ser2net_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'connection: &board\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,115200n81,local\n  options:\n    chardelay: false\n' \
  "$ser2net_port" "$port" >"$work/ser2net.yaml"
/usr/sbin/ser2net -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" 2>/dev/null &
ser2net=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$ser2net_port") 2>/dev/null && break; sleep 0.05; done
{ time "$tool" -p "rfc2217://127.0.0.1:$ser2net_port" >/dev/null; } 2>"$work/time"
read -r real_net user sys <"$work/time"
kill "$ser2net"; wait "$ser2net" 2>/dev/null || true
echo "             over RFC 2217 (ser2net on loopback): wall ${real_net} s, $(awk -v n="$real_net" -v r="$real" 'BEGIN { printf "%.3f", n / r }') of the local run (target within 1.05)"

# The same with the debugger's port open and nobody attached.
quiet_sim=$sim
start_sim --gdb 0 2>/dev/null
sleep 0.2
{ time "$tool" -p "$port" >/dev/null; } 2>"$work/time"
read -r real_gdb user sys <"$work/time"
echo "             with --gdb and no debugger: wall ${real_gdb} s, ratio $(awk -v r="$real_gdb" -v f="$floor" 'BEGIN { printf "%.3f", r / f }')"
kill "$sim"; wait "$sim" 2>/dev/null || true
sim=$quiet_sim

idle_before=$(cpu_of "$sim")
sleep 5
idle_after=$(cpu_of "$sim")
echo "sim idle:    $(awk -v a="$idle_before" -v b="$idle_after" 'BEGIN { printf "%.2f%%", 100 * (b - a) / 5 }') CPU over 5 s with no host"

: >"$work/run.log"
kill "$sim"; wait "$sim" 2>/dev/null || true
start_sim
started=$(date +%s.%N)
"$tool" -p "$port" -c -v -l "$work/run.log" >/dev/null &
run=$!
verdicts() { grep -c -E '^(passed|failed)$' "$work/run.log" 2>/dev/null || true; }
until [ "$(verdicts)" -ge 3 ]; do sleep 0.02; done
third=$(date +%s.%N)
passes() { grep -c '^Testing SRAM' "$work/run.log" 2>/dev/null || true; }
until [ "$(passes)" -ge 2 ]; do sleep 0.05; done
t0=$(date +%s.%N); c0=$(cpu_of "$sim")
until [ "$(passes)" -ge 3 ]; do sleep 0.05; done
t1=$(date +%s.%N); c1=$(cpu_of "$sim")
kill "$run"; wait "$run" 2>/dev/null || true
report=$(awk '/^#define REPORT_.*_BYTES/ { n += $3 } END { print n }' "$root/tests/support/report_sizes.h")
line_floor=$(awk -v n="$report" 'BEGIN { printf "%.3f", n * 10 / 115200 }')
echo "paced run:   $(awk -v a="$started" -v b="$third" 'BEGIN { printf "%.2f s from the start to the third verdict (target under 5 s)", b - a }')"
echo "paced pass:  $(awk -v a="$t0" -v b="$t1" -v f="$line_floor" 'BEGIN { printf "%.2f s per pass, %.1f x the %.3f s the report takes at 115200 baud", b - a, (b - a) / f, f }')"
echo "             simulator CPU $(awk -v a="$c0" -v b="$c1" -v x="$t0" -v y="$t1" 'BEGIN { printf "%.2f s (%.0f%% of the pass)", b - a, 100 * (b - a) / (y - x) }')"

"$build/bench/sim_benchmark" --benchmark_format=console 2>/dev/null | grep -E '^(BM_|Benchmark|-)'

# The station's databases: 64 boards x 1 000 passes, an attempt a pass.
"$build/bench/station_benchmark" --benchmark_format=console 2>/dev/null | grep -E '^(BM_|Benchmark|-)'

# A served station's shift: 8 fixtures, 2 000 scripted boards (about 9 minutes).
"$build/bench/shift_benchmark" --benchmark_format=console 2>/dev/null | grep -E '^(BM_|Benchmark|-)'

# From the station's verdict to the live page's event: a burn-in of one
# board whose SRAM fails every pass, so that every pass has an event line
# (time-stamped when the station takes a verdict), against the time each
# pass count first reaches a reader of the page's event stream.
kill "$sim"; wait "$sim" 2>/dev/null || true
start_sim --fault sram.d3=0
"$build/station/korvastation" --dudedoved "$tool" --log-dir "$work/dash-logs" --http 0 --passes 20 \
  "$port=B1" >"$work/dash.out" 2>"$work/dash.err" &
station=$!
until grep -q 'dashboard at' "$work/dash.err" 2>/dev/null; do sleep 0.05; done
url=$(grep -o 'http://[^ ]*' "$work/dash.err")
/usr/bin/python3 - "$url" >"$work/dash.seen" <<'PY' &
import json, sys, time, urllib.request
seen = {}
try:
    with urllib.request.urlopen(sys.argv[1] + "events") as stream:
        for raw in stream:
            line = raw.decode()
            if line.startswith("data: "):
                passes = json.loads(line[6:])["boards"][0]["passes"]
                if passes not in seen:
                    seen[passes] = time.time()
                    print(passes, "%.3f" % seen[passes], flush=True)
except Exception:
    pass
PY
reader=$!
# The page stays when the run is over, until the station is stopped.
until grep -q 'the run is over' "$work/dash.err" 2>/dev/null; do sleep 0.1; done
kill -INT "$station"
wait "$station" || true
kill "$reader" 2>/dev/null || true
wait "$reader" 2>/dev/null || true
latency=$(/usr/bin/python3 - "$work/dash.out" "$work/dash.seen" <<'PY'
import datetime, re, sys
told = {}
for line in open(sys.argv[1]):
    m = re.match(r"(\S+) B1: SRAM (?:passed|failed) \(pass (\d+)\)", line)
    if m:
        t = datetime.datetime.strptime(m.group(1), "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
        told[int(m.group(2))] = t.timestamp()
gaps = [float(t) - told[int(p)] for p, t in (l.split() for l in open(sys.argv[2])) if int(p) in told]
print("%d verdicts, latest %.3f s, mean %.3f s" % (len(gaps), max(gaps), sum(gaps) / len(gaps)) if gaps else "no verdicts seen")
PY
)
echo "dashboard:   verdict to the page's event: $latency (target under 0.5 s)"

# The coverage as a firmware engineer runs it: the catalogue, and every
# fault model (cells worked out, pairs and couplings simulated). The
# simulator's benchmarks above run both beside a board booted afresh for
# every run (BM_CoverageFromSavedStatesAgainstFreshBoots).
for mode in coverage coverage=all; do
  start=$(date +%s.%N)
  "$sim_bin" --$mode >/dev/null 2>&1
  target="under 1 s"
  [ "$mode" = coverage=all ] && target="under 10 s"
  echo "$mode: $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f s", b - a }') on $(nproc) cores (target $target)"
done

rss_of() {
  awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"
}

# The diagnosis of the largest log it takes: 16 MiB of line ends, read in
# one sweep (time and peak memory, against the file's size).
head -c $((16 * 1024 * 1024)) /dev/zero | tr '\0' '\n' >"$work/ends.log"
command time -f '%e %M' -o "$work/diagnose" "$sim_bin" --diagnose "$work/ends.log" >/dev/null 2>&1 || true
# (time puts a line about a non-zero exit status before its figures.)
read -r diagnose_s diagnose_kb <<<"$(tail -n 1 "$work/diagnose")"
echo "diagnosis:   16 MiB log of line ends in ${diagnose_s} s, peak RSS ${diagnose_kb} kB ($(awk -v k="$diagnose_kb" 'BEGIN { printf "%.1f", k / 16384 }') x the file)"

# Memory over a long quiet continuous run.
minutes="${SOAK_MINUTES:-10}"
kill "$sim"; wait "$sim" 2>/dev/null || true
start_sim
"$tool" -p "$port" -c >/dev/null &
run=$!
sleep 60
rss_first=$(rss_of "$sim")
sleep $(( (minutes - 1) * 60 ))
rss_last=$(rss_of "$sim")
kill "$run"; wait "$run" 2>/dev/null || true
echo "memory:      simulator RSS ${rss_first} kB after 1 min, ${rss_last} kB after ${minutes} min of a quiet continuous run ($(( rss_last - rss_first )) kB more)"

# One session with a million commands, on the monitor booted at once.
kill "$sim"; wait "$sim" 2>/dev/null || true
start_sim --image "$build/firmware/boot_image.bin"
if "$build/bench/soak_client" "$port" "${SOAK_COMMANDS:-1000000}" >"$work/soak" 2>&1; then
  echo "soak:        $(cat "$work/soak"), simulator RSS $(rss_of "$sim") kB at the end"
else
  echo "soak:        FAILED: $(cat "$work/soak")"
  exit 1
fi
