#!/usr/bin/env bash
# The daemon's fan-out floor with its counters asked for: 59 viewers reading at 200 lines/s,
# and a scraper (vantrel-view --stats once a second) as the 60th connection, beside the same
# 59 viewers on this build unscraped and on a baseline build, ROUNDS times, all in one run,
# every other round in the other order: the first subject of a round is often the slower.
#
# Usage: bench/floor.sh BUILD [BASELINE_DAEMON] [ROUNDS]
#   BUILD            the folder holding vantrel and vantrel-view (build/)
#   BASELINE_DAEMON  another build's vantrel, run beside it (none: this build alone)
#   ROUNDS           how often each runs (6)
set -euo pipefail
build=${1:?usage: bench/floor.sh BUILD [BASELINE_DAEMON] [ROUNDS]}
baseline=${2:-}
rounds=${3:-6}
here=$(dirname "$0")
for round in $(seq "$rounds"); do
  echo "round $round of $rounds"
  python3 "$here/fanout.py" "$build/vantrel" --only steady --viewers 59 \
    --scraper "$build/vantrel-view" ${baseline:+--baseline "$baseline"} \
    $([ $((round % 2)) -eq 0 ] && echo --reverse)
done
