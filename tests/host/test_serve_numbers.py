"""The number grammar's case table, tests/cases/numbers.json, through the live
panel's entry points: the values a page sends (POST /api/var, a value as
text) and the page's own reading of what its user types (readValue in
app.js, run with node)."""
import json
import os
import shutil
import subprocess

import pytest

from support import ROOT
from test_numbers import CASES, same

VALUES = [c for c in CASES if c["kind"] == "value"]
APP = os.path.join(ROOT, "tools", "gaugehost", "serve", "web", "app.js")


def test_values_over_http(example_panel):
    example_panel.ready()
    wrong = []
    for case in VALUES:
        text, want = case["text"], case["expected"]
        status, _, body = example_panel.request("POST", "/api/var", {"id": 624, "value": text})
        if want == "refused":
            if status != 400 or not body.decode().startswith("bad value "):
                wrong.append("%r: %s %r, expected a 400" % (text, status, body[:80]))
            continue
        answer = json.loads(body) if status == 200 else None
        if not answer:
            wrong.append("%r: %s %r" % (text, status, body[:80]))
            continue
        got = example_panel.state()["values"]["624"]
        for v in (answer["value"], got):
            if not same(float(v), want):
                wrong.append("%r read as %r, not %r" % (text, v, want))
    example_panel.post("/api/var", {"id": 624, "value": 0})
    assert not wrong, "%d of %d cases wrong:\n  %s" % (len(wrong), len(VALUES), "\n  ".join(wrong))


@pytest.mark.skipif(not shutil.which("node"), reason="node is not installed")
def test_values_on_the_page():
    script = ("const {readValue} = require(process.argv[1]);"
              "const cases = JSON.parse(require('fs').readFileSync(0, 'utf8'));"
              "process.stdout.write(JSON.stringify(cases.map(t => {"
              "  const v = readValue(t);"
              "  return typeof v === 'number' ? (Object.is(v, -0) ? '-0' : String(v)) : v; })));")
    out = subprocess.run(["node", "-e", script, APP], input=json.dumps([c["text"] for c in VALUES]).encode(),
                         stdout=subprocess.PIPE, check=True).stdout
    wrong = []
    for case, got in zip(VALUES, json.loads(out)):
        want = case["expected"]
        if want == "refused":
            if got is not None:
                wrong.append("%r read as %r, expected refused" % (case["text"], got))
        elif got is None or not same(float(got), want):
            wrong.append("%r read as %r, not %r" % (case["text"], got, want))
    assert not wrong, "%d of %d cases wrong:\n  %s" % (len(wrong), len(VALUES), "\n  ".join(wrong))
