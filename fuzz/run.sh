#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each for
# SECONDS (default 30), one after the other, from seed corpora made of the
# examples and fuzz/seeds. Exits non-zero when a build fails or a target
# finds a crash, leak or time-out (its reproducer is left in build/fuzz/crashes).
#   fuzz/run.sh [SECONDS] [TARGET...]
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_request fuzz_config fuzz_control fuzz_acl fuzz_conv fuzz_connstr fuzz_http)
build=$root/build/fuzz

CC=${CC:-clang-14} CXX=${CXX:-clang++-14} cmake -S . -B "$build" -DQUILLET_FUZZ=ON \
    -DQUILLET_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLET_INSTALL_DIR="$build/install" >/dev/null || exit 1
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}" >/dev/null || exit 1
mkdir -p "$build/install" "$build/crashes"

# Seeds: the example requests and configuration, each request target's
# input preceded by the byte the target takes for its read pattern.
seed() {
    local t=$1 dir=$build/corpus/$1
    mkdir -p "$dir"
    [ -d "fuzz/seeds/${t#fuzz_}" ] && cp -n fuzz/seeds/"${t#fuzz_}"/* "$dir"/
    case $t in
    fuzz_request)
        for f in examples/*.xml examples/pg/*.xml; do
            { printf 'A'; cat "$f"; } >"$dir/$(basename "$f")"
        done ;;
    fuzz_config | fuzz_control) cp -n examples/config.xml "$dir"/ ;;
    esac
}

status=0
for t in "${targets[@]}"; do
    seed "$t"
    log=$build/$t.log
    echo "==== $t: ${seconds}s"
    (cd "$build/crashes" && "$build/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
        -dict="$root/fuzz/quillet.dict" -rss_limit_mb=2048 -timeout=10 \
        -artifact_prefix="$build/crashes/$t-" "$build/corpus/$t") >"$log" 2>&1
    r=$?
    grep -E '^stat::(number_of_executed_units|peak_rss_mb|new_units_added)|cov: ' "$log" | tail -n 4
    if [ $r -ne 0 ]; then
        echo "$t FAILED (status $r), see $log"
        grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -n 5
        status=1
    fi
done
exit $status
