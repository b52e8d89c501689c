#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Safe to run again: apt is left alone when everything is already installed.
set -euo pipefail

# ---- Packages (extend this list) -------------------------------------------
PACKAGES=(
    g++ cmake make pkg-config   # tool chain
    libexpat1-dev               # XML parser
    unixodbc-dev                # ODBC driver manager
    libssl-dev openssl          # TLS on the ports; the tests make certificates
    libgtest-dev                # unit and end-to-end tests
    libsqliteodbc sqlite3       # SQLite ODBC driver (demo, tests) and its shell
    odbc-postgresql postgresql  # PostgreSQL ODBC driver and a server for the tests
    python3                     # free-port finder of the test database script
    time                        # peak memory in the benchmarks
    openbsd-inetd               # a real inetd for the inetd-mode test
    xsltproc man-db             # style-sheet example and man page checks
    libxml2-utils               # xmllint: the tests check that answers parse
    dpkg-dev file               # the Debian package (cpack -G DEB)
    clang-14 libclang-rt-14-dev # libFuzzer targets (fuzz/)
    hyperfine valgrind          # benchmarks (bench/run.sh) and leak checks
    systemd libsystemd-dev      # systemd-analyze: checks of the unit; sd_notify
    lintian                     # the package checks (lintian --pedantic)
    debootstrap                 # a clean Debian root for the package test
    strace                      # the system calls the unit's filter must allow
    curl                        # HTTP examples of the README and docs
    prometheus                  # promtool: the metrics' format is checked
    haproxy                     # two servers behind a load balancer (docs/scaling.md)
    chromium                    # a real browser renders a report
)
# ---------------------------------------------------------------------------

missing=()
for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$pkg")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all ${#PACKAGES[@]} packages already installed"
    exit 0
fi

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "setup: installing ${missing[*]}"
"${sudo[@]}" apt-get update
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
