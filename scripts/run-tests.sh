#!/usr/bin/env bash
# Runs every test suite with ctest (the win32 build registers the native,
# Wine and host suites) and ends with one line, "tests: N passed, N failed",
# counting test cases from each suite's JUnit XML. Exits non-zero when a test
# failed or a suite did not run to its end.
set -uo pipefail
cd "$(dirname "$0")/.."
results=${GAUGE_BUILD:-build}/win32/test-results
rm -rf "$results"
ctest --test-dir "${GAUGE_BUILD:-build}/win32" --output-on-failure
/usr/bin/python3 - "$results" $? <<'PY'
import os, sys, xml.etree.ElementTree as ET
results, rc = sys.argv[1], int(sys.argv[2])
passed = failed = 0
unfinished = []
for suite in ("native", "wine", "host"):
    path = os.path.join(results, suite + ".xml")
    if not os.path.exists(path):
        unfinished.append(suite)
        continue
    for case in ET.parse(path).iter("testcase"):
        kids = {child.tag for child in case}
        if kids & {"failure", "error"}:
            failed += 1
        elif "skipped" not in kids and case.get("result") != "skipped" and case.get("status") != "notrun":
            passed += 1
for suite in unfinished:
    print("suite did not finish: %s" % suite)
if rc and not failed and not unfinished:
    print("ctest failed (exit %d) with no failed test case" % rc)
print("tests: %d passed, %d failed" % (passed, failed))
sys.exit(1 if rc or failed or unfinished else 0)
PY
