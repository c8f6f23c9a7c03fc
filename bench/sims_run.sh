#!/usr/bin/env bash
# A report run spread over several processes of a sim bound by its own CPU, beside the same
# run in one process: `velko sim publish` of SIM, by default the Python water tank
# (examples/sims/water-tank-py, about 29 us of its own CPU a step; bench/sims/spin-tank is a
# C++ sim that spins 50 us a step), against the local platform and a compute node serving a
# dataset of 100 water tank episodes generated for the run (about 30,000 steps), at velko's
# default batches, with --sims 1 and --sims N in turns.
# Prints each run's replay steps per second (from velko's debug line), the median of each and
# their ratio, with the load average before and after.
# Usage: bench/sims_run.sh [runs] [N] [SIM]   (needs a built build/; N defaults to 2)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
several="${2:-2}"
sim="${3:-examples/sims/water-tank-py}"
generator=build/bin/generate_water_tank_runs
[ -x build/bin/velko ] && [ -x "$generator" ] && [ -d build/python/velko_sim ] ||
  { echo "build first: scripts/build" >&2; exit 1; }

source scripts/lib/servers.sh
work=$server_work

"$generator" --episodes "${EPISODES:-100}" "$work/data/water-tank-runs" >/dev/null
start_local_services "$work/data" --build-seconds 3600
export VELKO_LOG_LEVEL=debug

# steps_per_second N: one report run of the sim over N processes; prints its replay's
# steps per second.
steps_per_second() {
  build/bin/velko sim publish "$sim" --dataset water-tank-runs \
    --max-episodes "${EPISODES:-100}" --sims "$1" >"$work/out" 2>"$work/err" || { tail -n 5 "$work/out" "$work/err" >&2; exit 1; }
  grep -o "Replayed .*" "$work/err" | sed -n 's/.* \([0-9]*\) sim steps) in \([0-9.]*\) s.*/\1 \2/p' |
    awk '{printf "%.0f", $1 / $2}'
  [ -z "${SHOW_REPLAY:-}" ] || grep -o "Replayed .*" "$work/err" >&2
}

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
: >"$work/one"
: >"$work/several"
for ((i = 1; i <= runs; i++)); do
  one=$(steps_per_second 1)
  many=$(steps_per_second "$several")
  echo "$one" >>"$work/one"
  echo "$many" >>"$work/several"
  echo "run $i: --sims 1 $one steps/s, --sims $several $many steps/s"
done
one=$(median <"$work/one")
many=$(median <"$work/several")
echo "median: --sims 1 $one steps/s, --sims $several $many steps/s" \
  "($(awk -v a="$many" -v b="$one" 'BEGIN {printf "%.2f", a / b}')x)"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
