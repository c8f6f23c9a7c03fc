#!/usr/bin/env bash
# The report wait of a run whose report is never written: velko polls the report job for its
# whole budget (120 s). Prints the number of status requests the platform counted (bound: 26)
# and how long the wait took. Takes about two minutes.
# Usage: bench/report_wait.sh   (needs a built build/)
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/bin/velko ] || { echo "build first: scripts/build" >&2; exit 1; }
source scripts/lib/servers.sh
work=$server_work
start_local_services examples/datasets --build-seconds 0 --stall-report
started=$EPOCHREALTIME
build/bin/velko sim publish examples/sims/water-tank --dataset water-tank-runs --max-episodes 2 \
  >"$work/out" 2>&1
ended=$EPOCHREALTIME
requests=$(curl -s "$VELKO_API_URL/debug/state" | grep -o '"statusRequests":[0-9]*' | head -n 1 | cut -d: -f2)
echo "status requests of a run that timed out: $requests (bound: 26)"
echo "whole run: $(( (${ended/./} - ${started/./}) / 1000 )) ms"
tail -n 3 "$work/out"
