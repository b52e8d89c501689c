#!/bin/sh
# Builds the benchmark table t in SQLite or PostgreSQL with any number of
# rows. The contents depend on the row number only, so every run (and both
# databases) hold the same values:
#   id INTEGER, name VARCHAR(40) (every 7th with "&", every 11th with "<"),
#   note VARCHAR(200) (every 10th with non-ASCII text), amount DECIMAL(12,2),
#   created TIMESTAMP, flag INTEGER (NULL in 30 % of the rows), data: 16 bytes.
#
#   bench/gen_data.sh sqlite FILE ROWS
#   bench/gen_data.sh pg SOCKETDIR PORT ROWS     (user and database "quillet")
set -eu
kind=${1:-}
case "$kind" in
sqlite)
    db=$2; rows=$3
    rm -f "$db"
    sqlite3 "$db" <<SQL
CREATE TABLE t(id INTEGER, name VARCHAR(40), note VARCHAR(200), amount DECIMAL(12,2),
               created TIMESTAMP, flag INTEGER, data BLOB);
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
INSERT INTO t SELECT
  i,
  'customer ' || i || CASE WHEN i % 7 = 0 THEN ' & sons' WHEN i % 11 = 0 THEN ' <ltd>' ELSE '' END,
  CASE WHEN i % 10 = 0 THEN 'Grüße aus Köln – Nr. ' || i || ' ✓ café'
       ELSE 'ordinary delivery note for order number ' || i || ', shipped in two parcels' END,
  printf('%.2f', (i % 100000) * 1.37),
  printf('2024-%02d-%02d %02d:%02d:%02d', 1 + i % 12, 1 + i % 28, i % 24, i % 60, (i * 7) % 60),
  CASE WHEN i % 10 < 3 THEN NULL ELSE i % 1000 END,
  x'00112233445566778899aabbccddeeff'
FROM n;
COMMIT;
SQL
    ;;
pg)
    sock=$2; port=$3; rows=$4
    psql -q -X -v ON_ERROR_STOP=1 -h "$sock" -p "$port" -U quillet quillet <<SQL
DROP TABLE IF EXISTS t;
CREATE TABLE t(id INTEGER, name VARCHAR(40), note VARCHAR(200), amount DECIMAL(12,2),
               created TIMESTAMP, flag INTEGER, data BYTEA);
INSERT INTO t SELECT
  i,
  'customer ' || i || CASE WHEN i % 7 = 0 THEN ' & sons' WHEN i % 11 = 0 THEN ' <ltd>' ELSE '' END,
  CASE WHEN i % 10 = 0 THEN 'Grüße aus Köln – Nr. ' || i || ' ✓ café'
       ELSE 'ordinary delivery note for order number ' || i || ', shipped in two parcels' END,
  ((i % 100000) * 1.37)::DECIMAL(12,2),
  make_timestamp(2024, 1 + i % 12, 1 + i % 28, i % 24, i % 60, (i * 7) % 60),
  CASE WHEN i % 10 < 3 THEN NULL ELSE i % 1000 END,
  '\x00112233445566778899aabbccddeeff'::bytea
FROM generate_series(1, $rows) AS i;
VACUUM ANALYZE t;
SQL
    ;;
*) echo "usage: $0 sqlite FILE ROWS | pg SOCKETDIR PORT ROWS" >&2; exit 2 ;;
esac
