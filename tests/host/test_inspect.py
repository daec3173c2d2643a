"""inspect: the records of every module as the host reads them."""
import pytest

from support import module

EXPECT = {
    # module: (version, elements, mouse entry depths, module vars, bitmap ids with depth)
    "quadrel": (610, 5, [0, 1, 2, 2, 2, 2, 1, 0, 0], [], {4096: 8, 8192: 8, 12288: 8, 16384: 8, 20480: 8}),
    "lumivane": (610, 7, [0, 1, 1, 1, 1, 1, 0, 0], [10, 753], {4096: 8, 4099: 8, 4608: 8, 4611: 8}),
    "monovue": (800, 29, [0, 0, 0], [324, 325], None),
    "wheelgard": (800, 9, [0, 1, 1, 1, 0, 0], [333, 334, 332], None),
}


@pytest.mark.parametrize("name", EXPECT)
def test_inspect(name, inspections):
    module(name)
    version, count, depths, mvars, bitmaps = EXPECT[name]
    d, text, err = inspections[name]
    assert d is not None, "inspect --json failed: %s" % err
    assert d["header"]["version"] == version and d["header"]["name"] == name, "header: %r" % d["header"]
    assert d["linkage"]["moduleId"] == 0x13 and len(d["linkage"]["gauges"]) == 1, "linkage: %r" % d["linkage"]
    assert d["importTable"]["id"] == 0x0F and d["importTable"]["services"] == 0, "import table: %r" % d["importTable"]
    assert len(d["elements"]) == count, "%d elements, expected %d" % (len(d["elements"]), count)
    assert d["elements"][0]["kind"] == "static" and d["elements"][0]["parent"] == 0, "root: %r" % d["elements"][0]
    assert [m["depth"] for m in d["mouse"]] == depths, "mouse nesting %r" % [m["depth"] for m in d["mouse"]]
    assert [v["id"] for v in d["moduleVars"]] == mvars, "module vars %r" % d["moduleVars"]
    if bitmaps:
        got = {b["id"]: b["bits"] for b in d["bitmaps"]}
        assert got == bitmaps, "bitmaps %r" % got
    if version == 800:
        # a chain: each element the only child of the one before it
        assert [e["depth"] for e in d["elements"]] == list(range(count)), "not a chain"
        assert all(b["bits"] == 24 for b in d["bitmaps"]), "800 bitmaps are 24-bit"
    assert text and "elements (%d)" % count in text and "bitmaps (" in text, "text inspect: %s" % err


def test_monovue_records(inspections):
    module("monovue")
    d = inspections["monovue"][0]
    n1 = d["elements"][1]
    assert n1["kind"] == "needle" and n1["var"] == 624, "element 2: %r" % n1
    assert [(p["value"], p["x"], p["y"]) for p in n1["points"]] == [(0, 13, 43), (60, 13, 17), (100, 38, 17)], \
        "N1 table %r" % n1["points"]
    s = d["elements"][2]
    assert s["kind"] == "string" and s["box"] == [188, 12] and s["colours"][2] == 0xFFFF and s["font"] == "Arial" \
        and s["weight"] == 500, "element 3: %r" % s


def test_wheelgard_start_events(inspections):
    module("wheelgard")
    d = inspections["wheelgard"][0]
    assert d["startKeyEvents"] and all(k[0] in (66298, 66299) for k in d["startKeyEvents"]), \
        "start action sends selector events: %r" % d["startKeyEvents"]
