#!/usr/bin/env bash
# A throwaway PostgreSQL server for the report tests: made in a temporary folder, reached by a
# Unix socket only (no TCP port), stopped and removed at the end.
#   tests/report/postgres_server.sh start URL-FILE   starts one; writes its URL into URL-FILE
#   tests/report/postgres_server.sh stop URL-FILE    stops it and removes its folder
set -euo pipefail
command=$1
url_file=$2
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -n "$bin" ] || { echo "PostgreSQL's server is not installed (Debian: postgresql)" >&2; exit 1; }
# The server refuses to run as root: as root, it runs as Debian's postgres user.
as_server() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}
case "$command" in
  start)
    folder=$(mktemp -d /tmp/tarnwick-postgres-XXXXXX)
    [ "$(id -u)" -ne 0 ] || chown postgres: "$folder"
    as_server "$bin/initdb" -D "$folder/data" -A trust -U tarnwick -E UTF8 --locale=C.UTF-8 \
      > "$folder/initdb.log"
    as_server "$bin/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w \
      -o "-k $folder -c listen_addresses='' -c fsync=off" start > /dev/null
    echo "postgresql:///postgres?host=$folder&user=tarnwick" > "$url_file"
    ;;
  stop)
    [ -f "$url_file" ] || exit 0
    folder=$(sed -e 's/.*host=\([^&]*\).*/\1/' "$url_file")
    as_server "$bin/pg_ctl" -D "$folder/data" -m fast -w stop > /dev/null || true
    rm -rf "$folder" "$url_file"
    ;;
  *)
    echo "usage: $0 start|stop URL-FILE" >&2
    exit 2
    ;;
esac
