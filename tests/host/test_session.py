"""gaugehost session, the worker behind serve, held to its protocol: every
request a server sends and every record a worker sends back has exactly the
fields docs/worker-protocol.md lists, with their types; driven directly, and
traced (GAUGEHOST_TRACE) under a real serve."""
import json
import os
import re
import shutil
import subprocess
import time
import urllib.request

import pytest

from serve_support import Served, Worker
from support import BROKEN, HOST, ROOT, module

DOC = os.path.join(ROOT, "docs", "worker-protocol.md")
SPECIAL = ("nan", "inf", "-inf")


def protocol_tables():
    """The document's tables: {("request" | "record", name): {field: type}}."""
    tables, part, name = {}, None, None
    with open(DOC, encoding="utf-8") as f:
        for line in f:
            if line.startswith("## "):
                part = {"Requests": "request", "Records": "record"}.get(line[3:].strip())
            elif line.startswith("### "):
                name = line[4:].strip()
            elif line.startswith("|") and part and name:
                cells = [c.strip().replace("\\|", "|") for c in re.split(r"(?<!\\)\|", line.strip())[1:-1]]
                if cells[0] == "Field" or set(cells[0]) <= {"-"}:
                    continue
                tables.setdefault((part, name), {})[cells[0]] = cells[1]
    return tables


TABLES = protocol_tables()


def conforms(value, kind):
    number = isinstance(value, (int, float)) and not isinstance(value, bool)
    if kind.startswith('"'):
        return value in [k.strip().strip('"') for k in kind.split("|")]
    if kind == "integer":
        return isinstance(value, int) and not isinstance(value, bool)
    if kind == "number":
        return number
    if kind == "boolean":
        return isinstance(value, bool)
    if kind == "string":
        return isinstance(value, str)
    if kind == "value":
        return number or value in SPECIAL
    if kind == "strings":
        return isinstance(value, list) and all(isinstance(v, str) for v in value)
    if kind == "pairs":
        return isinstance(value, list) and all(isinstance(p, list) and len(p) == 2 and conforms(p[0], "integer")
                                               and conforms(p[1], "value") for p in value)
    if kind == "variables":
        return isinstance(value, list) and all(matches(v, TABLES[("record", "variable")]) for v in value)
    raise AssertionError("the document names a type the tests do not know: " + kind)


def matches(message, table):
    return isinstance(message, dict) and set(message) == set(table) and \
        all(conforms(message[f], kind) for f, kind in table.items())


def check(message, part):
    """Asserts that a request or record is as the document has it."""
    name = message.get("op" if part == "request" else "type")
    table = TABLES.get((part, name))
    assert table, "a %s the document does not list: %s" % (part, message)
    assert matches(message, table), "a %s not as the document has it: %s\nthe document: %s" % (part, message, table)
    return name


def types(records):
    return [r["type"] for r, _ in records]


def test_the_document_lists_every_request_and_record():
    assert {n for p, n in TABLES if p == "request"} == {"load", "set", "mouse", "frames", "run", "unload", "quit"}
    assert {n for p, n in TABLES if p == "record"} == {"loaded", "variables", "variable", "key", "mouse", "sound",
                                                       "picture", "warning", "error", "refused", "done"}
    for (part, name), table in TABLES.items():
        if name != "variable":
            assert {"op" if part == "request" else "type", "seq"} <= set(table), name


def test_a_worker_driven_directly():
    w = Worker()
    seen = set()
    try:
        def ask(op, valid=True, **fields):
            if valid:
                check(dict(fields, op=op, seq=w.seq + 1), "request")
            records = w.request(op, **fields)
            for r, payload in records:
                seen.add(check(r, "record"))
                assert r["seq"] == w.seq
                if r["type"] == "picture":
                    assert payload.startswith(b"\x89PNG\r\n\x1a\n")
            assert records and records[-1][0]["type"] == "done"
            return records

        r = ask("load", path=module("quadrel"), vars=[[128, 16384]], frames=1)
        assert types(r) == ["loaded", "variables", "picture", "done"]
        loaded, variables = r[0][0], r[1][0]["list"]
        assert (loaded["name"], loaded["version"], loaded["width"], loaded["height"], loaded["mouse"]) == \
            ("quadrel", 610, 135, 100, True)
        assert [v["id"] for v in variables] == [128, 163, 198, 233] and variables[0]["min"] < -4096
        # Wrong requests are refused and change nothing: the picture stays.
        for op, fields, reason in (
                ("mouse", {"x": 1, "y": 1, "event": "wheel"}, "\"event\" must be"),
                ("mouse", {"x": "1", "y": 1, "event": "drag"}, "\"x\" must be a whole number"),
                ("mouse", {"x": 1, "y": 1}, "mouse wants \"event\""),
                ("set", {"vars": [[128]], "frame": True}, "pairs"),
                ("set", {"vars": [[128, "lots"]], "frame": True}, "is not a value"),
                ("set", {"vars": [[-1, 0]], "frame": True}, "lies outside"),
                ("frames", {"n": -1}, "\"n\" must lie"),
                ("frames", {"n": 1, "extra": 2}, "unknown field \"extra\""),
                ("run", {"rate": "fast"}, "\"rate\" must be a number"),
                ("load", {"path": module("quadrel"), "vars": "all", "frames": 1}, "pairs"),
                ("jump", {}, "unknown op")):
            r = ask(op, valid=False, **fields)
            assert types(r) == ["refused", "done"] and reason in r[0][0]["text"], (op, r)
        r = ask("frames", n=3)
        assert types(r) == ["done"] and r[0][0]["frames"] == 4
        # A drag reports its key event, applied by no one here: no picture.
        r = ask("mouse", event="drag", x=50, y=40)
        assert [x for x, _ in r[:2]] == [{"type": "mouse", "seq": w.seq, "event": "drag", "x": 50, "y": 40,
                                           "hit": True},
                                          {"type": "key", "seq": w.seq, "id": 65821, "param": 8192}]
        assert types(r) == ["mouse", "key", "done"]
        # The server sends the value back: now the picture changes.
        assert types(ask("set", vars=[[163, 8192]], frame=True)) == ["picture", "done"]
        assert types(ask("set", vars=[[624, "nan"]], frame=False)) == ["done"]
        # A click on lumivane plays its sound: the samples follow the record.
        r = ask("load", path=module("lumivane"), vars=[], frames=1)
        r = ask("mouse", event="click", x=10, y=50)
        assert types(r) == ["mouse", "key", "sound", "done"]
        sound, samples = r[2]
        assert (sound["format"], sound["channels"], sound["rate"], sound["bits"]) == (1, 1, 22050, 16)
        assert len(samples) == sound["bytes"] == sound["length"] == 1764
        # Another module in the same process: wheelgard's start steps the
        # brake selector, as key events.
        r = ask("load", path=module("wheelgard"), vars=[], frames=1)
        assert [(x["id"], x["param"]) for x, _ in r if x["type"] == "key"] == [(66299, 0)] * 5 + [(66298, 0)]
        assert {v["id"] for v in r[1][0]["list"]} == {332, 333, 334}
        assert types(ask("run", rate=0)) == ["done"]
        # What the module does that the host survives is a warning.
        r = ask("load", path=os.path.join(BROKEN, "clobber_esi.gau"), vars=[], frames=1)
        warnings = [x["text"] for x, _ in r if x["type"] == "warning"]
        assert warnings and "broke the calling convention" in warnings[0]
        r = ask("load", path=os.path.join(ROOT, "no such.gau"), vars=[], frames=1)
        assert [(x["kind"], x["fatal"]) for x, _ in r if x["type"] == "error"] == [("input", False)]
        assert types(ask("unload")) == ["done"]
        # Module code that faults: the last turn, and the worker ends.
        r = ask("load", path=os.path.join(BROKEN, "value_routine_fault.gau"), vars=[], frames=1)
        error = [x for x, _ in r if x["type"] == "error"]
        assert error and error[0]["kind"] == "module" and error[0]["fatal"] is True
        assert "element 2 value routine: module code faulted" in error[0]["text"]
        assert w.close() == 2
    finally:
        w.close()
    assert seen == {n for p, n in TABLES if p == "record" and n != "variable"}


def test_every_request_and_record_of_a_serve(tmp):
    """serve's own requests and its workers' records, traced through a
    session of loads, changes, clicks, frames at the rate, a rebuild and a
    module that faults."""
    trace = os.path.join(tmp, "trace.txt")
    paths = [os.path.join(tmp, m + ".gau") for m in ("quadrel", "lumivane", "wheelgard")]
    for m, p in zip(("quadrel", "lumivane", "wheelgard"), paths):
        shutil.copyfile(module(m), p)
    faulty = os.path.join(BROKEN, "value_routine_fault.gau")
    served = Served(*paths, faulty, env={"GAUGEHOST_TRACE": trace})
    try:
        assert served.post("/api/var", {"id": 128, "value": 8192})[0] == 200
        assert served.post("/api/mouse", {"gauge": "gauge01", "x": 10, "y": 50, "event": "click"})[1]["ok"]
        assert served.post("/api/mouse", {"gauge": "gauge00", "x": 50, "y": 40, "event": "drag"})[1]["ok"]
        with urllib.request.urlopen(served.url + "api/events", timeout=30) as stream:   # frames at the rate
            stream.readline()
            time.sleep(1.5)
        served.wait(lambda s: s["viewers"] == 0, 30)
        seq = served.module("quadrel")["seq"]
        st = os.stat(paths[0])
        os.utime(paths[0], ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))
        served.wait(lambda s: next(m for m in s["modules"] if m["name"] == "quadrel")["seq"] > seq, 30)
    finally:
        served.stop()
    requests, records = set(), set()
    with open(trace, encoding="utf-8") as f:
        lines = f.read().splitlines()
    assert lines
    for line in lines:
        ms, worker, direction, text = line.split(" ", 3)
        assert re.fullmatch(r"\d+\.\d{3}", ms) and re.fullmatch(r"m\d+", worker) and direction in "<>", line
        message = json.loads(text)
        if direction == ">":
            requests.add(check(message, "request"))
        else:
            records.add(check(message, "record"))
    assert {"load", "set", "mouse", "run", "quit"} <= requests
    assert {"loaded", "variables", "key", "mouse", "sound", "picture", "error", "done"} <= records
