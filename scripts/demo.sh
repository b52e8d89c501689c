#!/usr/bin/env bash
# Builds the release server, creates the SQLite demo database and answers an
# example request from it (or the example requests named as arguments).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target quilletserver quilletclient

server=$(pwd)/build/release/quilletserver
install_dir=$(sed -n 's/^QUILLET_INSTALL_DIR:[A-Z]*=//p' build/release/CMakeCache.txt)

# The server reads its settings before anything else: give it the shipped
# ones (again, when an older demo left a configuration without the demo
# data source).
mkdir -p "$install_dir"
if ! grep -qs '<DataSource Name="demo"' "$install_dir/config.xml"; then
    cp examples/config.xml "$install_dir/config.xml"
    echo "demo: wrote default $install_dir/config.xml"
fi

step() { printf '\n==== %s\n' "$*"; }

step "quilletserver version"
"$server" version

# The demo database: a small shop with customers, products and orders, made
# fresh from examples/demo.sql. The example requests name it demo.db,
# relative to the directory the server runs in.
demo_dir=build/release/demo
rm -rf "$demo_dir" && mkdir -p "$demo_dir"
sqlite3 "$demo_dir/demo.db" <examples/demo.sql

requests=("$@")
[ ${#requests[@]} -gt 0 ] || requests=(examples/select-long.xml)
for request in "${requests[@]}"; do
    step "quilletserver pipe < $request"
    status=0
    (cd "$demo_dir" && "$server" pipe) <"$request" || status=$?
    echo "(exit status $status)"
done

echo
echo "More requests in examples/ (one per request kind and format), for example:"
echo "    scripts/demo.sh examples/select-short-cdata.xml examples/binary-base64.xml"
