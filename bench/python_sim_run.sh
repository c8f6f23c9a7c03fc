#!/usr/bin/env bash
# The demo's report run with the water tank written in Python (examples/sims/water-tank-py,
# on velko_sim) beside the same run with the C++ tank: `velko sim publish` of 20 episodes
# (about 6,000 steps) against the local platform and compute node. Each sim is stepped one at
# a time (VELKO_STEPS_AHEAD=1), with its steps sent ahead one to a message (velko's default
# window, or VELKO_STEPS_AHEAD when set, and VELKO_STEP_BATCH=0) and in batches (velko's
# defaults); the six kinds of run take turns.
# Prints each run's replay steps per second, the median of each kind and the Python/C++ ratios.
# Usage: bench/python_sim_run.sh [runs]   (needs a built build/)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
[ -x build/bin/velko ] && [ -d build/python/velko_sim ] || { echo "build first: scripts/build" >&2; exit 1; }
ahead="${VELKO_STEPS_AHEAD:-}"
batch_size="${VELKO_STEP_BATCH:-}"

source scripts/lib/servers.sh
work=$server_work

start_local_services examples/datasets --build-seconds 3600
export VELKO_LOG_LEVEL=debug

# steps_per_second SIM WINDOW BATCH: one report run of SIM with VELKO_STEPS_AHEAD=WINDOW and
# VELKO_STEP_BATCH=BATCH (velko's default for either when empty); prints its replay's steps
# per second.
steps_per_second() {
  if [ -n "$2" ]; then export VELKO_STEPS_AHEAD=$2; else unset VELKO_STEPS_AHEAD; fi
  if [ -n "$3" ]; then export VELKO_STEP_BATCH=$3; else unset VELKO_STEP_BATCH; fi
  build/bin/velko sim publish "$1" --dataset water-tank-runs --max-episodes 20 \
    >"$work/out" 2>"$work/err"
  grep -o "Replayed .*" "$work/err" |
    sed -n 's/.* \([0-9]*\) sim steps) in \([0-9.]*\) s/\1 \2/p' |
    awk '{printf "%.0f", $1 / $2}'
}

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
ratio() { awk -v p="$1" -v c="$2" 'BEGIN {printf "%.2f", p / c}'; }

kinds=(cpp-1 python-1 cpp-ahead python-ahead cpp-batches python-batches)
for kind in "${kinds[@]}"; do : >"$work/$kind"; done
for ((i = 1; i <= runs; i++)); do
  line="run $i:"
  for kind in "${kinds[@]}"; do
    sim=examples/sims/water-tank
    [[ $kind == python-* ]] && sim=examples/sims/water-tank-py
    window=1 batch=0
    [[ $kind == *-ahead ]] && window=$ahead
    [[ $kind == *-batches ]] && window=$ahead batch=$batch_size
    rate=$(steps_per_second "$sim" "$window" "$batch")
    echo "$rate" >>"$work/$kind"
    line+=" $kind ${rate}"
  done
  echo "$line steps/s"
done
for kind in "${kinds[@]}"; do eval "${kind//-/_}=\$(median <\"\$work/\$kind\")"; done
echo "median, one at a time: C++ tank ${cpp_1} steps/s, Python tank ${python_1} steps/s" \
  "($(ratio "$python_1" "$cpp_1")x)"
echo "median, sent ahead (${ahead:-default window}): C++ tank ${cpp_ahead} steps/s," \
  "Python tank ${python_ahead} steps/s ($(ratio "$python_ahead" "$cpp_ahead")x)"
echo "median, in batches (${batch_size:-default size}): C++ tank ${cpp_batches} steps/s," \
  "Python tank ${python_batches} steps/s ($(ratio "$python_batches" "$cpp_batches")x)"
echo "Python tank sent ahead / one at a time: $(ratio "$python_ahead" "$python_1")x," \
  "in batches / sent ahead: $(ratio "$python_batches" "$python_ahead")x"
