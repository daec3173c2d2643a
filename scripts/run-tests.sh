#!/usr/bin/env bash
# Runs every test suite and ends with one summary line:
#   "tests: N passed, N failed"
# Exits non-zero when any test failed or any suite did not run to its end.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-env.sh

passed=0
failed=0
broken=()
build=${GAUGE_BUILD:-build}
log_dir=$build/test-logs
mkdir -p "$log_dir"

# run NAME COMMAND...: a GoogleTest program; its counts join the summary.
run() {
    local name=$1; shift
    local log="$log_dir/$name.log"
    echo "== $name"
    local start=$SECONDS
    "$@" 2>&1 | tee "$log" | grep -E '^\[  (FAILED|PASSED) |^\[==========\]|Failure|error' | grep -v '^\[==========\] Running' || true
    local rc=${PIPESTATUS[0]}
    local p f
    p=$(grep -oE '^\[  PASSED  \] [0-9]+ test' "$log" | grep -oE '[0-9]+' | tail -1)
    f=$(grep -oE '^\[  FAILED  \] [0-9]+ test' "$log" | grep -oE '[0-9]+' | tail -1)
    p=${p:-0}; f=${f:-0}
    passed=$((passed + p)); failed=$((failed + f))
    if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then broken+=("$name (exit $rc)"); fi
    if [ "$p" -eq 0 ] && [ "$f" -eq 0 ]; then broken+=("$name (ran no test)"); fi
    echo "   $name: $p passed, $f failed in $((SECONDS - start)) s"
}

export GAUGE_DIST=dist
run native "$build/native/tests/native/native_tests"
run wine wine "$build/win32/bin/wine_tests.exe"
for extra in scripts/tests.d/*.sh; do
    [ -e "$extra" ] || continue
    source "$extra"
done

echo
if [ ${#broken[@]} -gt 0 ]; then
    for b in "${broken[@]}"; do echo "suite did not finish: $b"; done
fi
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ ${#broken[@]} -eq 0 ]
