"""gaugehost session, driven directly: a wrong request is answered and
changes nothing, a module loads in place of another in the same process."""
import os
import sys

from support import ROOT, module

sys.path.insert(0, os.path.join(ROOT, "tools", "panel"))
from session import Session  # noqa: E402


def test_requests_wrong_and_right():
    s = Session(timeout=10).start()
    try:
        r = s.request("load", path=module("quadrel"), vars=[[128, 16384]], timeout=120)
        assert r["ok"] and r["gauge"] == {"name": "quadrel", "version": 610, "width": 135, "height": 100,
                                          "mouse": True}
        assert [v["id"] for v in r["variables"]] == [128, 163, 198, 233]
        assert r["variables"][0]["value"] == 16384 and r["variables"][0]["min"] < -4096
        first = r["picture"]
        assert (first.width, first.height) == (135, 100) and len(first.data) == 135 * 100 * 4
        for op, fields, reason in (
                ("mouse", {"x": 1, "y": 1, "event": "wheel"}, "\"event\" must be"),
                ("mouse", {"x": "1", "y": 1, "event": "drag"}, "\"x\" must be a whole number"),
                ("set", {"vars": [[128]]}, "pairs"),
                ("set", {"vars": [[128, "lots"]]}, "not a number"),
                ("frames", {"n": -1}, "\"n\" must lie"),
                ("run", {"rate": "fast"}, "run wants"),
                ("load", {"path": module("quadrel"), "vars": "all"}, "pairs"),
                ("jump", {}, "unknown op")):
            r = s.request(op, **fields)
            assert r["ok"] is False and reason in r["error"] and "code" not in r, (op, r)
        # None of it touched the gauge: an unchanged picture is not sent again.
        r = s.request("frames", n=3)
        assert r["ok"] and "picture" not in r and r["frames"] == 4
        r = s.request("mouse", x=50, y=40, event="drag")
        assert r["ok"] and r["hit"] and r["keys"] == [{"id": 65821, "param": 8192,
                                                       "effect": "sets throttle: var 163 = 8192"}]
        assert r["vars"] == {"163": 8192.0} and "picture" in r
        r = s.request("set", vars=[[624, "nan"]], frame=False)
        assert r["ok"] and "picture" not in r and "frames" not in r
        # Another module in the same process, in place of the first.
        r = s.request("load", path=module("wheelgard"), timeout=120)
        assert r["ok"] and r["gauge"]["name"] == "wheelgard" and r["frames"] == 1
        assert [k["id"] for k in r["keys"]] == [66299] * 5 + [66298]      # its start action
        assert {v["id"] for v in r["variables"]} == {332, 333, 334}
    finally:
        s.close()
    assert s.ended.is_set() and s.exit_code == 0
