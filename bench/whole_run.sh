#!/usr/bin/env bash
# Whole report runs of growing size: `velko sim publish examples/sims/water-tank` over 20
# episodes (the example dataset), then 200 and 1,000 (datasets generated for the run into a
# temporary folder with examples/datasets' generator, each served by a local compute node of
# its own). Prints per run the wall time, the replay's steps per second and velko's peak
# memory; then min/median of each size and the growth of the peak per step between 200 and
# 1,000 episodes. The platform keeps building, so a run ends right after its submission.
# Usage: bench/whole_run.sh [rounds]   (needs a built build/; each round runs every size once,
# in turn, so that the machine's load falls on all of them alike). VELKO_BIN=path runs another
# velko (built elsewhere, its sim module and reaper beside it) against the same servers.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds="${1:-3}"
velko=${VELKO_BIN:-build/bin/velko}
generator=build/bin/generate_water_tank_runs
[ -x "$velko" ] && [ -x "$generator" ] || { echo "build first: scripts/build" >&2; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }

source scripts/lib/servers.sh
work=$server_work

start_server platform build/bin/velko-dev-platform --port 0 --build-seconds 3600
export VELKO_API_URL=$url
export VELKO_LOG_LEVEL=debug

# The node of each size: the example dataset's for 20, generated ones for 200 and 1,000.
sizes=(20 200 1000)
declare -A node_url
start_server node20 build/bin/velko-dev-node --port 0 --data examples/datasets
node_url[20]=$url
for n in 200 1000; do
  "$generator" --episodes "$n" "$work/data$n/water-tank-runs"
  start_server "node$n" build/bin/velko-dev-node --port 0 --data "$work/data$n"
  node_url[$n]=$url
done

# One run: appends "seconds steps steps_per_second peak_KiB" to $work/results.$n.
run_once() {
  local n=$1
  VELKO_COMPUTE_URL=${node_url[$n]} /usr/bin/time -f "TIME %e %M" "$velko" sim publish \
    examples/sims/water-tank --dataset water-tank-runs --max-episodes "$n" \
    >"$work/out" 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
  local replay time steps
  replay=$(grep -o "Replayed .*" "$work/err")
  time=$(grep "^TIME " "$work/err")
  steps=$(echo "$replay" | sed -n 's/.* \([0-9]*\) sim steps) in \([0-9.]*\) s/\1 \2/p')
  echo "$time $steps" | awk -v n="$n" -v out="$work/results.$n" '{
    rate = $4 / $5
    printf "%5d episodes: %6.2f s, %7d steps, replay %6.0f steps/s, peak %6.1f MiB\n",
           n, $2, $4, rate, $3 / 1024
    printf "%s %s %s %s\n", $2, $4, rate, $3 >> out
  }'
}

echo "load before: $(uptime)"
for ((round = 1; round <= rounds; ++round)); do
  echo "round $round"
  for n in "${sizes[@]}"; do run_once "$n"; done
done
echo "load after: $(uptime)"

# min/median of column $2 of a results file.
min_median() {
  sort -g -k"$2","$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%s %s\n", v[1], m
  }'
}
echo "min/median of $rounds rounds:"
for n in "${sizes[@]}"; do
  read -r wall_min wall_med < <(min_median "$work/results.$n" 1)
  read -r rate_min rate_med < <(min_median "$work/results.$n" 3)
  read -r peak_min peak_med < <(min_median "$work/results.$n" 4)
  steps=$(head -n 1 "$work/results.$n" | cut -d' ' -f2)
  awk -v n="$n" -v s="$steps" -v a="$wall_min" -v b="$wall_med" -v c="$rate_min" \
    -v d="$rate_med" -v e="$peak_min" -v f="$peak_med" 'BEGIN {
    printf "%5d episodes (%d steps): wall %.2f/%.2f s, replay %.0f/%.0f steps/s, peak %.1f/%.1f MiB\n",
           n, s, a, b, c, d, e / 1024, f / 1024
  }'
done
# Growth: the median peaks of 1,000 and 200 episodes apart, over their steps apart.
read -r _ peak200 < <(min_median "$work/results.200" 4)
read -r _ peak1000 < <(min_median "$work/results.1000" 4)
steps200=$(head -n 1 "$work/results.200" | cut -d' ' -f2)
steps1000=$(head -n 1 "$work/results.1000" | cut -d' ' -f2)
awk -v a="$peak200" -v b="$peak1000" -v s="$steps200" -v t="$steps1000" 'BEGIN {
  printf "growth of the median peak from 200 to 1,000 episodes: %.0f bytes per step\n",
         (b - a) * 1024 / (t - s)
}'
