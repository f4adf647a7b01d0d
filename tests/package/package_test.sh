#!/usr/bin/env bash
# The Debian package end to end, on this machine (as root): built from the default build,
# installed with dpkg, every file where it belongs, the installed agent run from the installed
# configuration until it has written its log and, after a dump, a data file; then purged, with
# nothing left behind. Also checks the units, the manual pages and lintian's verdict.
#   tests/package/package_test.sh        after the default build
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "$(id -u)" -ne 0 ]; then
  echo "package test skipped: installing a package needs root"
  exit 0
fi
fail() { echo "FAIL: $*" >&2; exit 1; }
unset VANTOR_REGISTRY VANTOR_RUNTIME_DIR

# Never over an installation of the machine's own.
if [ "$(dpkg-query -W -f='${db:Status-Status}' tarnwick 2>/dev/null)" != "" ] &&
   [ "$(dpkg-query -W -f='${db:Status-Status}' tarnwick 2>/dev/null)" != "not-installed" ] ||
   [ -e /etc/vantor ]; then
  fail "tarnwick is installed here already; the test would replace it"
fi
(cd build && rm -f tarnwick_*.deb && cpack > /dev/null)
deb=$(ls build/tarnwick_*.deb)
lintian --fail-on error "$deb" || fail "lintian reports errors"

agent=""
# Only the agent this test started is ended, and waited for, before its files go.
stopAgent() {
  if [ -n "$agent" ]; then
    kill "$agent" 2> /dev/null || true
    wait "$agent" 2> /dev/null || true
    agent=""
  fi
}
trap 'stopAgent; dpkg --purge tarnwick > /dev/null 2>&1 || true' EXIT
dpkg -i "$deb" > /dev/null

for file in /usr/sbin/tarnwick /usr/sbin/vantor-procdrv /usr/bin/vantorctl /usr/bin/tarnwick-report \
            /etc/vantor/registry.reg /etc/vantor/tarnwick.conf /etc/vantor/primetime \
            /etc/vantor/accounts.conf /etc/vantor/tarnwick_modpoller.conf \
            /etc/vantor/Tarnwick_Counters.conf /etc/vantor/Tarnwick_ProcessRules.conf \
            /etc/vantor/LogMessages/tarnwick.mess /etc/vantor/components/appmapping.conf \
            /lib/systemd/system/tarnwick.service /lib/systemd/system/vantor-procdrv.service \
            /usr/share/man/man8/tarnwick.8.gz /usr/share/man/man8/vantor-procdrv.8.gz \
            /usr/share/man/man1/vantorctl.1.gz /usr/share/man/man1/tarnwick-report.1.gz \
            /usr/share/man/man5/tarnwick.conf.5.gz \
            /usr/share/doc/tarnwick/copyright /usr/share/tarnwick/registry.reg; do
  [ -f "$file" ] || fail "$file is missing"
done
for folder in /var/lib/vantor/Tarnwick /var/log/vantor /etc/vantor/accounts; do
  [ -d "$folder" ] || fail "$folder was not made"
done
conffiles=$(dpkg-query -W -f='${Conffiles}' tarnwick)
[ "$(echo "$conffiles" | grep -c /etc/vantor/)" -ge 10 ] ||
  fail "the files under /etc/vantor are not all conffiles"
# The agent writes its registry: a conffile would stop the next upgrade at a prompt.
echo "$conffiles" | grep -q registry.reg && fail "the registry is a conffile"

# Removed and installed again, both units can be enabled: no mask is left.
dpkg --remove tarnwick > /dev/null
[ -f /etc/vantor/tarnwick.conf ] || fail "a removal took the configuration"
dpkg -i "$deb" > /dev/null
for unit in tarnwick vantor-procdrv; do
  [ -L "/etc/systemd/system/$unit.service" ] && fail "$unit.service stays masked"
done
# An upgrade adds the registry values a new version brings, in their own section, and keeps
# the agent's own, even those the agent writes while the upgrade runs: a writer as the agent
# is (under the lock, a new copy moved over the old) adds a value after another meanwhile.
sed -i '/"StartupLogDir"/d' /etc/vantor/registry.reg
printf '"TarnwickLogCounter"=dword:00000007\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Other]\n' \
  >> /etc/vantor/registry.reg
scratch=$(mktemp -d)
(
  n=0
  while [ ! -e "$scratch/upgraded" ] || [ "$n" -lt 20 ]; do
    n=$((n + 1))
    printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources]\n"Written%d"="%d"\n' "$n" "$n" \
      > "$scratch/value.reg"
    VANTOR_REGISTRY=/etc/vantor/registry.reg /usr/sbin/tarnwick --merge-registry \
      "$scratch/value.reg" || exit 1
    echo "$n" > "$scratch/count"
  done
) &
writer=$!
dpkg -i "$deb" > /dev/null
touch "$scratch/upgraded"
wait "$writer" || fail "a registry write failed during the upgrade"
section=$(sed -n '/^\[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources\]/,/^\[/p' /etc/vantor/registry.reg)
echo "$section" | grep -q '^"StartupLogDir"=' ||
  fail "the upgrade did not add a value to its section: $(cat /etc/vantor/registry.reg)"
grep -q '^"TarnwickLogCounter"=dword:00000007' /etc/vantor/registry.reg ||
  fail "the upgrade took the agent's own value"
for n in $(seq "$(cat "$scratch/count")"); do
  echo "$section" | grep -q "^\"Written$n\"=\"$n\"" ||
    fail "a value written during the upgrade was lost: Written$n"
done
rm -rf "$scratch"

systemd-analyze verify --man=no /lib/systemd/system/tarnwick.service \
  /lib/systemd/system/vantor-procdrv.service || fail "systemd-analyze rejects the units"
for page in /usr/share/man/man*/tarnwick* /usr/share/man/man*/vantor*; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 > /dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done

# The installed agent, from the installed configuration alone.
/usr/sbin/tarnwick 2> /tmp/tarnwick-package-stderr &
agent=$!
for _ in $(seq 100); do
  grep -q "START MAIN LOOP" /var/log/vantor/tarnwick.log 2>/dev/null && break
  sleep 0.1
done
grep -q "START MAIN LOOP" /var/log/vantor/tarnwick.log ||
  fail "the installed agent did not start: $(cat /tmp/tarnwick-package-stderr)"
vantorctl send TARNWICKDUMP > /dev/null || fail "the agent did not answer TARNWICKDUMP"
ls /var/lib/vantor/Tarnwick/ProcessLog-*.data > /dev/null 2>&1 || fail "no data file after a dump"
grep -q ":31:" /var/lib/vantor/Tarnwick/ProcessLog-*.data || fail "the data file holds no record"
# The installed report tool reads what the installed agent wrote: the agent itself ran.
reports=$(mktemp -d)
tarnwick-report load --database "$reports/usage.db" /var/lib/vantor/Tarnwick > /dev/null ||
  fail "the agent's data files did not load"
tarnwick-report report --database "$reports/usage.db" --product tarnwick --format csv |
  grep -q "^tarnwick,1," || fail "the report does not show the agent running"
rm -rf "$reports"
vantorctl send DIE > /dev/null || fail "the agent did not answer DIE"
for _ in $(seq 300); do kill -0 "$agent" 2> /dev/null || break; sleep 0.1; done
kill -0 "$agent" 2> /dev/null && fail "the agent did not end within 30 seconds of DIE"
status=0
wait "$agent" || status=$?
agent=""
[ "$status" -eq 0 ] || fail "the agent ended with status $status"
rm -f /tmp/tarnwick-package-stderr

dpkg --purge tarnwick > /dev/null
trap - EXIT
for left in /etc/vantor /var/lib/vantor /var/log/vantor /run/vantor /usr/sbin/tarnwick \
            /usr/sbin/vantor-procdrv /usr/bin/vantorctl /usr/bin/tarnwick-report \
            /lib/systemd/system/tarnwick.service \
            /usr/share/doc/tarnwick /usr/share/tarnwick /usr/share/man/man8/tarnwick.8.gz \
            /etc/systemd/system/multi-user.target.wants/tarnwick.service; do
  [ -e "$left" ] && fail "$left is left after the purge"
done
echo "package test passed: $(basename "$deb")"
