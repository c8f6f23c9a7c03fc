#!/usr/bin/env bash
# Start-up cost: whole-process wall time of `velko guidance new -n x -t goal -l DIR`, the
# median of many runs, beside the start-up of a scripting-language interpreter that loads the
# modules a command-line tool of that kind needs (measured in the same run).
# Usage: bench/startup.sh [runs]   (needs a built build/bin/velko)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-100}"
velko="$PWD/build/bin/velko"
[ -x "$velko" ] || { echo "build first: scripts/build" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Prints the median wall time in milliseconds of running "$@" (with RUN substituted by the
# run number) `runs` times.
median_ms() {
  local times=() i start end
  for ((i = 0; i < runs; i++)); do
    local args=("${@//RUN/$i}")
    start=$EPOCHREALTIME
    "${args[@]}" >/dev/null 2>&1 || { echo "failed: ${args[*]}" >&2; exit 1; }
    end=$EPOCHREALTIME
    times+=("$(( (${end/./} - ${start/./}) ))")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {m = (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2; printf "%.2f", m / 1000}'
}

ours=$(median_ms "$velko" guidance new -n xRUN -t goal -l "$work/items")
echo "velko guidance new: median $ours ms over $runs runs (target <= 20 ms)"
if command -v python3 >/dev/null; then
  peer=$(median_ms python3 -c "import argparse, json, pathlib, unicodedata")
  echo "peer, python3 importing argparse/json/pathlib/unicodedata and doing nothing: median $peer ms"
fi
