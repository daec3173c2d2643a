"""render: golden pictures, exact (the engine display's text boxes by region
with a tolerance)."""
import os
import shutil

import pytest

from support import DIST, HERE, batch, module, read_png

GOLDEN = {
    # name: (module, scenario-free render arguments)
    "quadrel-reverse": ("quadrel", ["--set", "128=-4096", "--set", "163=-4096", "--set", "198=-4096", "--set", "233=-4096"]),
    "quadrel-mixed": ("quadrel", ["--set", "128=-4096", "--set", "163=0", "--set", "198=8192", "--set", "233=16384"]),
    "lumivane-unlit-off": ("lumivane", []),
    "lumivane-lit-mixed": ("lumivane", ["--set", "753=1", "--set", "10=1", "--set", "620=1", "--set", "11=1",
                                        "--set", "621=1"]),
    "wheelgard-transit": ("wheelgard", ["--set", "332=8000", "--set", "333=16301", "--set", "334=0"]),
    "monovue-takeoff": ("monovue", ["--set", "624=96", "--set", "643=60", "--set", "662=30", "--set", "681=100",
                                    "--set", "567=1600", "--set", "577=500", "--set", "587=1100", "--set", "597=2500",
                                    "--set", "625=99", "--set", "638=40860", "--set", "791=9000", "--set", "907=10",
                                    "--set", "323=1", "--set", "324=1"]),
}
# Text boxes of the engine display, compared by region: outside them every
# pixel must match; inside, the count of text pixels may differ by 35 %.
TEXT_BOXES = {"monovue": "strings"}


@pytest.fixture(scope="module")
def renders(tmp_path_factory):
    """Every golden state rendered, in one batch: {name: (exit, stderr, picture path)}."""
    d = tmp_path_factory.mktemp("golden")
    names = [n for n in GOLDEN if os.path.exists(os.path.join(DIST, GOLDEN[n][0] + ".gau"))]
    jobs = [["render", os.path.join(DIST, GOLDEN[n][0] + ".gau"), "--frames", "2", *GOLDEN[n][1],
             "-o", str(d / (n + ".png"))] for n in names]
    return {n: (rc, err, str(d / (n + ".png"))) for n, (rc, _, err) in zip(names, batch(jobs) if jobs else [])}


@pytest.mark.parametrize("name", GOLDEN)
def test_golden(name, renders, inspections):
    mod, args = GOLDEN[name]
    module(mod)
    rc, err, out = renders[name]
    assert rc == 0, "render: exit %s: %s" % (rc, err)
    gold = os.path.join(HERE, "golden", name + ".png")
    if os.environ.get("GAUGEHOST_UPDATE_GOLDEN"):
        shutil.copy(out, gold)
    w, h, got = read_png(out)
    gw, gh, want = read_png(gold)
    assert (w, h) == (gw, gh), "size %dx%d, golden %dx%d" % (w, h, gw, gh)
    boxes = []
    if mod in TEXT_BOXES:
        for e in inspections[mod][0]["elements"]:
            if e["kind"] == "string":
                boxes.append((e["x"], e["y"], e["x"] + e["box"][0], e["y"] + e["box"][1]))
    inbox = lambda x, y: any(x0 <= x < x1 and y0 <= y < y1 for x0, y0, x1, y1 in boxes)
    diff = [(x, y) for y in range(h) for x in range(w) if got[x, y] != want[x, y] and not inbox(x, y)]
    assert not diff, "%d pixels differ outside text, first at %r: %r, golden %r" % \
        (len(diff), diff[0], got[diff[0]], want[diff[0]])
    for x0, y0, x1, y1 in boxes:
        n = lambda img: sum(1 for y in range(y0, min(y1, h)) for x in range(x0, min(x1, w)) if img[x, y] == (255, 255, 0))
        a, b = n(got), n(want)
        assert abs(a - b) <= max(4, 0.35 * b), "text box %r: %d yellow pixels, golden %d" % ((x0, y0, x1, y1), a, b)
