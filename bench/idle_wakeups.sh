#!/usr/bin/env bash
# How often an idle agent wakes: the agent polls every 5 minutes (with the shipped settings)
# and nothing else happens; every thread's context switches are counted over SECONDS
# (default 30), after a settling pause. Reports the wake-ups per second and per thread.
#   bench/idle_wakeups.sh [SECONDS]        after the default build
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
dir=$(mktemp -d /tmp/tarnwick-idle-XXXXXX)
cleanup() {
  [ -n "${agent:-}" ] && kill "$agent" 2>/dev/null && wait "$agent" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
eval "$(tools/make-installation --poll-interval PT5M "$dir")"
build/bin/tarnwick &
agent=$!
sleep 10  # start-up: the first poll, the start-up pause of the status monitor
# thread id and switches (voluntary + involuntary), one line per thread
switches() {
  for task in /proc/"$agent"/task/*; do
    awk -v id="${task##*/}" '/ctxt_switches/ { n += $2 } END { print id, n }' "$task/status"
  done | sort
}
before=$(switches)
sleep "$seconds"
after=$(switches)
total=$(join <(echo "$before") <(echo "$after") | awk '{ t += $3 - $2 } END { print t }')
echo "threads: $(echo "$after" | wc -l)"
echo "context switches in $seconds s: $total ($(awk -v t="$total" -v s="$seconds" 'BEGIN { printf "%.2f", t / s }') per second)"
join <(echo "$before") <(echo "$after") | awk '$3 - $2 > 0 { printf "  thread %s: %d\n", $1, $3 - $2 }'
