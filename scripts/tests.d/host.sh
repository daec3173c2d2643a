# gaugehost end to end: scenarios, golden pictures, broken and mutated modules.
run host python3 tests/host/host_tests.py
