#!/usr/bin/env bash
# The demo's report run, measured: `velko sim publish examples/sims/water-tank --dataset
# water-tank-runs` (20 episodes of about 300 rows) against the local platform and compute
# node. Prints the time from start to the submitted artifact, the part of it spent outside
# the replay, the replay's steps per second and the peak memory of velko. The platform keeps building, so the run ends right after the
# submission (its wait returns at once).
# Usage: bench/report_run.sh [runs]   (needs a built build/)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
root=$PWD
[ -x build/bin/velko ] || { echo "build first: scripts/build" >&2; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }

source scripts/lib/servers.sh
work=$server_work

start_local_services examples/datasets --build-seconds 3600
export VELKO_LOG_LEVEL=debug

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

: >"$work/outside"
for ((i = 1; i <= runs; i++)); do
  started=$(date +%s%N)
  /usr/bin/time -f "TIME peak %M KiB" build/bin/velko sim publish examples/sims/water-tank \
    --dataset water-tank-runs --max-episodes 20 >"$work/out" 2>"$work/err"
  wall_ms=$((($(date +%s%N) - started) / 1000000))
  replay=$(grep -o "Replayed .*" "$work/err")
  peak=$(grep -o "TIME .*" "$work/err")
  steps=$(echo "$replay" | sed -n 's/.* \([0-9]*\) sim steps) in \([0-9.]*\) s.*/\1 \2/p')
  rate=$(echo "$steps" | awk '{printf "%.0f", $1 / $2}')
  # Start-up, the claim, the actions, starting the sim, the rollouts and the submission.
  outside_ms=$(echo "$steps" | awk -v wall="$wall_ms" '{printf "%.0f", wall - $2 * 1000}')
  echo "$outside_ms" >>"$work/outside"
  echo "run $i: start to submitted artifact ${wall_ms} ms, ${outside_ms} ms outside the replay," \
    "${peak#TIME }; ${replay}: ${rate} steps/s"
done
echo "median time outside the replay: $(median <"$work/outside") ms"
