#!/usr/bin/env bash
# Builds and runs the whole suite twice: a normal release build and one with
# AddressSanitizer and UndefinedBehaviorSanitizer, then a 30 s smoke run of
# each fuzz target. Exits non-zero when any configure, build, test or fuzz
# step fails.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh || exit 1

PRESETS=(release asan-ubsan)
jobs=$(nproc 2>/dev/null || echo 2)
summary=()
passed=0
failed=0

for preset in "${PRESETS[@]}"; do
    echo "==== $preset: configure, build, test"
    start=$SECONDS
    log=$(mktemp)
    if cmake --preset "$preset" && cmake --build "build/$preset" -j "$jobs"; then
        ctest --test-dir "build/$preset" --output-on-failure 2>&1 | tee "$log"
        status=${PIPESTATUS[0]}
        # "100% tests passed, 0 tests failed out of 2"
        line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
        bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
        if [ -z "$line" ]; then
            total=1 bad=1
        elif [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then
            bad=1
        fi
        passed=$((passed + total - bad))
        failed=$((failed + bad))
        result=$([ "$status" -eq 0 ] && echo ok || echo FAILED)
    else
        failed=$((failed + 1))
        result="FAILED (configure or build)"
    fi
    rm -f "$log"
    summary+=("$(printf '%-11s %-28s %4ds' "$preset" "$result" $((SECONDS - start)))")
done

# Third stage: a short run of every fuzz target (clang, build/fuzz), so that
# they keep building and the seeds stay clean.
echo "==== fuzz: build, 30 s per target"
start=$SECONDS
if fuzz/run.sh 30; then
    passed=$((passed + 1))
    result=ok
else
    failed=$((failed + 1))
    result=FAILED
fi
summary+=("$(printf '%-11s %-28s %4ds' fuzz "$result" $((SECONDS - start)))")

echo
echo "==== summary"
printf '%s\n' "${summary[@]}"
echo "ctest: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
