#!/usr/bin/env bash
# How fast tarnwick-report loads a site-year and reports it, on SQLite and on PostgreSQL,
# beside sqlite3's own .import of the same rows as CSV into a bare table (no digest, no
# parsing of the record format, no index) in the same run.
#   bench/report_year.sh BIN_DIR [RECORDS [COMPUTERS]]   default 10000000 records, 1000 computers
# BIN_DIR holds tarnwick-report and report_site_year; the PostgreSQL server is a throwaway one
# (tests/report/postgres_server.sh). KEEP=1 keeps the scratch folder.
set -euo pipefail
if [ $# -lt 1 ] || [ ! -d "$1" ]; then
  echo "usage: bench/report_year.sh BIN_DIR [RECORDS [COMPUTERS]]" >&2
  exit 1
fi
bin="$(cd "$1" && pwd)"
records=${2:-10000000}
computers=${3:-1000}
cd "$(dirname "$0")/.."
scratch=$(mktemp -d /tmp/tarnwick-report-bench-XXXXXX)
chmod 755 "$scratch"
server_started=false
finish() {
  if [ "$server_started" = true ]; then tests/report/postgres_server.sh stop "$scratch/pg.url"; fi
  [ "${KEEP:-0}" = 1 ] || rm -rf "$scratch"
}
trap finish EXIT
now() { date +%s.%N; }
rate() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.0f", n / (b - a) }'; }
span() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

"$bin/report_site_year" "$scratch/spool" "$records" "$computers" "$scratch/rows.csv"
rows=$(wc -l < "$scratch/rows.csv")
du -sh "$scratch/spool" | awk '{ print "spool: " $1 }'

t0=$(now)
sqlite3 "$scratch/import.db" \
  "CREATE TABLE usage_interval (start_time INTEGER, length INTEGER, computer TEXT, product TEXT, time_class TEXT, user_name TEXT);" \
  ".mode csv" ".import $scratch/rows.csv usage_interval"
t1=$(now)
import_rate=$(rate "$rows" "$t0" "$t1")
echo "sqlite3 .import: $rows rows in $(span "$t0" "$t1") s, $import_rate rows/s"

tests/report/postgres_server.sh start "$scratch/pg.url"
server_started=true
for database in "$scratch/usage.db" "$(cat "$scratch/pg.url")"; do
  name=$([ "${database#postgresql}" = "$database" ] && echo SQLite || echo PostgreSQL)
  t0=$(now)
  "$bin/tarnwick-report" load --database "$database" "$scratch/spool" > /dev/null
  t1=$(now)
  "$bin/tarnwick-report" report --database "$database" --utc > "$scratch/report-$name.txt"
  t2=$(now)
  load_rate=$(rate "$rows" "$t0" "$t1")
  echo "$name: load $rows records in $(span "$t0" "$t1") s, $load_rate records/s" \
       "($(awk -v a="$load_rate" -v b="$import_rate" 'BEGIN { printf "%.2f", a / b }') of .import);" \
       "the year's report for all products in $(span "$t1" "$t2") s"
done
cmp -s "$scratch/report-SQLite.txt" "$scratch/report-PostgreSQL.txt" &&
  echo "both reports agree" || { echo "the reports differ" >&2; exit 1; }
