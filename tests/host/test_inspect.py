"""inspect: the records of every module as the host reads them."""
import os
import struct

import pytest

from support import batch, inspect_json, module

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


def test_sections(inspections):
    # The section table as the host reads it: in the order of their
    # addresses, those with data in the file laid end to end up to its end;
    # the code executable, the data writable.
    for name, (d, _, err) in inspections.items():
        secs = d["sections"]
        assert [s["name"] for s in secs][:2] == [".text", ".data"], (name, secs)
        assert all(a["rva"] < b["rva"] for a, b in zip(secs, secs[1:])), (name, secs)
        held = [s for s in secs if s["rawSize"]]
        assert all(a["fileOffset"] + a["rawSize"] == b["fileOffset"] for a, b in zip(held, held[1:])), (name, secs)
        assert held[-1]["fileOffset"] + held[-1]["rawSize"] == os.path.getsize(module(name)), (name, secs)
        assert [(s["executable"], s["writable"]) for s in secs[:2]] == [(True, False), (False, True)], (name, secs)
        assert all(s["executable"] == bool(s["characteristics"] & 0x20000000) and
                   s["writable"] == bool(s["characteristics"] & 0x80000000) for s in secs), (name, secs)


def test_a_refused_module_leaves_nothing_loaded(tmp):
    # A module the host refuses after the loader mapped it (here its
    # resource directory claims 65535 entries) is unloaded at once: the next
    # module in the worker, a copy of the same one, gets the address both
    # want, so its pointers read as the file holds them.
    path = module("quadrel")
    d = inspect_json(path)
    data = bytearray(open(path, "rb").read())

    def file_offset(rva):
        return next(s["fileOffset"] + rva - s["rva"] for s in d["sections"] if 0 <= rva - s["rva"] < s["rawSize"])

    refused = bytearray(data)
    rsrc = next(s for s in d["sections"] if s["name"] == ".rsrc")
    struct.pack_into("<H", refused, rsrc["fileOffset"] + 12, 0xFFFF)
    wild = bytearray(data)
    struct.pack_into("<I", wild, file_offset(int(d["header"]["rootSlot"][1:], 16)), 0x70000000)
    paths = [os.path.join(tmp, "refused.gau"), os.path.join(tmp, "wild.gau")]
    for p, b in zip(paths, (refused, wild)):
        open(p, "wb").write(bytes(b))
    (rc1, _, err1), (rc2, _, err2) = batch([["inspect", p] for p in paths])
    assert rc1 == 2 and "resource directory at offset 0x%X: implausible entry count" % rsrc["rva"] in err1, err1
    assert rc2 == 2 and "element 1 (root) at address 0x70000000 (outside the module image)" in err2, err2
