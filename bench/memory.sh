#!/bin/sh
# Peak memory of `quilletserver pipe` on large answers: a 10 MB text value
# and a 1,000,000-row result, with the drivers' streaming options. The
# server streams through fixed buffers, so its resident size should stay a
# few MiB above the driver's own, whatever the size of the answer.
#
#   bench/memory.sh [BUILD_DIR]     (default build/release)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/release}
server=$build/quilletserver
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -x "$server" ] || { echo "memory.sh: build the server first ($server)" >&2; exit 1; }
[ -f "$build/install/config.xml" ] || { mkdir -p "$build/install"; echo '<Configuration/>' >"$build/install/config.xml"; }

db=$work/big.db
sqlite3 "$db" <<'SQL'
CREATE TABLE rows(id INTEGER, name VARCHAR(40), note VARCHAR(200), amount DECIMAL(12,2));
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000000)
INSERT INTO rows SELECT i, 'name & ' || i, 'note <' || i || '> é', i * 1.25 FROM n;
CREATE TABLE big(v TEXT);
INSERT INTO big VALUES (replace(hex(zeroblob(5000000)), '00', 'x€'));
SQL

measure() {  # label, request
    printf '%s' "$2" >"$work/req.xml"
    /usr/bin/time -f '%M' -o "$work/rss" "$server" pipe <"$work/req.xml" >"$work/out.xml"
    printf '%-28s %8s KiB peak RSS, %10s bytes of answer\n' "$1" "$(cat "$work/rss")" "$(wc -c <"$work/out.xml")"
}
cs="Driver=SQLite3;Database=$db;StepAPI=1"
measure "SQLite 1M rows, Long" "<Request><ConnectionString>$cs</ConnectionString><Sql>SELECT * FROM rows</Sql></Request>"
measure "SQLite 1M rows, Short cdata" "<Request><ConnectionString>$cs</ConnectionString><Sql>SELECT * FROM rows</Sql><Format><Short/><Data Type=\"cdata\"/></Format></Request>"
measure "SQLite 10 MB value" "<Request><ConnectionString>$cs</ConnectionString><Sql>SELECT v FROM big</Sql></Request>"
