#!/usr/bin/env bash
# Start-up cost: whole-process wall time of `velko --help` and `velko guidance new -n x -t goal
# -l DIR`, the median of many runs, beside `git --version` (a small native tool) and
# `/usr/bin/python3 -c pass` (an interpreter doing nothing), measured in turns in the same run
# so that a busy machine weighs on all of them alike.
# Usage: bench/startup.sh [runs]   (needs a built build/bin/velko)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-100}"
velko="$PWD/build/bin/velko"
[ -x "$velko" ] || { echo "build first: scripts/build" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

names=(help new git python)
commands_for() {
  case "$1" in
    help) echo "$velko --help" ;;
    new) echo "$velko guidance new -n x$2 -t goal -l $work/items" ;;
    git) echo "git --version" ;;
    python) echo "/usr/bin/python3 -c pass" ;;
  esac
}
declare -A times
for ((i = 0; i < runs; i++)); do
  for name in "${names[@]}"; do
    read -r -a command <<< "$(commands_for "$name" "$i")"
    start=$EPOCHREALTIME
    "${command[@]}" >/dev/null 2>&1 || { echo "failed: ${command[*]}" >&2; exit 1; }
    end=$EPOCHREALTIME
    times[$name]+="$(( ${end/./} - ${start/./} )) "
  done
done

# Prints "min/median" in milliseconds of the times of `name`.
min_median() {
  tr ' ' '\n' <<< "${times[$1]}" | grep . | sort -n |
    awk '{a[NR]=$1} END {m = (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2;
                          printf "%.2f/%.2f", a[1] / 1000, m / 1000}'
}
median() { min_median "$1" | cut -d/ -f2; }
git_median=$(median git)
declare -A labels=([help]="velko --help" [new]="velko guidance new" [git]="git --version"
                   [python]="python3 -c pass")
for name in "${names[@]}"; do
  ratio=$(awk -v a="$(median "$name")" -v b="$git_median" 'BEGIN {printf "%.2f", a / b}')
  printf '%-20s min/median %s ms, %sx git --version\n' "${labels[$name]}" \
    "$(min_median "$name")" "$ratio"
done
echo "($runs runs each, in turns; load average: $(cut -d' ' -f1-3 /proc/loadavg))"
