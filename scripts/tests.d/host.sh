# gaugehost end to end: scenarios, golden pictures, broken and mutated modules.
echo "== host"
start=$SECONDS
/usr/bin/python3 -m pytest tests/host -q -rs --junitxml="$log_dir/host.xml" > "$log_dir/host.log" 2>&1
rc=$?
grep -E '^(FAILED|ERROR|SKIPPED)|^E  ' "$log_dir/host.log" || true
read -r p f < <(/usr/bin/python3 -c 'import sys, xml.etree.ElementTree as E
s = E.parse(sys.argv[1]).getroot(); s = s.find("testsuite") if s.tag == "testsuites" else s
t, f, e, k = (int(s.get(a, 0)) for a in ("tests", "failures", "errors", "skipped"))
print(t - f - e - k, f + e)' "$log_dir/host.xml" 2>/dev/null || echo "0 0")
passed=$((passed + p)); failed=$((failed + f))
if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then broken+=("host (exit $rc)"); fi
if [ "$p" -eq 0 ] && [ "$f" -eq 0 ]; then broken+=("host (ran no test)"); fi
echo "   host: $p passed, $f failed in $((SECONDS - start)) s"
