#!/usr/bin/env bash
# The whole path from kernel event to written record: the agent meters from kernel events
# (as root) while N processes (default 5000) of a small program are started and waited for
# one after another. Reports the starts per second with and without the agent (the spawn-rate
# tax), the agent's CPU time per process lifecycle, and how many records it wrote. With
# --driver the events reach the agent through vantor-procdrv, whose CPU time is reported too.
#   bench/event_path.sh [--driver] [N]        after the default build (KEEP=1 keeps the
#                                             installation, its log and data files)
set -euo pipefail
cd "$(dirname "$0")/.."
driver=false
if [ "${1:-}" = --driver ]; then
  driver=true
  shift
fi
count=${1:-5000}
dir=$(mktemp -d /tmp/tarnwick-events-XXXXXX)
cleanup() {
  [ -n "${agent:-}" ] && kill "$agent" 2>/dev/null && wait "$agent" 2>/dev/null || true
  [ -n "${procdrv:-}" ] && kill "$procdrv" 2>/dev/null && wait "$procdrv" 2>/dev/null || true
  if [ -n "${KEEP:-}" ]; then echo "kept $dir"; else rm -rf "$dir"; fi
}
trap cleanup EXIT
if [ "$driver" = true ]; then
  eval "$(tools/make-installation --driver --delivery-interval PT1H "$dir")"
  build/bin/vantor-procdrv 2> "$dir/procdrv.log" &
  procdrv=$!
  for _ in $(seq 100); do [ -S "$dir/run/device/VantorLicDrv" ] && break; sleep 0.1; done
  running="Kernel driver tracer successfully connected"
else
  eval "$(tools/make-installation --events --delivery-interval PT1H "$dir")"
  running="Native event tracer is now running"
fi
program=build/bin/exit_with
burst() { build/bin/spawn_burst "$count" "$program" 3; }
# CPU of every thread of a process, in nanoseconds.
cpu() { cat /proc/"$1"/task/*/schedstat | awk '{ total += $1 } END { printf "%d", total }'; }
burst > /dev/null  # warm the caches
without=$(burst)
build/bin/tarnwick &
agent=$!
for _ in $(seq 100); do grep -q "$running" "$dir/log/"*.log 2>/dev/null && break; sleep 0.1; done
sleep 2  # the first full poll
before=$(cpu "$agent")
[ "$driver" = true ] && driverBefore=$(cpu "$procdrv")
with=$(burst)
sleep 1  # the queue drains
used=$(( $(cpu "$agent") - before ))
build/bin/vantorctl send TARNWICKDUMP > /dev/null
records=$(cat "$dir"/Log/temp/Tarnwick/*.data | grep -c ":0:exit_with:" || true)
# The directory field follows the file and product fields: empty when only a name was read.
paths=$(cat "$dir"/Log/temp/Tarnwick/*.data | grep -c ":0:exit_with:0:[^:]*:0:/" || true)
echo "starts per second without the agent: $without"
echo "starts per second with the agent: $with"
echo "spawn-rate tax: $(( (without - with) * 100 / without )) %"
echo "agent CPU per process lifecycle: $(( used / count / 1000 )) us"
echo "records of the program: $records of $count, $paths with the full path"
if [ "$driver" = true ]; then
  echo "vantor-procdrv CPU per process lifecycle: $(( ($(cpu "$procdrv") - driverBefore) / count / 1000 )) us"
fi
