#!/usr/bin/env bash
# The whole path from kernel event to written record: the agent meters from kernel events
# (as root) while N processes (default 5000) of a small program are started and waited for
# one after another. Reports the starts per second with and without the agent (the spawn-rate
# tax), the agent's CPU time per process lifecycle, and how many records it wrote.
#   bench/event_path.sh [N]        after the default build
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-5000}
dir=$(mktemp -d /tmp/tarnwick-events-XXXXXX)
cleanup() {
  [ -n "${agent:-}" ] && kill "$agent" 2>/dev/null && wait "$agent" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
eval "$(tools/make-installation --events --delivery-interval PT1H "$dir")"
program=build/bin/exit_with
burst() { build/bin/spawn_burst "$count" "$program" 3; }
# CPU of every thread of the agent, in nanoseconds.
cpu() { cat /proc/"$agent"/task/*/schedstat | awk '{ total += $1 } END { printf "%d", total }'; }
burst > /dev/null  # warm the caches
without=$(burst)
build/bin/tarnwick &
agent=$!
for _ in $(seq 100); do grep -q "Native event tracer is now running" "$dir/log/"*.log 2>/dev/null && break; sleep 0.1; done
sleep 2  # the first full poll
before=$(cpu)
with=$(burst)
sleep 1  # the queue drains
used=$(( $(cpu) - before ))
build/bin/vantorctl send TARNWICKDUMP > /dev/null
records=$(cat "$dir"/Log/temp/Tarnwick/*.data | grep -c ":0:exit_with:" || true)
# The directory field follows the file and product fields: empty when only a name was read.
paths=$(cat "$dir"/Log/temp/Tarnwick/*.data | grep -c ":0:exit_with:0:[^:]*:0:/" || true)
echo "starts per second without the agent: $without"
echo "starts per second with the agent: $with"
echo "spawn-rate tax: $(( (without - with) * 100 / without )) %"
echo "agent CPU per process lifecycle: $(( used / count / 1000 )) us"
echo "records of the program: $records of $count, $paths with the full path"
