#!/usr/bin/env bash
# Loopback load on the standalone server: 64 clients x 200 requests each
# (small SELECTs, a 10,000-row SELECT, SQL and document errors; every tenth
# connection leaves mid-answer, every tenth sends two requests in one write,
# one in twenty sends a request cut short, one in twenty sends slowly),
# each answer compared with pipe mode.
# Prints requests/s, p50/p99 latency and the server's RSS and descriptors
# before and after; fails on a wrong answer, a child left behind or growth.
#   bench/load.sh [--tls] [BUILD_DIR] [CLIENTS] [REQUESTS]   (default build/release 64 200)
# --tls: the server speaks TLS only, with a certificate of a private CA
# made for the run; the clients trust that CA and end their requests with
# a close_notify. The answers are still compared with pipe mode.
set -euo pipefail
tls=
if [ "${1:-}" = --tls ]; then
    tls=1
    shift
fi
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/release}
clients=${2:-64}
per_client=${3:-200}
server=$build/quilletserver
[ -x "$server" ] || { echo "load.sh: build the server first ($server)" >&2; exit 1; }
work=$(mktemp -d)
install=$build/install
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    [ -f "$work/config.saved" ] && cp "$work/config.saved" "$install/config.xml"
    rm -rf "$work"
}
trap cleanup EXIT
g++ -O2 -std=c++20 -pthread "$here/bench/load_client.cpp" -o "$work/load_client" -lssl -lcrypto

mkdir -p "$install"
[ -f "$install/config.xml" ] && cp "$install/config.xml" "$work/config.saved"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
tls_settings=
client_tls=()
if [ -n "$tls" ]; then
    "$here/bench/certs.sh" "$work" "Load CA"
    tls_settings="<Tls>On</Tls><TlsCertificate>$work/server.pem</TlsCertificate><TlsKey>$work/server.key</TlsKey>"
    client_tls=(--tls "$work/ca.pem")
fi
printf '<Configuration><Port>%s</Port><ControlPort>%s</ControlPort><Logging>0</Logging><LogDir>%s</LogDir>%s<Flags><MultiProcess/><EnableControlInterface/></Flags></Configuration>\n' \
    "$port" "$cport" "$work" "$tls_settings" >"$install/config.xml"

db=$work/load.db
sqlite3 "$db" <<'SQL'
CREATE TABLE t(n INTEGER, s VARCHAR(40));
WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 10000)
INSERT INTO t SELECT x, 'row <' || x || '> é' FROM c;
SQL
conn="Driver=SQLite3;Database=$db"
req() { printf '<Request><ConnectionString>%s</ConnectionString>%s</Request>' "$conn" "$1" >"$work/$2.xml"; }
req '<Sql>SELECT n, s FROM t</Sql>' big            # first: the one left mid-answer
req '<Sql>SELECT n, s FROM t WHERE n = 42</Sql>' one
req '<Sql>SELECT count(*) AS c, sum(n) AS s FROM t</Sql>' sum
req '<Sql>SELECT * FROM no_such_table</Sql>' sqlerror
req '<Sql>SELECT n FROM t WHERE n &lt; 4</Sql><Format><Short/></Format>' short
printf '<Request><Sql>x</Request>' >"$work/malformed.xml"
head -c 60 "$work/one.xml" >"$work/truncated.xml"   # last: the request cut short
args=()
for r in big one sum sqlerror short malformed truncated; do
    "$server" pipe <"$work/$r.xml" >"$work/$r.answer" || true
    args+=("$work/$r.xml" "$work/$r.answer")
done

"$server" standalone &
pid=$!
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done
sleep 6  # the probe's child is reaped on the first idle turn
status=0
"$work/load_client" "${client_tls[@]}" "$port" "$pid" "$clients" "$per_client" "${args[@]}" || status=$?
kill "$pid"
wait "$pid" || true
pid=
exit $status
