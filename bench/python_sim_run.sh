#!/usr/bin/env bash
# The demo's report run with the water tank written in Python (examples/sims/water-tank-py,
# on velko_sim) beside the same run with the C++ tank: `velko sim publish` of 20 episodes
# (about 6,000 steps) against the local platform and compute node, the two sims taking turns.
# Prints each run's replay steps per second and the median of each, and their ratio.
# Usage: bench/python_sim_run.sh [runs]   (needs a built build/)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
[ -x build/bin/velko ] && [ -d build/python/velko_sim ] || { echo "build first: scripts/build" >&2; exit 1; }

source scripts/lib/servers.sh
work=$server_work

start_server platform build/bin/velko-dev-platform --port 0 --build-seconds 3600
export VELKO_API_URL=$url
start_server node build/bin/velko-dev-node --port 0 --data examples/datasets
export VELKO_COMPUTE_URL=$url
export VELKO_LOG_LEVEL=debug

# steps_per_second SIM: one report run of SIM; prints its replay's steps per second.
steps_per_second() {
  build/bin/velko sim publish "$1" --dataset water-tank-runs --max-episodes 20 \
    >"$work/out" 2>"$work/err"
  grep -o "Replayed .*" "$work/err" |
    sed -n 's/.* \([0-9]*\) sim steps) in \([0-9.]*\) s/\1 \2/p' |
    awk '{printf "%.0f", $1 / $2}'
}

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

: >"$work/cpp"
: >"$work/python"
for ((i = 1; i <= runs; i++)); do
  cpp=$(steps_per_second examples/sims/water-tank)
  python=$(steps_per_second examples/sims/water-tank-py)
  echo "run $i: C++ tank ${cpp} steps/s, Python tank ${python} steps/s"
  echo "$cpp" >>"$work/cpp"
  echo "$python" >>"$work/python"
done
cpp=$(median <"$work/cpp")
python=$(median <"$work/python")
echo "median: C++ tank ${cpp} steps/s, Python tank ${python} steps/s" \
  "($(awk -v p="$python" -v c="$cpp" 'BEGIN {printf "%.2f", p / c}')x)"
