#!/usr/bin/env bash
# The Windows agent under Wine, end to end: installed from a registry set up with "wine reg
# add", it meters a program with a version resource by polling, answers vantorctl over real
# mailslots, and writes data files whose records name the program as its version resource does.
#   agent_under_wine.sh SOURCE_DIR TARNWICK_EXE VANTORCTL_EXE PROBE_EXE
set -euo pipefail
source_dir=$1 tarnwick=$2 vantorctl=$3 probe=$4
export WINEDEBUG=-all
dir=$(mktemp -d)
agent=
cleanup() {
  [ -n "$agent" ] && kill "$agent" 2>/dev/null || true
  wine reg delete 'HKLM\SOFTWARE\Vantor\Resources' /f > /dev/null 2>&1 || true
  if [ "${failed:-1}" = 0 ]; then rm -rf "$dir"; else echo "kept: $dir" >&2; fi
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  [ -f "$dir/log/tarnwick.log" ] && tail -n 40 "$dir/log/tarnwick.log" >&2
  exit 1
}
# Waits up to $1 seconds for a command to succeed.
wait_for() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

"$source_dir/tools/make-installation" --poll-interval PT1S "$dir" > /dev/null
key='HKLM\SOFTWARE\Vantor\Resources'
wine reg add "$key" /v ConfigurationDir /d "$dir/conf/" /f > /dev/null
wine reg add "$key" /v InstallDir /d "$dir/" /f > /dev/null
wine reg add "$key" /v StartupLogDir /d "$dir/log/" /f > /dev/null
wine reg add "$key" /v TarnwickDebugLog /d "$dir/log/tarnwick.log" /f > /dev/null
cp "$probe" "$dir/probe.exe"

wine "$tarnwick" > "$dir/agent.out" 2>&1 &
agent=$!
wait_for 60 grep -qs "Tarnwick is running." "$dir/log/tarnwick.log" || fail "the agent did not start"

# One probe ends while the agent runs; one runs on through the dump.
status=0
wine "$dir/probe.exe" 3 2500 || status=$?
[ "$status" = 3 ] || fail "the probe ended with status $status"
wine "$dir/probe.exe" 0 60000 &
runner=$!
sleep 2
info=$(wine "$vantorctl" send SEND_PROCESS_INFO --timeout 10) || fail "SEND_PROCESS_INFO had no answer"
[ -n "$info" ] || fail "SEND_PROCESS_INFO answered nothing"

records() { cat "$dir"/Log/temp/Tarnwick/*.data 2>/dev/null || true; }
wine "$vantorctl" send TARNWICKDUMP --timeout 10 > /dev/null || fail "TARNWICKDUMP failed"
wait_for 30 bash -c "cat '$dir'/Log/temp/Tarnwick/*.data 2>/dev/null | grep -q ':probe.exe:0:Tarnwick Versioned Probe:'" ||
  fail "no record names the probe by its version resource"
# The probe that ended carries its exit code; the one still running was dumped.
records | grep -q ':probe.exe:0:Tarnwick Versioned Probe:.*:3$' || fail "the ended probe's exit code is missing"
records | grep -q ':probe.exe:0:Tarnwick Versioned Probe:.*:none$' || fail "the running probe was not dumped"

wine "$vantorctl" send DIE --timeout 10 > /dev/null || fail "DIE failed"
wait_for 30 bash -c "! kill -0 $agent 2>/dev/null" || fail "the agent did not end on DIE"
wait "$agent" || fail "the agent ended with status $?"
agent=
grep -q "Closing log file" "$dir/log/tarnwick.log" || fail "the log was not closed"
kill "$runner" 2>/dev/null || true
failed=0
echo "the Windows agent metered the probe under Wine"
