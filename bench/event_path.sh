#!/usr/bin/env bash
# The whole path from kernel event to written record, for each way the agent learns of
# processes, in one run: the kernel's connector read by the agent itself ("events"), and the
# driver vantor-procdrv reading the connector ("connector") or its eBPF program ("bpf"). For
# each, N processes (default 5000) of a small static program are started and waited for one
# after another, first with nothing metering (the baseline, taken again for each path), then
# with the agent (and driver). Reports the starts per second with and without (the spawn-rate
# tax: the eBPF program's own time in the kernel is charged to the processes, so it shows
# there; each rate is the median of five bursts, the baseline the mean of one taken before and
# one after), the CPU time per process lifecycle of the agent and of the driver, the records
# written (of 5N): with a full path, and nameless ("<<lost>>"); and for eBPF the program's own
# time in the kernel a run, at exec and at exit (kernel.bpf_stats_enabled is set meanwhile).
#   bench/event_path.sh [N] [PATHS...]   as root, after the default build; PATHS from events,
#                                        connector, bpf (default all three). KEEP=1 keeps the
#                                        installations, their logs and data files.
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-5000}
shift || true
paths=("$@")
[ ${#paths[@]} -gt 0 ] || paths=(events connector bpf)
program=build/bin/exit_with_static
name=$(basename "$program")
agent=""
procdrv=""
stopAll() {
  [ -n "$agent" ] && kill "$agent" 2>/dev/null && wait "$agent" 2>/dev/null || true
  [ -n "$procdrv" ] && kill "$procdrv" 2>/dev/null && wait "$procdrv" 2>/dev/null || true
  agent=""
  procdrv=""
}
trap stopAll EXIT
burst() { build/bin/spawn_burst "$count" "$program" 3; }
# The median rate of five bursts: one burst alone varies by a tenth on a shared machine.
bursts() { for _ in 1 2 3 4 5; do burst; done | sort -n | sed -n 3p; }
# The eBPF programs' own time in the kernel, in ns a run, from the kernel's statistics:
# "exec_ns exit_ns".
bpfCost() {
  bpftool prog show 2>/dev/null | awk '
    /name process_exec/ { which = "exec" } /name process_exit/ { which = "exit" }
    /run_time_ns/ && which { for (i = 1; i < NF; i++) { if ($i == "run_time_ns") t[which] = $(i + 1);
                                                        if ($i == "run_cnt") c[which] = $(i + 1) } }
    END { printf "%.0f %.0f", c["exec"] ? t["exec"] / c["exec"] : 0, c["exit"] ? t["exit"] / c["exit"] : 0 }'
}
# CPU of every thread of a process, in nanoseconds.
cpu() { cat /proc/"$1"/task/*/schedstat | awk '{ total += $1 } END { printf "%d", total }'; }
waitFor() {  # until the command succeeds, 10 s at most
  for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
  return 1
}
# The agent meters by the path asked for, not by a fall-back.
metering() {
  local state="events flowing"
  [ "$path" = events ] || state="driver connected"
  build/bin/vantorctl status --json 2>/dev/null | grep -q "\"event_state\": \"$state\""
}

burst > /dev/null  # warm the caches
statsWere=$(cat /proc/sys/kernel/bpf_stats_enabled 2>/dev/null || echo 0)
echo 1 > /proc/sys/kernel/bpf_stats_enabled 2>/dev/null || true
trap 'stopAll; echo "$statsWere" > /proc/sys/kernel/bpf_stats_enabled 2>/dev/null || true' EXIT
printf "%-10s %9s %9s %6s %10s %11s %9s %9s\n" path without with tax agent_us driver_us full_path lost
for path in "${paths[@]}"; do
  dir=$(mktemp -d /tmp/tarnwick-events-XXXXXX)
  without=$(bursts)
  if [ "$path" = events ]; then
    eval "$(tools/make-installation --events --delivery-interval PT1H "$dir")"
  else
    eval "$(tools/make-installation --driver --delivery-interval PT1H "$dir")"
    build/bin/vantor-procdrv --source "$path" 2> "$dir/procdrv.log" &
    procdrv=$!
    waitFor grep -q " serving " "$dir/procdrv.log"
  fi
  build/bin/tarnwick &
  agent=$!
  waitFor metering
  sleep 2  # the first full poll
  before=$(cpu "$agent")
  driverBefore=0
  [ -n "$procdrv" ] && driverBefore=$(cpu "$procdrv")
  with=$(bursts)
  sleep 1  # the queue drains
  used=$(( $(cpu "$agent") - before ))
  driverUsed=0
  [ -n "$procdrv" ] && driverUsed=$(( $(cpu "$procdrv") - driverBefore ))
  kernel=$( [ "$path" = bpf ] && bpfCost || echo "")
  build/bin/vantorctl send TARNWICKDUMP > /dev/null
  sleep 1
  # The directory field follows the file and product fields: empty when only a name was read.
  full=$(cat "$dir"/Log/temp/Tarnwick/*.data | grep -c ":0:$name:0:[^:]*:0:/" || true)
  lost=$(cat "$dir"/Log/temp/Tarnwick/*.data | grep -c ":<<lost>>:" || true)
  stopAll
  after=$(bursts)
  without=$(( (without + after) / 2 ))
  awk -v p="$path" -v wo="$without" -v w="$with" -v a="$used" -v d="$driverUsed" -v n="$count" \
      -v f="$full" -v l="$lost" -v k="$kernel" 'BEGIN {
        printf "%-10s %9d %9d %5.1f%% %10.1f %11.1f %9d %9d", p, wo, w, (wo - w) * 100 / wo,
               a / n / 5000, d / n / 5000, f, l
        if (k != "") { split(k, ns, " "); printf "   in the kernel: %d ns an exec, %d ns an exit", ns[1], ns[2] }
        printf "\n" }'
  if [ -n "${KEEP:-}" ]; then echo "kept $dir"; else rm -rf "$dir"; fi
done
