#!/usr/bin/env bash
# The whole agent under load: with N processes alive (default 2000, started here), it polls
# every 5 seconds from a private installation. Reports the descriptors it holds, its resident
# memory, and the CPU time of a steady poll (above what the agent spends at rest) beside one
# `ps -e -o pid,user,etime,args` run.
#   bench/agent_load.sh [N]        after the default build
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-2000}
dir=$(mktemp -d /tmp/tarnwick-load-XXXXXX)
sleepers=()
cleanup() {
  [ -n "${agent:-}" ] && kill "$agent" 2>/dev/null && wait "$agent" 2>/dev/null || true
  ((${#sleepers[@]})) && kill "${sleepers[@]}" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
ulimit -n "$(ulimit -Hn)"
eval "$(tools/make-installation --poll-interval PT5S --delivery-interval PT1H "$dir")"
build/bin/tarnwick &
agent=$!
cpu() { awk '{ print $14 + $15 }' "/proc/$agent/stat"; }  # clock ticks
tick=$(getconf CLK_TCK)
sleep 10  # start-up and the first, full poll
before=$(cpu)
sleep 30  # at rest: six polls of the few processes there are
rest=$(( $(cpu) - before ))
for ((i = 0; i < count; i++)); do
  sleep 900 &
  sleepers+=($!)
done
sleep 10  # a poll has found them all
before=$(cpu)
sleep 30  # six steady polls
loaded=$(( $(cpu) - before ))
echo "processes alive: $(ls /proc | grep -c '^[0-9]')"
echo "agent descriptors: $(ls "/proc/$agent/fd" | wc -l)"
echo "agent resident memory: $(awk '/VmRSS/ { print $2, $3 }' "/proc/$agent/status")"
echo "agent CPU at rest: $(( rest * 1000 / tick / 30 )) ms a second"
echo "agent CPU per steady poll above rest: $(( (loaded - rest) * 1000 / tick / 6 )) ms"
start=$(date +%s%N)
ps -e -o pid,user,etime,args > /dev/null
echo "one ps run: $(( ($(date +%s%N) - start) / 1000000 )) ms"
