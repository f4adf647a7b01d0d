#!/usr/bin/env bash
# How many of a run of short processes the agent records when it is held up or told to stop
# while they run (as root; each scenario in an installation of its own):
#   stall-mode1              kernel events; the agent is stopped (SIGSTOP) while 5000 processes
#                            start and end, then continued and asked for two deliveries: what
#                            the first holds, and what turns up again in the second (phantoms)
#   die-during-burst-driver  the driver's events; DIE right after 1000 processes, while 4000
#                            others still start beside them
#   sigstop-driver           the driver's events; the agent is stopped while 3000 processes
#                            run, continued, and told DIE at once
# One line each: the processes started, their records by exit status, the nameless records
# ("<<lost>>": reaped before they could be read), and for the driver its own count.
#   bench/stall_and_stop.sh BIN_DIR        BIN_DIR holds tarnwick, vantorctl, vantor-procdrv
#                                          and exit_with (KEEP=1 keeps the installations)
set -euo pipefail
if [ $# -ne 1 ] || [ ! -d "$1" ]; then
  echo "usage: bench/stall_and_stop.sh BIN_DIR" >&2
  exit 1
fi
bin="$(cd "$1" && pwd)"
cd "$(dirname "$0")/.."
for program in tarnwick vantorctl vantor-procdrv exit_with; do
  [ -x "$bin/$program" ] || { echo "no $bin/$program" >&2; exit 1; }
done
# The process connector (for the agent and the driver alike) needs CAP_NET_ADMIN.
[ "$(id -u)" -eq 0 ] || { echo "run as root" >&2; exit 1; }

dirs=()
dir=
agent=
driver=
background=
cleanup() {
  # Only an agent left behind by a failure is here: SIGKILL ends it even while stopped.
  if [ -n "$agent" ]; then
    kill -KILL "$agent" 2>/dev/null || true
    wait "$agent" 2>/dev/null || true
  fi
  if [ -n "$background" ]; then
    kill -TERM "$background" 2>/dev/null || true
    wait "$background" 2>/dev/null || true
  fi
  if [ -n "$driver" ]; then
    kill -TERM "$driver" 2>/dev/null || true
    wait "$driver" 2>/dev/null || true
  fi
  if [ -n "${KEEP:-}" ]; then
    ((${#dirs[@]})) && echo "kept ${dirs[*]}" >&2
  else
    ((${#dirs[@]})) && rm -rf "${dirs[@]}"
  fi
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "$scenario: $*" >&2
  [ -n "$dir" ] && tail -n 20 "$dir"/log/tarnwick.log >&2 2>/dev/null
  exit 1
}

# install --events|--driver: a fresh installation in $dir, selected by the environment.
install() {
  dir=$(mktemp -d /tmp/tarnwick-stall-XXXXXX)
  dirs+=("$dir")
  eval "$(tools/make-installation "$1" --delivery-interval PT1H "$dir")"
  mkdir "$dir/bin"
}

# probe NAME: a private copy of exit_with; its name (kept within the kernel's 15-character
# command name) and directory tell its records from any other process's.
probe() {
  cp "$bin/exit_with" "$dir/bin/$1"
  echo "$dir/bin/$1"
}

# wait_log LINE SECONDS: until the agent's log (any rotated part too) holds LINE.
wait_log() {
  local deadline=$((SECONDS + $2))
  until grep -qsF "$1" "$dir"/log/*; do
    ended "$agent" && fail "the agent ended before logging \"$1\""
    ((SECONDS < deadline)) || fail "no \"$1\" in the log within $2 s"
    sleep 0.1
  done
}

# ended PID: whether the process is gone or a zombie (kill -0 still finds a zombie).
ended() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || true
  [ -z "$state" ] || [ "$state" = Z ]
}

start_agent() {
  "$bin/tarnwick" > "$dir/agent.out" 2>&1 &
  agent=$!
}

ctl() {
  timeout 10 "$bin/vantorctl" send "$1" >> "$dir/vantorctl.out" 2>&1 ||
    fail "vantorctl send $1 failed: $(tail -n 3 "$dir/vantorctl.out")"
}

# stop_agent: DIE, then up to 30 s for the agent to end; sets agent_status ("killed" if it
# had to be).
stop_agent() {
  ctl DIE
  local deadline=$((SECONDS + 30))
  while ! ended "$agent" && ((SECONDS < deadline)); do sleep 0.1; done
  if ended "$agent"; then
    wait "$agent" && agent_status=0 || agent_status=$?
  else
    kill -KILL "$agent"
    wait "$agent" || true
    agent_status="killed: still running 30 s after DIE"
  fi
  agent=
}

# stop_driver: SIGTERM, and its closing count ("ended: N records handed out, M dropped.").
stop_driver() {
  kill -TERM "$driver"
  local deadline=$((SECONDS + 10))
  while ! ended "$driver" && ((SECONDS < deadline)); do sleep 0.1; done
  ended "$driver" || kill -KILL "$driver"
  wait "$driver" || true
  driver=
  driver_line=$(grep -o 'ended: .*' "$dir/procdrv.err" || echo "no closing count from the driver")
}

# Runs PROBE CODE N times one after another (bash -c arguments: N PROBE CODE); prints how many
# ended with CODE, also when stopped by SIGTERM (after the run in hand ends).
burst_body='ok=0
trap "echo \$ok; exit 0" TERM
for ((i = 0; i < $1; i++)); do
  "$2" "$3" && status=0 || status=$?
  [ "$status" -ne "$3" ] || ok=$((ok + 1))
done
echo "$ok"'
burst() {
  timeout --foreground 120 bash -c "$burst_body" burst "$@" ||
    fail "a burst of $1 runs of $2 did not finish within 120 s"
}

# records CODE PROBE_PATH FILE...: "E Z O L LE B": records of the probe with exit status CODE,
# with 0, with any other; nameless records, those of them with CODE; lines that are not
# two-line usage records.
records() {
  local code=$1 path=$2
  shift 2
  (($#)) || { echo "0 0 0 0 0 0"; return; }
  awk -v code="$code" -v name="${path##*/}" -v where="${path%/*}/" '
    # "1:START:31:0:" then ten fields apart by ":0:", then "1:DURATION" or "0:DURATION".
    FNR == 1 && have {
      bad++  # a first line the file before ended on
      have = 0
    }
    !have {
      first = $0
      have = 1
      next
    }
    {
      have = 0
      second = $0
      line = first
      at = index(line, ":31:0:")
      if (substr(line, 1, 2) != "1:" || at == 0 || second !~ /^[01]:[0-9]+$/) { bad++; next }
      n = split(substr(line, at + 6), field, ":0:")
      if (n != 10) { bad++; next }
      if (field[5] == "<<lost>>") {
        lost++
        if (field[10] == code) lostSame++
        next
      }
      # One whose program could not be read keeps the command name and has no directory.
      if (field[5] != name || (field[7] != "" && field[7] != where)) next
      if (field[10] == code) same++
      else if (field[10] == "0") zero++
      else other++
    }
    END {
      if (have) bad++
      printf "%d %d %d %d %d %d\n", same, zero, other, lost, lostSame, bad
    }
  ' "$@"
}

data_files() { find "$dir/Log/temp/Tarnwick" -maxdepth 1 -name '*.data' | sort; }

# ---------------------------------------------------------------------------------------------
scenario=stall-mode1
install --events
stall=$(probe stall-probe)
start_agent
wait_log "START MAIN LOOP" 30
wait_log "Native event tracer is now running." 30
kill -STOP "$agent"
started=$(burst 5000 "$stall" 7)
kill -CONT "$agent"
sleep 3
before=$(data_files | wc -l)
ctl TARNWICKDUMP
sleep 3
mapfile -t first < <(data_files)
((${#first[@]} > before)) || fail "no data file from the first TARNWICKDUMP within 3 s"
ctl TARNWICKDUMP
sleep 3
stop_agent
mapfile -t all < <(data_files)
later=()
for file in "${all[@]}"; do
  [[ " ${first[*]} " == *" $file "* ]] || later+=("$file")
done
read -r same zero other lost lost7 bad < <(records 7 "$stall" "${all[@]}")
read -r psame pzero pother plost _ _ < <(records 7 "$stall" "${later[@]}")
# Every probe had ended before the first dump: nothing of them belongs in a later one. The
# nameless there are counted apart, as they may be other processes of the machine.
echo "$scenario: started $started, records with exit 7: $same, with exit 0: $zero," \
     "other: $other, nameless: $lost ($lost7 with exit 7), phantom records at a second dump:" \
     "$((psame + pzero + pother)) (nameless: $plost); malformed: $bad; agent exit: $agent_status"

# ---------------------------------------------------------------------------------------------
# start_driver_and_agent: the driver, once its device is there, then the agent, until it has
# connected to the driver.
start_driver_and_agent() {
  "$bin/vantor-procdrv" 2> "$dir/procdrv.err" &
  driver=$!
  local deadline=$((SECONDS + 10))
  until [ -S "$VANTOR_RUNTIME_DIR/device/VantorLicDrv" ]; do
    ended "$driver" && fail "vantor-procdrv ended: $(cat "$dir/procdrv.err")"
    ((SECONDS < deadline)) || fail "vantor-procdrv serves no device within 10 s"
    sleep 0.1
  done
  start_agent
  wait_log "START MAIN LOOP" 30
  wait_log "Kernel driver tracer successfully connected to the kernel driver." 30
}

scenario=die-during-burst-driver
install --driver
aside=$(probe burst-aside)
watched=$(probe burst-watched)
start_driver_and_agent
timeout --foreground 120 bash -c "$burst_body" burst 4000 "$aside" 3 > "$dir/aside.count" &
background=$!
started=$(burst 1000 "$watched" 5)
stop_agent
kill -TERM "$background" 2>/dev/null || true
wait "$background" || true
background=
stop_driver
mapfile -t all < <(data_files)
read -r same zero other lost _ bad < <(records 5 "$watched" "${all[@]}")
read -r asame _ _ _ _ _ < <(records 3 "$aside" "${all[@]}")
echo "$scenario: started $started, records with exit 5: $same, with exit 0: $zero," \
     "other: $other, nameless: $lost; beside it started $(cat "$dir/aside.count")," \
     "records with exit 3: $asame; driver $driver_line; malformed: $bad;" \
     "agent exit: $agent_status"

# ---------------------------------------------------------------------------------------------
scenario=sigstop-driver
install --driver
held=$(probe stop-probe)
start_driver_and_agent
kill -STOP "$agent"
started=$(burst 3000 "$held" 5)
kill -CONT "$agent"
stop_agent
stop_driver
mapfile -t all < <(data_files)
read -r same zero other lost _ bad < <(records 5 "$held" "${all[@]}")
echo "$scenario: started $started, records with exit 5: $same, with exit 0: $zero," \
     "other: $other, nameless: $lost; driver $driver_line; malformed: $bad;" \
     "agent exit: $agent_status"
