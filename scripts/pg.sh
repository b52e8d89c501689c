#!/bin/sh
# Throw-away PostgreSQL cluster for the tests: its own data directory, a
# free loopback port, a Unix socket in the same temporary directory, trust
# authentication. Nothing outside that directory is touched.
#
#   scripts/pg.sh start DIR   creates and starts the cluster, prints its port
#   scripts/pg.sh stop DIR    stops it and removes DIR
set -eu

PGBIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -n "$PGBIN" ] || { echo "pg.sh: PostgreSQL server binaries not found" >&2; exit 1; }

# The server refuses to run as root: run it as the postgres account then.
as_owner() {
    if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

cmd=${1:-}; dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }

case "$cmd" in
start)
    mkdir -p "$dir"
    [ "$(id -u)" = 0 ] && chown postgres "$dir"
    port=$(free_port)
    as_owner "$PGBIN/initdb" -D "$dir/data" -A trust -U quillet -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1
    as_owner "$PGBIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
        -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null
    as_owner "$PGBIN/createdb" -h "$dir" -p "$port" -U quillet quillet
    echo "$port" >"$dir/port"
    echo "$port"
    ;;
stop)
    [ -d "$dir/data" ] && as_owner "$PGBIN/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$dir"
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
