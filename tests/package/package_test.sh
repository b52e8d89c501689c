#!/usr/bin/env bash
# The Debian package of the package preset as an administrator meets it:
#   1. lintian --pedantic -I reports nothing;
#   2. its dependencies, files and manual page, and systemd-analyze security
#      rating the unit 2.0 or lower with every item we promise on;
#   3. in a clean Debian 12 root (debootstrap, cached under
#      $QUILLET_TEST_CACHE): apt installs it, the service user checks the
#      configuration and answers a pipe request, a reinstall keeps an edited
#      config.xml, and purge leaves nothing behind. Where root, chroot or
#      debootstrap are missing, it says why and exits 77 (ctest: skipped).
#   tests/package/package_test.sh SOURCE_DIR
set -uo pipefail
src=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
cache=${QUILLET_TEST_CACHE:-/var/cache/quilletserver-tests}
mirror=http://deb.debian.org/debian
suite=bookworm
# What the cached root holds besides minbase: the package's dependencies and
# what the pipe request needs (the SQLite ODBC driver and odbcinst).
include=adduser,init-system-helpers,libexpat1,libodbc2,libssl3,libsystemd0,libstdc++6,unixodbc,libsqliteodbc
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
skip() { echo "SKIPPED: $*"; [ "$failures" -eq 0 ] && exit 77; exit 1; }

# ---- the package
build=$src/build/package
work=$(mktemp -d /var/tmp/quillet-package.XXXXXX)
root=$work/root
cleanup() {
    mountpoint -q "$root/proc" 2>/dev/null && umount "$root/proc"
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
start=$SECONDS
(cd "$src" && cmake --preset package >/dev/null && cmake --build build/package -j2 >/dev/null) ||
    { echo "FAIL: the package preset does not build"; exit 1; }
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || { echo "FAIL: cpack"; exit 1; }
deb=$(ls "$work"/deb/*.deb)
echo "built $(basename "$deb") in $((SECONDS - start)) s"

# ---- 1. lintian
tags=$(lintian --pedantic -I "$deb" 2>/dev/null)
if [ -z "$tags" ]; then pass "lintian --pedantic -I: no tags"; else fail "lintian: $tags"; fi

# ---- 2. what the package holds, and the unit's exposure
dpkg-deb -x "$deb" "$work/unpacked"
deps=$(dpkg-deb --field "$deb" Depends)
for dep in adduser libexpat1 libodbc2 libssl3; do
    grep -qw "$dep" <<<"$deps" && pass "depends on $dep" || fail "Depends lacks $dep: $deps"
done
for f in usr/sbin/quilletserver usr/bin/quilletclient etc/logrotate.d/quilletserver \
    etc/xinetd.d/quilletserver usr/share/doc/quilletserver/copyright usr/share/quilletserver/config.xml; do
    [ -f "$work/unpacked/$f" ] && pass "holds /$f" || fail "lacks /$f"
done
text=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$work/unpacked/usr/share/man/man8/quilletserver.8.gz" \
    2>"$work/man.err")
[ ! -s "$work/man.err" ] && grep -q 'quilletserver - answer XML request documents' <<<"$text" &&
    pass "the manual page renders without warnings" || fail "man: $(cat "$work/man.err")"
unit=$work/unpacked/lib/systemd/system/quilletserver.service
report=$(systemd-analyze security --offline=yes --no-pager "$unit" 2>&1)
score=$(sed -n 's/.*Overall exposure level for quilletserver.service: \([0-9.]*\).*/\1/p' <<<"$report")
if [ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }'; then
    pass "systemd-analyze security: $score"
else
    fail "systemd-analyze security: '${score:-no score}' above 2.0: $report"
fi
for item in 'CapabilityBoundingSet=~CAP_SYS_ADMIN' 'SystemCallFilter=~@privileged' 'UMask=' \
    'ProtectProc=' 'RestrictAddressFamilies=~AF_PACKET' 'ProtectSystem=' 'PrivateDevices='; do
    grep -qF "✓ $item" <<<"$report" && pass "unit: $item" || fail "unit: $item is not on"
done
for line in 'Type=notify' 'ExecReload=/bin/kill -HUP $MAINPID' 'SystemCallFilter=@system-service' \
    'CapabilityBoundingSet=' 'UMask=0077' 'ProtectProc=invisible' \
    'RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX' \
    'ReadWritePaths=/etc/quilletserver /var/log/quilletserver'; do
    grep -qxF "$line" "$unit" && pass "unit: $line" || fail "unit lacks: $line"
done

# ---- 3. a clean Debian 12 root
[ "$(id -u)" -eq 0 ] || skip "debootstrap needs root (the package was checked with lintian only)"
command -v debootstrap >/dev/null || skip "debootstrap is not installed (scripts/setup.sh installs it)"
chroot / true 2>/dev/null || skip "chroot is not permitted here"
mkdir -p "$cache" || skip "cannot create the cache $cache"
key=$(printf '%s\n' "$suite" "$mirror" "$include" | sha256sum | cut -c1-16)
tarball=$cache/$suite-minbase-$key.tar
start=$SECONDS
(
    flock 9
    if [ ! -s "$tarball" ]; then
        echo "making the $suite root (once; cached as $tarball)"
        made=$work/made
        debootstrap --variant=minbase --include="$include" "$suite" "$made" "$mirror" \
            >"$work/debootstrap.log" 2>&1 || { tail -20 "$work/debootstrap.log"; exit 3; }
        chroot "$made" apt-get update >/dev/null 2>&1 || exit 3  # lists for apt's resolver
        chroot "$made" apt-get clean
        tar -C "$made" -cf "$tarball.new" . && mv "$tarball.new" "$tarball"
        rm -rf --one-file-system "$made"
    fi
) 9>"$cache/lock"
[ -s "$tarball" ] || skip "debootstrap could not make a $suite root from $mirror"
mkdir "$root" && tar -C "$root" -xf "$tarball" || { echo "FAIL: unpacking $tarball"; exit 1; }
mount -t proc proc "$root/proc" || skip "cannot mount /proc in the root"
echo "root ready in $((SECONDS - start)) s"
in_root() { chroot "$root" "$@"; }
snapshot() {  # every path outside the package managers' records and /run
    # (adduser's lock); the backups adduser makes of the user databases
    # belong to the user, which stays.
    in_root find / -xdev \( -path /proc -o -path /run -o -path /var/lib/dpkg -o -path /var/lib/apt \
        -o -path /var/cache -o -path /var/log/apt -o -path /tmp -o -path /var/tmp \
        -o -path /var/lib/systemd/deb-systemd-helper-enabled \) -prune -o -print |
        grep -vxE '/etc/(passwd|group|shadow|gshadow)-' | sort
}
snapshot >"$work/before"

cp "$deb" "$root/tmp/quilletserver.deb"
if in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    /tmp/quilletserver.deb >"$work/apt.log" 2>&1; then
    pass "apt installs the package and its dependencies"
else
    fail "apt install: $(tail -5 "$work/apt.log")"
fi
config=/etc/quilletserver/config.xml
[ "$(in_root stat -c '%U:%G %a' $config 2>/dev/null)" = "quillet:quillet 640" ] &&
    cmp -s "$root$config" "$root/usr/share/quilletserver/config.xml" &&
    pass "postinst installed the default config.xml for the service user" ||
    fail "config.xml: $(in_root stat -c '%U:%G %a' $config 2>&1)"
grep -qxF "$config" "$root/var/lib/dpkg/info/quilletserver.conffiles" 2>/dev/null &&
    fail "config.xml is a conffile"
out=$(in_root runuser -u quillet -- quilletserver --check-config 2>&1)
[ "$out" = "configuration OK" ] && pass "--check-config as quillet" || fail "--check-config: $out"
out=$(in_root runuser -u nobody -- quilletserver --version 2>&1)
grep -q "^quilletserver version 1.1.0$" <<<"$out" && pass "--version for anyone" ||
    fail "--version as nobody: $out"
request='<Request><DataSource>demo</DataSource><Sql>SELECT count(*) AS n FROM customers</Sql></Request>'
out=$(printf '%s' "$request" | in_root runuser -u quillet -- quilletserver pipe 2>&1)
grep -q 'State="00000"' <<<"$out" && pass "a pipe request as quillet" || fail "pipe: $out"

# An upgrade (here the same version again) keeps what the administrator wrote.
printf '%s\n' '<Configuration><Port>9999</Port></Configuration>' >"$root$config"
in_root dpkg -i /tmp/quilletserver.deb >"$work/dpkg.log" 2>&1 </dev/null ||
    fail "reinstall: $(tail -5 "$work/dpkg.log")"
grep -q '<Port>9999</Port>' "$root$config" && pass "a reinstall keeps config.xml" ||
    fail "a reinstall replaced config.xml"

# Purge: nothing of the package is left (the user quillet stays, as Debian
# leaves system users).
in_root runuser -u quillet -- sh -c 'echo trace > /var/log/quilletserver/tmquillet.log'
rm -f "$root/tmp/quilletserver.deb"
in_root dpkg --purge quilletserver >"$work/purge.log" 2>&1 || fail "purge: $(tail -5 "$work/purge.log")"
snapshot >"$work/after"
left=$(comm -13 "$work/before" "$work/after")
[ -z "$left" ] && pass "purge leaves nothing behind" || fail "left after purge: $left"

echo "package test: $failures failure(s)"
[ "$failures" -eq 0 ]
