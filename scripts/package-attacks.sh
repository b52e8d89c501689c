#!/usr/bin/env bash
# Installs the Debian package on this machine, starts the server the way
# its systemd unit does (user quillet, the installed config.xml untouched),
# runs the attacks a hostile client or local user would try, and checks
# that none of them changed anything on the machine. Then purges the
# package again. Needs root; meant for a throw-away machine or container.
#   scripts/package-attacks.sh
set -uo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "package-attacks: run as root" >&2; exit 1; }

root=$PWD
build=$root/build/package
work=$(mktemp -d)
chmod 755 "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLET_TESTS=OFF >/dev/null || exit 1
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null || exit 1
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || exit 1
deb=$(ls "$work"/deb/*.deb)
dpkg -i "$deb" >/dev/null || exit 1

sbin=/usr/local/sbin/quilletserver
client=/usr/local/bin/quilletclient
install_dir=$("$sbin" version | sed -n 's/^Configuration: \(.*\)\/config.xml$/\1/p')
[ -n "$install_dir" ] || install_dir=/usr/local/tollmere/quillet/server
config_sum=$(sha256sum "$install_dir/config.xml")

# What systemd's RuntimeDirectory= would make, then the service itself.
mkdir -p /run/quilletserver && chown quillet:quillet /run/quilletserver &&
    chmod 0750 /run/quilletserver
stamp=$work/stamp
touch "$stamp"
sleep 1
(cd "$install_dir" && exec runuser -u quillet -- "$sbin" standalone) 2>"$work/server.err" &
server=$!
for _ in $(seq 50); do
    "$client" 127.0.0.1:8895 /usr/local/share/doc/quilletserver/examples/select-long.xml \
        >/dev/null 2>&1 && break
    sleep 0.2
done

# The attacker's files: a library whose constructor leaves a marker.
marker=$work/marker-loaded
printf '#include <stdio.h>\n__attribute__((constructor)) static void m(void)
{ FILE *f = fopen("%s", "a"); if (f) { fputs("loaded\\n", f); fclose(f); } }\n' "$marker" \
    >"$work/evil.c"
gcc -shared -fPIC -o "$work/evil.so" "$work/evil.c" || exit 1
chmod 755 "$work/evil.so"
hex=$(od -An -v -tx1 "$work/evil.so" | tr -d ' \n')
printf '[evil]\nDriver=%s\n' "$work/evil.so" >"$work/odbc.ini"

ask() { printf '%s' "$1" | "$client" 127.0.0.1:8895 - 2>/dev/null; }
sql() { ask "<Request><DataSource>demo</DataSource><Sql>$1</Sql></Request>"; }
conn() { ask "<Request><ConnectionString>$1</ConnectionString><Sql>SELECT 1</Sql></Request>"; }
expect() {  # expect NAME TEXT ANSWER: the answer holds TEXT
    if grep -qF -- "$2" <<<"$3"; then pass "$1"; else fail "$1: $(tr '\n' ' ' <<<"$3" | tail -c 300)"; fi
}

expect "a request names its data source" 'State="00000"' "$(sql 'SELECT count(*) FROM customers')"
expect "blob_export writes no library" "no such function" \
    "$(sql "SELECT blob_export(x'$hex', '/tmp/x.so')")"
expect "a Driver path is refused" "Connection strings are not accepted" "$(conn "Driver=/tmp/x.so")"
expect "load_extension loads nothing" "not authorized" \
    "$(sql "SELECT load_extension('$work/evil.so')")"
expect "blob_import reads no file" "no such function" "$(sql "SELECT blob_import('/etc/passwd')")"
expect "blob_import cannot read the configuration" "no such function" \
    "$(sql "SELECT blob_import('$install_dir/config.xml')")"
expect "ATTACH opens no other file" "not authorized" "$(sql "ATTACH '$work/new.db' AS x")"
expect "a client connection string is refused" "Connection strings are not accepted" \
    "$(conn "Driver=SQLite3;Database=$work/made.db;LoadExt=$work/evil.so")"
expect "ODBCINI in the environment is refused" "Environment variable ODBCINI is not allowed" \
    "$(ask "<Request><Environment>ODBCINI=$work/odbc.ini</Environment><DataSource>demo</DataSource><Sql>SELECT 1</Sql></Request>")"
expect "an unknown data source is refused" 'Unknown data source "evil"' \
    "$(ask '<Request><DataSource>evil</DataSource><Sql>SELECT 1</Sql></Request>')"

# The network sees no control port and no request port beyond loopback.
if "$client" --control 127.0.0.1:8896 --stats >/dev/null 2>&1; then
    fail "the control port answers"
else
    pass "no control port"
fi
addr=$(hostname -I 2>/dev/null | awk '{print $1}')
if [ -n "$addr" ] && "$client" "$addr:8895" /usr/local/share/doc/quilletserver/examples/select-long.xml \
    >/dev/null 2>&1; then
    fail "the request port answers on $addr"
else
    pass "requests on loopback only"
fi
# A local user outside the service group cannot reach the control socket.
if runuser -u nobody -- "$client" --control /run/quilletserver/control.sock --stats \
    >/dev/null 2>&1; then
    fail "nobody reaches the control socket"
else
    pass "the control socket is the administrators'"
fi

# Nothing anywhere changed, apart from what the run itself made.
[ -e "$marker" ] && fail "a hostile library was loaded"
for f in /tmp/x.so "$work/new.db" "$work/made.db"; do [ -e "$f" ] && fail "$f was created"; done
changed=$(find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path "$work" \
    -o -path "$root" -o -path /var/lib/dpkg -o -path /var/log \
    -o -path /var/cache -o -path /run \) -prune -o -newer "$stamp" -print 2>/dev/null |
    grep -v -e '^/tmp$' -e "^$work" || true)
if [ -n "$changed" ]; then fail "files changed: $changed"; else pass "no file changed"; fi
[ "$(sha256sum "$install_dir/config.xml")" = "$config_sum" ] && pass "config.xml untouched" ||
    fail "config.xml changed"
# An administrator does reach the control socket (the server saves its
# settings after every control request, so this comes last).
expect "root reaches the control socket" "UpTime" \
    "$("$client" --control /run/quilletserver/control.sock --stats 2>&1)"
kill -TERM "$server"
wait "$server"
[ -e /run/quilletserver/control.sock ] && fail "the control socket was left behind"

dpkg --purge quilletserver >/dev/null
deluser --quiet quillet >/dev/null 2>&1 || true
rm -rf /run/quilletserver "$install_dir" "$work"
echo "package-attacks: $failures failure(s)"
[ "$failures" -eq 0 ]
