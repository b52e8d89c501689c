#!/bin/sh
# Throughput, memory and small-request benchmarks of quilletserver, against
# bench/ref_fetch (the same data path in a minimal program) and the
# databases' own clients, all in one run. See docs/performance.md.
#
#   bench/run.sh [BUILD_DIR] [ROWS]     (defaults: build/release, 200000)
#
# Environment: RUNS (timed runs per command, default 6), MEMROWS (the
# second row count of the memory check, default 1000000, 0 to skip),
# SMALL=0 skips the small-request part, LARGE=0 the timed large answers
# and the memory check, CALLGRIND=0 the instruction count,
# BASE the commit whose server the small requests are compared with
# (default: where this branch left main, or on main the commit before the
# last; BASE=none skips the comparison),
# PARAMROWS the rows of the bulk insert (default 10000, 0 to skip),
# PARAMCONNROWS those of its variant with a connection per row (default
# PARAMROWS; ratios are per row).
#
# It starts a throw-away PostgreSQL cluster and two standalone servers on
# free loopback ports, one plain and one speaking TLS with a certificate of
# a private CA made for the run; the build's install/config.xml is put back
# on exit.
set -eu
# The kernel counts dropped and reset connections per network namespace:
# as root the script runs in a namespace of its own (loopback only), so
# that only its own connections are counted.
if [ -z "${QUILLET_BENCH_NETNS:-}" ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null &&
    command -v ip >/dev/null; then
    QUILLET_BENCH_NETNS=1 exec unshare -n sh -c 'ip link set lo up && exec sh "$0" "$@"' "$0" "$@"
fi
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/release}" && pwd)
rows=${2:-200000}
runs=${RUNS:-6}
memrows=${MEMROWS:-1000000}
server=$build/quilletserver
ref=$build/bench/ref_fetch
qclient=$build/bench/qclient
for prog in "$server" "$ref" "$qclient"; do
    [ -x "$prog" ] || { echo "run.sh: build first: $prog is missing" >&2; exit 1; }
done
for tool in hyperfine sqlite3 psql python3 openssl /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is needed (see docs/performance.md)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/quillet-bench.XXXXXX)
chmod 755 "$work"
config=$build/install/config.xml
mkdir -p "$build/install"
[ -f "$config" ] && cp "$config" "$work/config.saved"
daemon=
tls_daemon=
keep_daemon=
base_daemon=
cleanup() {
    for pid in $daemon $tls_daemon $keep_daemon $base_daemon; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ -d "$work/base" ]; then git -C "$here" worktree remove --force "$work/base" >/dev/null 2>&1 || true; fi
    if [ -f "$work/config.saved" ]; then cp "$work/config.saved" "$config"; else rm -f "$config"; fi
    "$here/scripts/pg.sh" stop "$work/pg" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

echo "== data: $rows rows in SQLite and PostgreSQL" >&2
pgport=$("$here/scripts/pg.sh" start "$work/pg")
"$here/bench/gen_data.sh" sqlite "$work/t.db" "$rows"
"$here/bench/gen_data.sh" pg "$work/pg" "$pgport" "$rows"

cs_sqlite="Driver=SQLite3;Database=$work/t.db;StepAPI=1"
cs_pg="Driver=PostgreSQL Unicode;Servername=127.0.0.1;Port=$pgport;Database=quillet;Username=quillet;UseDeclareFetch=1;Fetch=1000"

# request FILE CONNSTR SQL [FORMAT]
request() {
    printf '<Request><ConnectionString>%s</ConnectionString><Sql>%s</Sql>%s</Request>' \
        "$2" "$3" "${4:-}" >"$1"
}
for db in sqlite pg; do
    eval cs=\$cs_$db
    request "$work/$db-long.xml" "$cs" "SELECT * FROM t"
    request "$work/$db-short.xml" "$cs" "SELECT * FROM t" "<Format><Short/></Format>"
    request "$work/$db-tabletags.xml" "$cs" "SELECT * FROM t" "<Format><TableTags/></Format>"
    request "$work/$db-cdata.xml" "$cs" "SELECT * FROM t" '<Format><Long/><Data Type="cdata"/></Format>'
    request "$work/$db-base64.xml" "$cs" "SELECT * FROM t" '<Format><Long/><Binary Output="base64"/></Format>'
done

port=$(free_port)
cport=$(free_port)
tport=$(free_port)
tcport=$(free_port)
mkdir -p "$work/logs"
# write_config PORT CONTROLPORT [SETTINGS]
write_config() {
    cat >"$config" <<EOF
<Configuration>
    <Port>$1</Port>
    <ControlPort>$2</ControlPort>${3:-}
    <MaxConcurrentConnect>0</MaxConcurrentConnect>
    <MaxClientConnect>0</MaxClientConnect>
    <Logging>0x0</Logging>
    <LogDir>$work/logs</LogDir>
    <Flags>
        <MultiProcess/>
        <NoReverseLookup/>
    </Flags>
</Configuration>
EOF
}
# wait_for NAME PORT [QCLIENT OPTIONS...]: until the server answers one request.
wait_for() {
    name=$1
    p=$2
    shift 2
    i=0
    until "$qclient" "$@" drain "$p" "$work/one.xml" 2>/dev/null; do
        i=$((i + 1))
        [ $i -lt 50 ] || { echo "run.sh: the $name server did not start" >&2; cat "$work/$name.out" >&2; exit 1; }
        sleep 0.1
    done
}
request "$work/one.xml" "$cs_sqlite" "SELECT 1 AS v"
write_config "$port" "$cport"
setsid "$server" standalone "$port" >"$work/daemon.out" 2>&1 &
daemon=$!
wait_for daemon "$port"

# The TLS server: a private CA, a certificate for 127.0.0.1, the same
# settings but Tls. Each server read its configuration when it started;
# the plain one is put back after.
"$here/bench/certs.sh" "$work"
write_config "$tport" "$tcport" "
    <Tls>On</Tls>
    <TlsCertificate>$work/server.pem</TlsCertificate>
    <TlsKey>$work/server.key</TlsKey>"
setsid "$server" standalone "$tport" >"$work/tls_daemon.out" 2>&1 &
tls_daemon=$!
wait_for tls_daemon "$tport" --tls "$work/ca.pem"

# The same server keeping each client's database connection between its
# requests.
kport=$(free_port)
kcport=$(free_port)
write_config "$kport" "$kcport" "
    <KeepConnections>Yes</KeepConnections>"
setsid "$server" standalone "$kport" >"$work/keep_daemon.out" 2>&1 &
keep_daemon=$!
wait_for keep_daemon "$kport"

# The server of the commit before: built in a throw-away worktree of this
# repository, run with the same configuration, so that the new connections
# per second of both are measured on the machine as it is during this run.
if [ "${SMALL:-1}" != 0 ] && [ "${BASE:-}" != none ]; then
    base=${BASE:-}
    if [ -z "$base" ]; then
        head=$(git -C "$here" rev-parse HEAD)
        base=$(git -C "$here" merge-base HEAD main 2>/dev/null || echo "$head")
        [ "$base" = "$head" ] && base=$(git -C "$here" rev-parse HEAD^)
    fi
    echo "== building the server of $base for comparison" >&2
    git -C "$here" worktree add --detach "$work/base" "$base" >/dev/null 2>&1
    cmake -S "$work/base" -B "$work/base/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUILLET_TESTS=OFF -DQUILLET_INSTALL_DIR="$work/base/install" >/dev/null
    cmake --build "$work/base/build" -j2 --target quilletserver >/dev/null
    bport=$(free_port)
    bcport=$(free_port)
    write_config "$bport" "$bcport"
    mkdir -p "$work/base/install"
    cp "$config" "$work/base/install/config.xml"
    setsid "$work/base/build/quilletserver" standalone "$bport" >"$work/base_daemon.out" 2>&1 &
    base_daemon=$!
    wait_for base_daemon "$bport"
    echo "base $(git -C "$here" rev-parse --short "$base")" >"$work/base.id"
fi
write_config "$port" "$cport"

# The reference must write what the server writes after its head.
for db in sqlite pg; do
    eval cs=\$cs_$db
    "$ref" "$cs" "SELECT * FROM t" >"$work/$db-ref.out"
    "$server" pipe <"$work/$db-long.xml" | sed -n '/^<Result/,$p' >"$work/$db-pipe.out"
    if ! cmp -s "$work/$db-ref.out" "$work/$db-pipe.out"; then
        echo "run.sh: $db: ref_fetch and the server answer differ" >&2
        cmp "$work/$db-ref.out" "$work/$db-pipe.out" >&2 || true
        exit 1
    fi
    "$ref" --block "$cs" "SELECT * FROM t" >"$work/$db-block.out"
    if ! cmp -s "$work/$db-ref.out" "$work/$db-block.out"; then
        echo "run.sh: $db: ref_fetch --block writes another answer" >&2
        exit 1
    fi
    echo "== $db: ref_fetch output (also --block) equals the server's answer body ($(wc -c <"$work/$db-ref.out") bytes)" >&2
done

# name|command for one database
commands() {
    db=$1
    eval cs=\$cs_$db
    echo "ref_fetch|$ref '$cs' 'SELECT * FROM t' >/dev/null"
    echo "ref_fetch block|$ref --block '$cs' 'SELECT * FROM t' >/dev/null"
    echo "pipe long|$server pipe <$work/$db-long.xml >/dev/null"
    echo "tcp long|$qclient drain $port $work/$db-long.xml 2>/dev/null"
    echo "tls long|$qclient --tls $work/ca.pem drain $tport $work/$db-long.xml 2>/dev/null"
    echo "pipe short|$server pipe <$work/$db-short.xml >/dev/null"
    echo "pipe tabletags|$server pipe <$work/$db-tabletags.xml >/dev/null"
    echo "pipe cdata|$server pipe <$work/$db-cdata.xml >/dev/null"
    echo "pipe base64|$server pipe <$work/$db-base64.xml >/dev/null"
    if [ "$db" = sqlite ]; then
        echo "native sqlite3|sqlite3 -batch $work/t.db 'SELECT * FROM t' >/dev/null"
    else
        echo "native psql COPY|psql -X -q -h $work/pg -p $pgport -U quillet quillet -c 'COPY t TO STDOUT' >/dev/null"
    fi
}

for db in sqlite pg; do
    [ "${LARGE:-1}" != 0 ] || break
    echo "== $db: hyperfine, about $runs runs each" >&2
    commands "$db" >"$work/$db.cmds"
    set --
    while IFS='|' read -r name cmd; do
        set -- "$@" -n "$name" "$cmd"
        # Bytes written and peak resident size of one run (for "tcp": of the
        # client; the server child's own size shows in the memory check).
        sh -c "${cmd% >/dev/null}" 2>/dev/null | wc -c >"$work/$db-$name.bytes" || true
        /usr/bin/time -f '%M' -o "$work/$db-$name.rss" sh -c "exec ${cmd}" 2>/dev/null || true
    done <"$work/$db.cmds"
    # Rounds of two runs each, the commands taking turns: a change in the
    # machine's load during the run then falls on every command alike.
    hyperfine --style none --warmup 1 --runs 2 --export-json "$work/$db.0.json" "$@" >/dev/null
    r=1
    while [ $((r * 2)) -lt "$runs" ]; do
        hyperfine --style none --runs 2 --export-json "$work/$db.$r.json" "$@" >/dev/null 2>&1
        r=$((r + 1))
    done
done

# Peak resident size, server against ref_fetch, at two sizes.
memcheck() {  # db rows
    db=$1
    eval cs=\$cs_$db
    /usr/bin/time -f '%M' -o "$work/m-ref" "$ref" "$cs" "SELECT * FROM t" >/dev/null
    /usr/bin/time -f '%M' -o "$work/m-srv" "$server" pipe <"$work/$db-long.xml" >/dev/null
    echo "$db $2 $(cat "$work/m-ref") $(cat "$work/m-srv")" >>"$work/memory"
}
: >"$work/memory"
[ "${LARGE:-1}" != 0 ] || memrows=0
[ "${LARGE:-1}" = 0 ] || memcheck sqlite "$rows"
[ "${LARGE:-1}" = 0 ] || memcheck pg "$rows"
if [ "$memrows" -gt 0 ] && [ "$memrows" != "$rows" ]; then
    echo "== memory at $memrows rows" >&2
    "$here/bench/gen_data.sh" sqlite "$work/t.db" "$memrows"
    "$here/bench/gen_data.sh" pg "$work/pg" "$pgport" "$memrows"
    memcheck sqlite "$memrows"
    memcheck pg "$memrows"
    "$here/bench/gen_data.sh" sqlite "$work/t.db" "$rows"
fi

# Small requests on SQLite.
: >"$work/small"
if [ "${SMALL:-1}" != 0 ]; then
    echo "== small requests" >&2
    fds_before=$(ls "/proc/$daemon/fd" | wc -l)
    cycle=$("$ref" --cycle 2000 "$cs_sqlite")
    echo "cycle $cycle" >>"$work/small"
    # A failed exchange is counted in its line (failures=), not fatal.
    "$qclient" seq "$port" 10000 "$work/one.xml" >>"$work/small" || true
    # Every overflow of the listen queue is a SYN the kernel dropped (sent
    # again by the client after a second) or a connection it reset.
    netstat_ext() { awk '/^TcpExt:/ { if (!h) { split($0, k); h = 1 } else split($0, v) }
        END { for (i in k) if (k[i] == "'"$1"'") print v[i] }' /proc/net/netstat; }
    # CPU time, in clock ticks, of a daemon and its reaped children.
    cpu_ticks() { awk '{ print $14 + $15 + $16 + $17 }' "/proc/$1/stat"; }
    # New connections, this server and the one of the commit before taking
    # turns, three rounds of 2,000 each: a change in the machine's load
    # falls on both alike. The kernel's counters are read around this
    # server's runs only.
    overflows=0
    drops=0
    ticks=0
    for round in 1 2 3; do
        o=$(netstat_ext ListenOverflows)
        d=$(netstat_ext ListenDrops)
        t=$(cpu_ticks "$daemon")
        "$qclient" conns "$port" 2000 16 "$work/one.xml" >>"$work/small" || true
        sleep 0.5  # the last children are reaped
        ticks=$((ticks + $(cpu_ticks "$daemon") - t))
        overflows=$((overflows + $(netstat_ext ListenOverflows) - o))
        drops=$((drops + $(netstat_ext ListenDrops) - d))
        if [ -n "$base_daemon" ]; then
            t=$(cpu_ticks "$base_daemon")
            "$qclient" conns "$bport" 2000 16 "$work/one.xml" | sed 's/^conns/baseconns/' >>"$work/small" || true
            sleep 0.5
            echo "basecpu $(($(cpu_ticks "$base_daemon") - t)) $(getconf CLK_TCK)" >>"$work/small"
        fi
    done
    echo "overflows $overflows drops $drops" >>"$work/small"
    echo "cpu $ticks $(getconf CLK_TCK)" >>"$work/small"
    # The same over TLS: every client resuming its previous session, then
    # every handshake a full one.
    "$qclient" --tls "$work/ca.pem" conns "$tport" 2000 16 "$work/one.xml" >>"$work/small" || true
    "$qclient" --tls-full "$work/ca.pem" conns "$tport" 2000 16 "$work/one.xml" >>"$work/small" || true
    "$qclient" persist "$port" 16 500 "$work/one.xml" >>"$work/small" || true
    # Kept database connections: SQLite on 16 client connections, and a
    # PostgreSQL request one after the other with and without them.
    "$qclient" persist "$kport" 16 1000 "$work/one.xml" | sed 's/^persist/keeppersist/' >>"$work/small" || true
    request "$work/pgone.xml" "Driver=PostgreSQL Unicode;Servername=127.0.0.1;Port=$pgport;Database=quillet;Username=quillet" "SELECT 1 AS v"
    "$qclient" seq "$port" 1000 "$work/pgone.xml" | sed 's/^seq/pgfresh/' >>"$work/small" || true
    "$qclient" seq "$kport" 1000 "$work/pgone.xml" | sed 's/^seq/pgkept/' >>"$work/small" || true
    # Ended children are reaped when the daemon is idle (at most 5 s).
    sleep 6
    fds_after=$(ls "/proc/$daemon/fd" | wc -l)
    zombies=$(ps -o stat= --ppid "$daemon" | grep -c Z || true)
    children=$(ps -o pid= --ppid "$daemon" | wc -l)
    echo "daemon fds_before=$fds_before fds_after=$fds_after children=$children zombies=$zombies" >>"$work/small"
fi

# Bulk inserts: PARAMROWS rows as one request of that many ParameterSets,
# against one request per row (literal values), each on a connection of
# its own and all on one kept connection. Every variant starts from an
# empty table and must leave PARAMROWS rows in it.
: >"$work/params"
paramrows=${PARAMROWS:-10000}
connrows=${PARAMCONNROWS:-$paramrows}
if [ "$paramrows" -gt 0 ]; then
    echo "== bulk insert, $paramrows rows" >&2
    now() { python3 -c 'import time; print(time.monotonic())'; }
    python3 - "$paramrows" "$work" <<'PY'
import sys
n, work = int(sys.argv[1]), sys.argv[2]
sets = "".join(f'<ParameterSet><Parameter Type="integer">{i}</Parameter>'
               f'<Parameter Type="varchar">row {i} &amp; more</Parameter></ParameterSet>'
               for i in range(n))
open(f"{work}/bulk.sets", "w").write(sets)
PY
    for db in sqlite pg; do
        eval cs=\$cs_$db
        request "$work/ins-create.xml" "$cs" "DROP TABLE IF EXISTS ins; CREATE TABLE ins (id INTEGER, v VARCHAR(40))"
        request "$work/ins-empty.xml" "$cs" "DELETE FROM ins"
        request "$work/ins-count.xml" "$cs" "SELECT count(*) AS n FROM ins" "<Format><Short/></Format>"
        request "$work/ins-one.xml" "$cs" "INSERT INTO ins VALUES (1, 'row 1 &amp; more')"
        printf '<Request><ConnectionString>%s</ConnectionString><Sql>INSERT INTO ins VALUES (?, ?)%s</Sql></Request>' \
            "$cs" "$(cat "$work/bulk.sets")" >"$work/ins-sets.xml"
        if [ "$db" = sqlite ]; then
            # One statement a request: the SQLite driver runs no text of two.
            request "$work/ins-create.xml" "$cs" "CREATE TABLE IF NOT EXISTS ins (id INTEGER, v VARCHAR(40))"
        fi
        "$server" pipe <"$work/ins-create.xml" >/dev/null
        for variant in sets conns seq; do
            "$server" pipe <"$work/ins-empty.xml" >/dev/null
            t0=$(now)
            # A failed exchange shows as a missing row, not as a stop.
            case $variant in
            sets) "$qclient" drain "$port" "$work/ins-sets.xml" 2>/dev/null || true ;;
            conns) "$qclient" conns "$port" "$connrows" 1 "$work/ins-one.xml" >"$work/ins.line" || true ;;
            seq) "$qclient" seq "$port" "$paramrows" "$work/ins-one.xml" >"$work/ins.line" || true ;;
            esac
            t1=$(now)
            rows_in=$("$server" pipe <"$work/ins-count.xml" | sed -n 's/^    <Column>\([0-9]*\)<.*/\1/p')
            failed=$(sed -n 's/.* failures=\([0-9]*\).*/\1/p' "$work/ins.line" 2>/dev/null || true)
            rm -f "$work/ins.line"
            want=$paramrows
            [ "$variant" = conns ] && want=$connrows
            echo "$db $variant $t0 $t1 ${rows_in:-0} ${failed:-0} $want" >>"$work/params"
        done
    done
fi

# Instructions per row of one fixed 10,000-row request: unlike times, the
# same from run to run and on a busy machine.
: >"$work/callgrind"
if [ "${CALLGRIND:-1}" != 0 ] && command -v valgrind >/dev/null; then
    echo "== callgrind, 10000 rows" >&2
    "$here/bench/gen_data.sh" sqlite "$work/c.db" 10000
    "$here/bench/gen_data.sh" pg "$work/pg" "$pgport" 10000
    cs_c_sqlite="Driver=SQLite3;Database=$work/c.db;StepAPI=1"
    cs_c_pg=$cs_pg
    count() {  # label, command...
        label=$1
        shift
        valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$@" >/dev/null 2>"$work/cg.log" <"$work/cg.in"
        ir=$(sed -n 's/^==[0-9]*== Collected : //p' "$work/cg.log")
        own=$(callgrind_annotate "$work/cg.out" 2>/dev/null | python3 -c '
import sys, re
own = 0
for line in sys.stdin:
    m = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(\S+):", line)
    if m and re.match(r"(.*/)?(server|bench)/[^/]+\.cpp$", m.group(2)):
        own += int(m.group(1).replace(",", ""))
print(own)')
        echo "$label $ir $own" >>"$work/callgrind"
    }
    for db in sqlite pg; do
        eval cs=\$cs_c_$db
        : >"$work/cg.in"
        count "$db-ref_fetch" "$ref" "$cs" "SELECT * FROM t"
        request "$work/cg.in" "$cs" "SELECT * FROM t"
        count "$db-long" "$server" pipe
        request "$work/cg.in" "$cs" "SELECT * FROM t" "<Format><Short/></Format>"
        count "$db-short" "$server" pipe
        request "$work/cg.in" "$cs" "SELECT * FROM t" "<Format><TableTags/></Format>"
        count "$db-tabletags" "$server" pipe
        request "$work/cg.in" "$cs" "SELECT * FROM t" '<Format><Long/><Data Type="cdata"/></Format>'
        count "$db-cdata" "$server" pipe
        request "$work/cg.in" "$cs" "SELECT * FROM t" '<Format><Long/><Binary Output="base64"/></Format>'
        count "$db-base64" "$server" pipe
    done
fi

python3 - "$work" "$rows" <<'PY'
import json, sys, os
work, rows = sys.argv[1], int(sys.argv[2])
def val(path):
    try:
        return open(path).read().strip()
    except OSError:
        return ""
targets = []
print(f"\nquilletserver benchmarks, {rows} rows, medians of hyperfine runs")
print("(CPU s: user + system of the measured process, median; for tcp and tls that is the client only)")
for db, label in (("sqlite", "SQLite (StepAPI=1)"), ("pg", "PostgreSQL (UseDeclareFetch=1;Fetch=1000)")):
    import glob, statistics
    merged = {}
    for path in sorted(glob.glob(os.path.join(work, db + ".*.json"))):
        for r in json.load(open(path))["results"]:
            m = merged.setdefault(r["command"], {"command": r["command"], "times": [], "cpu": []})
            m["times"] += r["times"]
            m["cpu"] += [u + s for u, s in zip(r.get("user_times") or [r["user"]] * len(r["times"]),
                                               r.get("system_times") or [r["system"]] * len(r["times"]))]
    data = list(merged.values())
    if not data:
        continue
    for r in data:
        r["median"] = statistics.median(r["times"])
        r["user"], r["system"] = statistics.median(r["cpu"]), 0.0
    ref = next(r for r in data if r["command"] == "ref_fetch")["median"]
    med = {r["command"]: r["median"] for r in data}
    targets.append((f"{db}: pipe <= 1.15 x ref_fetch", med["pipe long"] <= 1.15 * ref))
    block = med["ref_fetch block"]
    targets.append((f"{db}: pipe <= 1.05 x the block-cursor loop ({med['pipe long'] / block:.2f})",
                    med["pipe long"] <= 1.05 * block))
    targets.append((f"{db}: tcp <= 1.25 x ref_fetch", med["tcp long"] <= 1.25 * ref))
    targets.append((f"{db}: tls <= 1.15 x tcp ({med['tls long'] / med['tcp long']:.2f})",
                    med["tls long"] <= 1.15 * med["tcp long"]))
    for v in ("short", "tabletags", "cdata"):
        # "No slower" within the run-to-run noise of 3 %.
        targets.append((f"{db}: {v} no slower than long", med["pipe " + v] <= 1.03 * med["pipe long"]))
    if db == "sqlite":
        targets.append(("sqlite: pipe >= 350k rows/s", rows / med["pipe long"] >= 350000))
    print(f"\n{label}")
    refcpu = next(r["user"] + r["system"] for r in data if r["command"] == "ref_fetch")
    print(f"{'command':<18}{'median s':>10}{'rows/s':>12}{'MB/s':>9}{'peak RSS KiB':>14}{'x ref_fetch':>13}"
          f"{'CPU s':>8}{'CPU x ref':>11}")
    for r in data:
        name, med = r["command"], r["median"]
        size = int(val(os.path.join(work, f"{db}-{name}.bytes")) or 0)
        if size == 0:  # the TCP and TLS clients throw the answer away
            size = int(val(os.path.join(work, f"{db}-pipe long.bytes")) or 0)
        rss = val(os.path.join(work, f"{db}-{name}.rss")).splitlines()
        rss = rss[-1] if rss else "?"
        cpu = r["user"] + r["system"]
        print(f"{name:<18}{med:>10.3f}{rows / med:>12,.0f}{size / med / 1e6:>9.1f}{rss:>14}{med / ref:>13.2f}"
              f"{cpu:>8.3f}{cpu / refcpu:>11.2f}")
print("\nPeak RSS, KiB (pipe long against ref_fetch)")
print(f"{'db':<8}{'rows':>9}{'ref_fetch':>11}{'server':>9}{'diff':>8}")
for line in val(os.path.join(work, "memory")).splitlines():
    db, n, r, s = line.split()
    print(f"{db:<8}{int(n):>9}{int(r):>11}{int(s):>9}{int(s) - int(r):>8}")
    targets.append((f"{db} {n} rows: server RSS <= ref_fetch + 2 MiB", int(s) - int(r) <= 2048))
small = val(os.path.join(work, "small")).splitlines()
if small:
    print("\nSmall requests on SQLite (SELECT 1 AS v)")
    for line in small:
        print("  " + line)
    cyc = next((float(l.split()[1]) for l in small if l.startswith("cycle ")), None)
    seq = next((l for l in small if l.startswith("seq ")), None)
    if cyc is not None and seq:
        f = dict(kv.split("=") for kv in seq.split()[1:])
        per = float(f["seconds"]) * 1000 / float(f["count"])
        p50 = float(f["p50_ms"])
        print(f"  per request over one connection: mean {per:.3f} ms, median {p50:.3f} ms; "
              f"driver connect+SELECT 1 cycle {cyc:.3f} ms")
        print(f"  server overhead over the driver's cycle: {p50 - cyc:.3f} ms (median), {per - cyc:.3f} ms (mean)")
        targets.append((f"request over one connection <= cycle + 0.15 ms (median, {p50 - cyc:.3f})",
                        p50 <= cyc + 0.15))
    def fields(line):
        return dict(kv.split("=") for kv in line.split()[1:])
    def lines(label):
        return [fields(l) for l in small if l.startswith(label + " ")]
    def median(values):
        return statistics.median(values) if values else 0.0
    import statistics
    mine, base = lines("conns"), lines("baseconns")
    if mine:
        rate = median([float(f["rate"]) for f in mine])
        failures = sum(int(f["failures"]) for f in mine)
        print(f"  new connections/s, 16 clients, median of {len(mine)} rounds: {rate:.0f}"
              f" (p50 {median([float(f['p50_ms']) for f in mine]):.2f} ms,"
              f" p99 {median([float(f['p99_ms']) for f in mine]):.2f} ms); failed {failures}")
        targets.append((f">= 2000 new connections/s ({rate:.0f})", rate >= 2000))
        cpu = next((l.split()[1:] for l in small if l.startswith("cpu ")), None)
        if cpu:
            per = int(cpu[0]) * 1000 / int(cpu[1]) / (2000 * len(mine))
            print(f"  CPU per connection, server and child: {per:.2f} ms")
        if base:
            brate = median([float(f["rate"]) for f in base])
            print(f"  the commit before ({val(os.path.join(work, 'base.id')).split()[-1]}):"
                  f" {brate:.0f}/s (p50 {median([float(f['p50_ms']) for f in base]):.2f} ms,"
                  f" p99 {median([float(f['p99_ms']) for f in base]):.2f} ms)")
            bt = [l.split()[1:] for l in small if l.startswith("basecpu ")]
            if bt:
                bper = sum(int(t[0]) for t in bt) * 1000 / int(bt[0][1]) / (2000 * len(bt))
                print(f"  its CPU per connection: {bper:.2f} ms")
            targets.append((f">= 3 x the commit before ({rate / max(brate, 1e-9):.2f} x)",
                            rate >= 3 * brate))
        ov = next((l.split() for l in small if l.startswith("overflows ")), None)
        if ov:
            print(f"  listen queue overflows / drops during them: {ov[1]} / {ov[3]}")
            targets.append(("no connection dropped or reset by the kernel",
                            ov[1] == "0" and ov[3] == "0" and failures == 0))
        for tls, how in (("tlsconns", "resuming sessions"), ("tlsfullconns", "full handshakes")):
            line = next((l for l in small if l.startswith(tls + " ")), None)
            if line:
                t = fields(line)
                extra = f", {t['resumed']} resumed" if "resumed" in t else ""
                print(f"  new TLS connections/s, {how}: {float(t['rate']):.0f}{extra}"
                      f" (plain {rate:.0f}); failed {t['failures']}")
    kp = lines("keeppersist")
    if kp:
        f = kp[0]
        print(f"  16 kept client connections, KeepConnections Yes: {float(f['rate']):.0f} requests/s"
              f" (p50 {f['p50_ms']} ms, p99 {f['p99_ms']} ms)")
        targets.append((f">= 8000 requests/s on 16 kept connections ({float(f['rate']):.0f})",
                        float(f["rate"]) >= 8000))
    pf, pk = lines("pgfresh"), lines("pgkept")
    if pf and pk:
        a, b = pf[0], pk[0]
        ratio = float(a["p50_ms"]) / max(float(b["p50_ms"]), 1e-9)
        print(f"  PostgreSQL SELECT 1 on one client connection: KeepConnections No p50 {a['p50_ms']} ms"
              f" p99 {a['p99_ms']} ms; Yes p50 {b['p50_ms']} ms p99 {b['p99_ms']} ms ({ratio:.1f} x)")
        targets.append((f"PostgreSQL kept >= 5 x faster, median ({ratio:.1f} x)", ratio >= 5))
    d = next((l for l in small if l.startswith("daemon ")), None)
    if d:
        f = dict(kv.split("=") for kv in d.split()[1:])
        targets.append(("no zombie, no descriptor growth",
                        f["zombies"] == "0" and f["fds_before"] == f["fds_after"]))
cg = val(os.path.join(work, "callgrind")).splitlines()
if cg:
    print("\nCallgrind, one 10000-row request (instructions per row; own = server/ or bench/ code)")
    ir_of = {}
    for line in cg:
        what, ir, own = line.split()
        ir = int(ir.replace(",", ""))
        ir_of[what] = ir
        base = ir_of.get(what.split("-")[0] + "-ref_fetch")
        ratio = f"{ir / base:.3f} x ref_fetch" if base else ""
        print(f"  {what:<18} {ir / 10000:>10,.0f} in all {int(own) / 10000:>8,.0f} own   {ratio}")
    for db in ("sqlite", "pg"):
        if db + "-long" in ir_of and db + "-ref_fetch" in ir_of:
            targets.append((f"{db}: instructions <= 1.15 x ref_fetch",
                            ir_of[db + "-long"] <= 1.15 * ir_of[db + "-ref_fetch"]))
    for db in ("sqlite", "pg"):
        for v in ("short", "tabletags", "cdata"):
            if f"{db}-{v}" in ir_of:
                targets.append((f"{db}: {v} instructions no more than long (+1 %)",
                                ir_of[f"{db}-{v}"] <= 1.01 * ir_of[db + "-long"]))
bulk = val(os.path.join(work, "params")).splitlines()
if bulk:
    print("\nBulk insert (one request of parameter sets against one request per row)")
    print(f"{'db':<8}{'variant':<34}{'rows':>8}{'seconds':>10}{'rows/s':>10}{'x sets':>9}"
          "  (time per row against the parameter sets')")
    names = {"sets": "one request, parameter sets", "conns": "a request per row, new connections",
             "seq": "a request per row, one connection"}
    took = {}
    for line in bulk:
        db, variant, t0, t1, n, failed, want = line.split()
        took[(db, variant)] = (float(t1) - float(t0), int(n), int(failed), int(want))
    # Ratios per row: the variant on new connections may insert fewer rows.
    per_row = {k: v[0] / max(v[3], 1) for k, v in took.items()}
    for (db, variant), (secs, n, failed, want) in took.items():
        ratio = per_row[(db, variant)] / per_row.get((db, "sets"), per_row[(db, variant)])
        note = f"  ({failed} requests failed)" if failed else ""
        print(f"{db:<8}{names[variant]:<34}{n:>8}{secs:>10.3f}{n / secs:>10,.0f}{ratio:>9.1f}{note}")
    for db in ("sqlite", "pg"):
        if (db, "sets") in took and (db, "seq") in took:
            ratio = per_row[(db, "seq")] / per_row[(db, "sets")]
            targets.append((f"{db}: parameter sets >= 10 x a request per row on one connection "
                            f"({ratio:.1f})", ratio >= 10))
            targets.append((f"{db}: every variant inserted every row",
                            all(v[1] == v[3] for k, v in took.items() if k[0] == db)))
print("\nTargets")
for name, good in targets:
    print(f"  {'holds' if good else 'MISSED':<7} {name}")
PY
