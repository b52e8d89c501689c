#!/usr/bin/env bash
# Runs the server in pipe mode under valgrind over every kind of request,
# result format and error path, against SQLite and a throw-away PostgreSQL
# cluster. Fails when valgrind reports any error or a definite or indirect
# leak not covered by scripts/valgrind.supp (third-party drivers only).
#   scripts/valgrind.sh            builds build/valgrind first
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/valgrind
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_TESTS=OFF \
    -DQUILLET_INSTALL_DIR="$build/install" >/dev/null || exit 1
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target quilletserver >/dev/null || exit 1

work=$(mktemp -d)
chmod 755 "$work"  # the cluster runs as another user when we are root
pgdir=$work/pg
cleanup() { scripts/pg.sh stop "$pgdir" >/dev/null 2>&1; rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$build/install"
sqlite3 "$work/demo.db" <examples/demo.sql || exit 1
pgport=$(scripts/pg.sh start "$pgdir" | tail -n 1) || exit 1
psql -q -h "$pgdir" -p "$pgport" -U quillet quillet >/dev/null <<'SQL' || exit 1
CREATE TABLE t (n int, s text, b bytea);
INSERT INTO t SELECT x, 'row <' || x || '> & é', '\x00ff'::bytea FROM generate_series(1, 2000) x;
CREATE FUNCTION getbalance(a int) RETURNS int AS 'SELECT a * 10' LANGUAGE sql;
SQL

lite="Driver=SQLite3;Database=$work/demo.db"
pg="Driver=PostgreSQL Unicode;Servername=127.0.0.1;Port=$pgport;Database=quillet;Username=quillet"
req() { printf '<Request><ConnectionString>%s</ConnectionString>%s</Request>' "$1" "$2"; }
# The examples' data sources, and client connection strings accepted too.
printf '<Configuration><Logging>0</Logging><LogDir>%s</LogDir>%s%s</Configuration>\n' "$work" \
    "<DataSource Name=\"demo\">$lite;NoCreat=1</DataSource>" \
    "<DataSource Name=\"shop\" Extra=\"UID,PWD\">$pg</DataSource>" >"$build/install/config.xml"

n=0
add() { n=$((n + 1)); printf '%s' "$1" >"$work/req$(printf %03d $n).xml"; }
# The examples, on the demo database and on PostgreSQL.
for f in examples/*.xml examples/pg/*.xml; do
    case "$(basename "$f")" in config*.xml) continue ;; esac
    add "$(cat "$f")"
done
for fmt in '<Long/>' '<Short/>' '<TableTags/>' '<Short/><Data Type="cdata"/>' \
    '<Long/><Binary Output="base64"/>' '<Short/><Binary Output="none"/>' '<Long/><Meta/>'; do
    add "$(req "$pg" "<Sql>SELECT n, s, b FROM t WHERE n &lt;= 50</Sql><Format>$fmt</Format>")"
done
add "$(req "$pg" '<Sql>SELECT n, s FROM t</Sql>')"
add "$(req "$pg" '<Tables/>')"
add "$(req "$pg" '<Transaction><Sql>UPDATE t SET n = n WHERE n = 1</Sql><Sql>SELECT 1</Sql></Transaction>')"
add "$(req "$pg" '<Environment>PGAPPNAME=valgrind</Environment><Sql>SELECT 1 AS one</Sql>')"
# Error paths: documents, drivers, connections, statements and fetches.
add ''
add '<Request><Sql>x</Request>'
add '<Request><Sql>SELECT 1</Sql></Request>'
add '<Request><ConnectionString>x</ConnectionString></Request>'
add "$(req 'Driver=NoSuchDriver' '<Sql>SELECT 1</Sql>')"
add "$(req 'DSN=nosuch' '<Sql>SELECT 1</Sql>')"
add "$(req 'Driver=SQLite3;Database=/nonexistent/x.db' '<Sql>SELECT 1</Sql>')"
add "$(req "$pg;Username=nobody" '<Sql>SELECT 1</Sql>')"
add "$(req "$lite" '<Sql>SELECT * FROM no_such_table</Sql>')"
# Refused by the rules on sources, connection strings and the environment.
add '<Request><DataSource>nosuch</DataSource><Sql>SELECT 1</Sql></Request>'
add '<Request><DataSource>demo</DataSource><ConnectionString>PWD=x</ConnectionString><Sql>SELECT 1</Sql></Request>'
add "$(req "$lite;LoadExt=/tmp/x.so" '<Sql>SELECT 1</Sql>')"
add "$(req 'Driver={/tmp/x.so}' '<Sql>SELECT 1</Sql>')"
add "$(req "$lite" '<Environment>LD_PRELOAD=/tmp/x.so</Environment><Sql>SELECT 1</Sql>')"
add "$(req "$lite" "<Sql>SELECT load_extension('/tmp/x.so')</Sql>")"
add "$(req "$pg" '<Sql>SELECT &lt;</Sql>')"
add "$(req "$pg;UseDeclareFetch=1;Fetch=100" '<Sql>SELECT 1/(n-1000) AS q, s FROM t ORDER BY n</Sql>')"
add "$(req "$pg" '<Transaction><Sql>SELECT 1</Sql><Sql>SELECT 1/0</Sql></Transaction>')"
add "$(req "$pg" '<Procedure><ProcedureName>nosuch</ProcedureName><Parameter Index="1" Direction="In" Type="integer">1</Parameter></Procedure>')"

status=0
for f in "$work"/req*.xml; do
    log=$work/$(basename "$f" .xml).vg
    valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect --error-exitcode=99 \
        --suppressions="$root/scripts/valgrind.supp" --log-file="$log" \
        "$build/quilletserver" pipe <"$f" >/dev/null 2>"$work/stderr"
    r=$?
    if [ $r -eq 99 ] || [ -s "$log" ]; then
        echo "FAILED: $(head -c 200 "$f")"
        head -n 40 "$log"
        status=1
    fi
done
echo "valgrind: $n requests, $([ $status -eq 0 ] && echo 'no errors, no definite or indirect leaks' || echo FAILED)"
exit $status
