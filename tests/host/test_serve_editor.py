"""The panel editor of gaugehost serve over plain HTTP, end to end: edits
made through POST /api/edit and written by POST /api/save, checked on the
bytes on disk (the panel library's own cases are the native tests'); a save
refused after an outside change; the .bak; hostile bodies; panel files as
panel makers write them, served."""
import json
import os
import shutil

import pytest

from serve_support import Served
from support import module

ROWS = [  # name, the file's bytes, the edits, the bytes after them
    ("CRLF, comments, odd spacing, key case",
     b"// made by hand\r\n[Window00]\r\nSize_MM = 400 , 300\r\nBACKGROUND_COLOR=1,2,3 ; dark\r\n\r\n"
     b"  Gauge00 =  quadrel!quadrel ,  10 ,20   // throttle\r\ngauge01=lumivane!lumivane,100,150\r\n",
     [{"op": "place", "gauge": "Gauge00", "x": 15, "y": 20, "width": None, "height": None}],
     b"// made by hand\r\n[Window00]\r\nSize_MM = 400 , 300\r\nBACKGROUND_COLOR=1,2,3 ; dark\r\n\r\n"
     b"  Gauge00 =  quadrel!quadrel ,  15 ,20   // throttle\r\ngauge01=lumivane!lumivane,100,150\r\n"),
    ("unknown sections and keys",
     b"[Window Titles]\nWindow00=Main\n\n[Window00]\nbackground_color=0,0,0\nsize_mm=300,200\nhud_mode=2\n"
     b"gauge00=quadrel!quadrel, 0, 0\n\n[VCockpit01]\nsize_mm=512,512\ntexture=$VC\n"
     b"gauge00=quadrel!quadrel, 0,0\n\n[Views]\nVIEW_FORWARD_DIR=10.0, 0.0, 0.0\n",
     [{"op": "add", "window": 0, "module": "lumivane", "name": "lumivane", "x": 50, "y": 60}],
     b"[Window Titles]\nWindow00=Main\n\n[Window00]\nbackground_color=0,0,0\nsize_mm=300,200\nhud_mode=2\n"
     b"gauge00=quadrel!quadrel, 0, 0\ngauge01=lumivane!lumivane, 50, 60\n\n[VCockpit01]\nsize_mm=512,512\n"
     b"texture=$VC\ngauge00=quadrel!quadrel, 0,0\n\n[Views]\nVIEW_FORWARD_DIR=10.0, 0.0, 0.0\n"),
    ("a missing module",
     b"[Window00]\nsize_mm=300,200\ngauge00=nothere!nothere, 10, 10, 40, 30\ngauge01=quadrel!quadrel, 100, 10\n",
     [{"op": "place", "gauge": "gauge00", "x": 20, "y": 10, "width": 40, "height": 30},
      {"op": "remove", "gauge": "gauge01"}],
     b"[Window00]\nsize_mm=300,200\ngauge00=nothere!nothere, 20, 10, 40, 30\n"),
    ("several windows, a popup, a bitmap missing",
     b"[Window00]\nsize_mm=300,200\ngauge00=quadrel!quadrel, 0, 0\n[Window01]\nvisible=0\n"
     b"background_color=0,40,0\nsize_mm=200,150\ngauge00=lumivane!lumivane, 5, 5, 145 ; half size\n"
     b"gauge01=quadrel!quadrel, 0, 100\n[Window02]\nfile=nothere.bmp\nsize_mm=100,100\n",
     [{"op": "place", "gauge": "w1.gauge00", "x": 6, "y": 5, "width": 145, "height": None},
      {"op": "order", "gauge": "w1.gauge01", "position": 0}],
     b"[Window00]\nsize_mm=300,200\ngauge00=quadrel!quadrel, 0, 0\n[Window01]\nvisible=0\n"
     b"background_color=0,40,0\nsize_mm=200,150\ngauge01=lumivane!lumivane, 6, 5, 145 ; half size\n"
     b"gauge00=quadrel!quadrel, 0, 100\n[Window02]\nfile=nothere.bmp\nsize_mm=100,100\n"),
    ("UTF-16LE with a byte-order mark",
     "\ufeff[Window Titles]\r\nWindow00=Tableau de bord \u00e9\u2192\r\n[Window00]\r\nsize_mm=300,200\r\n"
     "gauge00=quadrel!quadrel, 1, 2\r\n".encode("utf-16-le"),
     [{"op": "place", "gauge": "gauge00", "x": 3, "y": 2}],
     "\ufeff[Window Titles]\r\nWindow00=Tableau de bord \u00e9\u2192\r\n[Window00]\r\nsize_mm=300,200\r\n"
     "gauge00=quadrel!quadrel, 3, 2\r\n".encode("utf-16-le")),
    ("ANSI",
     b"// Cockpit \xe9t\xe9\n[Window00]\nsize_mm=300,200\ngauge00=quadrel!quadrel,1,2\n",
     [{"op": "place", "gauge": "gauge00", "x": 1, "y": 4, "width": 90},
      {"op": "add", "window": 0, "module": "quadrel", "name": "QUADREL", "x": -5, "y": 100, "width": 50, "height": 20}],
     b"// Cockpit \xe9t\xe9\n[Window00]\nsize_mm=300,200\ngauge00=quadrel!quadrel,1,4,90\n"
     b"gauge01=quadrel!QUADREL,-5,100,50,20\n"),
    ("trailing comments, no line ending at the end",
     b"[Window00]\nsize_mm=300,200\ngauge00=quadrel!quadrel, 1, 2 // left\ngauge01=quadrel!quadrel, 200, 2 ; right",
     [{"op": "remove", "gauge": "gauge00"}],
     b"[Window00]\nsize_mm=300,200\ngauge01=quadrel!quadrel, 200, 2 ; right"),
]


@pytest.fixture(scope="module")
def editing(tmp_path_factory):
    """A server of a panel file in a folder of its own, with quadrel and
    lumivane beside it; each test writes the file and reverts to it."""
    d = tmp_path_factory.mktemp("editor")
    for m in ("quadrel", "lumivane"):
        shutil.copyfile(module(m), d / (m + ".gau"))
    (d / "gauges").mkdir()
    path = d / "panel.cfg"
    path.write_bytes(ROWS[0][1])
    served = Served("--panel", str(path), "--gauges", str(d / "gauges"))
    yield served, path
    served.stop()


def version(s):
    return s.state()["editor"]["version"]


def load(s, path, data):
    """The file holds `data` and the server has read it again."""
    path.write_bytes(data)
    status, body = s.post("/api/edit", {"op": "revert", "version": version(s)})
    assert status == 200, body
    return body["version"]


def edit(s, body):
    status, answer = s.post("/api/edit", dict(body, version=version(s)))
    assert status == 200, (body, answer)
    return answer


def save(s):
    status, answer = s.post("/api/save", {"version": version(s)})
    assert status == 200, answer
    return answer


@pytest.mark.parametrize("name, before, edits, after", ROWS, ids=[r[0] for r in ROWS])
def test_round_trip(editing, name, before, edits, after):
    s, path = editing
    load(s, path, before)
    assert not s.state()["editor"]["dirty"]
    save(s)                                   # no edit: not a byte changed
    assert path.read_bytes() == before
    for e in edits:
        edit(s, e)
    assert s.state()["editor"]["dirty"]
    answer = save(s)
    assert path.read_bytes() == after
    assert answer["bytes"] == len(after) and not s.state()["editor"]["dirty"]
    assert (path.parent / "panel.cfg.bak").read_bytes() == before
    # Undone and saved again: the file as it was.
    for _ in edits:
        edit(s, {"op": "undo"})
    save(s)
    assert path.read_bytes() == before
    assert (path.parent / "panel.cfg.bak").read_bytes() == after


def test_the_layout_served_follows_the_edits(editing):
    s, path = editing
    load(s, path, ROWS[3][1])
    st = s.state()
    assert [w["number"] for w in st["windows"]] == [0, 1, 2]
    assert [w["visible"] for w in st["windows"]] == [True, False, True]
    assert st["windows"][2]["problem"] == "%s:11: the background bitmap %s is missing" % (path, path.parent / "nothere.bmp")
    gauges = {g["id"]: g for g in st["gauges"]}
    assert set(gauges) == {"gauge00", "w1.gauge00", "w1.gauge01"}
    # lumivane drawn at 145 wide keeps its aspect (290 x 109).
    assert (gauges["w1.gauge00"]["w"], gauges["w1.gauge00"]["h"]) == (145, 55)
    assert gauges["w1.gauge00"]["file"] == {"x": 5, "y": 5, "width": 145, "height": None, "number": 0}
    answer = edit(s, {"op": "add", "window": 1, "module": "quadrel", "name": "quadrel", "x": 7, "y": 8})
    assert answer["gauge"] == "w1.gauge02"
    g = next(g for g in s.state()["gauges"] if g["id"] == "w1.gauge02")
    assert (g["x"], g["y"], g["w"], g["h"], g["window"]) == (7, 8, 135, 100, 1)
    assert g["module"] is not None
    status, _, png = s.request("GET", "/api/picture?gauge=w1.gauge02")
    assert status == 200 and png[:4] == b"\x89PNG"
    # Each window's background.
    from PIL import Image
    import io
    status, _, png = s.request("GET", "/api/background.png?window=1")
    with Image.open(io.BytesIO(png)) as im:
        assert im.size == (200, 150) and im.convert("RGB").getpixel((5, 5)) == (0, 40, 0)
    assert s.request("GET", "/api/background.png?window=7")[0] == 400
    # Undo and redo walk the versions.
    edit(s, {"op": "undo"})
    assert "w1.gauge02" not in {g["id"] for g in s.state()["gauges"]}
    edit(s, {"op": "redo"})
    assert "w1.gauge02" in {g["id"] for g in s.state()["gauges"]}
    status, body = s.post("/api/edit", {"op": "redo", "version": version(s)})
    assert status == 409 and "nothing to redo" in body


def test_save_refused_after_an_outside_change(editing):
    s, path = editing
    load(s, path, ROWS[2][1])
    edit(s, {"op": "place", "gauge": "gauge00", "x": 30, "y": 10, "width": 40, "height": 30})
    outside = ROWS[2][1] + b"// added by another program\n"
    path.write_bytes(outside)
    status, body = s.post("/api/save", {"version": version(s)})
    assert status == 409 and "changed on disk after it was loaded" in body, body
    assert path.read_bytes() == outside
    os.remove(path)
    status, body = s.post("/api/save", {"version": version(s)})
    assert status == 409 and "cannot read" in body, body
    assert not path.exists()
    load(s, path, outside)               # revert takes the file as it is now
    edit(s, {"op": "place", "gauge": "gauge01", "x": 101, "y": 10})
    save(s)
    assert path.read_bytes() == outside.replace(b"quadrel, 100, 10", b"quadrel, 101, 10")
    assert (path.parent / "panel.cfg.bak").read_bytes() == outside


HOSTILE = [  # path, body (version added where it is None), status, reason
    ("/api/edit", {"op": "explode"}, 400, "bad op"),
    ("/api/edit", {"op": 5}, 400, "bad op"),
    ("/api/edit", {"op": "place", "gauge": "gauge00", "x": 1, "y": 1, "version": "0"}, 400, "bad version"),
    ("/api/edit", {"op": "place", "gauge": "gauge00", "x": 1, "y": 1, "version": 10 ** 6}, 409, "another change came first"),
    ("/api/edit", {"op": "place", "gauge": "../panel.cfg", "x": 1, "y": 1}, 400, "no gauge"),
    ("/api/edit", {"op": "place", "gauge": 0, "x": 1, "y": 1}, 400, "\"gauge\" must be"),
    ("/api/edit", {"op": "place", "gauge": "gauge00", "x": "1", "y": 1}, 400, "bad x"),
    ("/api/edit", {"op": "place", "gauge": "gauge00", "x": 1.5, "y": 1}, 400, "bad x"),
    ("/api/edit", {"op": "place", "gauge": "gauge00", "x": 1, "y": 8193}, 400, "bad y"),
    ("/api/edit", {"op": "place", "gauge": "gauge00", "x": 1}, 400, "bad y (none given)"),
    ("/api/edit", {"op": "place", "gauge": "gauge00", "x": 1, "y": 1, "width": 0}, 400, "bad width"),
    ("/api/edit", {"op": "place", "gauge": "gauge00", "x": 1, "y": 1, "height": 20}, 409, "refused:"),
    ("/api/edit", {"op": "place", "gauge": "gauge00", "x": 1, "y": 1, "path": "/etc/passwd"}, 400, "unknown field"),
    ("/api/edit", {"op": "add", "window": 0, "module": "../quadrel", "name": "q", "x": 1, "y": 1}, 400, "no module"),
    ("/api/edit", {"op": "add", "window": 0, "module": "con", "name": "q", "x": 1, "y": 1}, 400, "no module"),
    ("/api/edit", {"op": "add", "window": 0, "module": "nothere", "name": "q", "x": 1, "y": 1}, 400, "no module"),
    ("/api/edit", {"op": "add", "window": 0, "module": "quadrel", "name": "a,b", "x": 1, "y": 1}, 409, "refused:"),
    ("/api/edit", {"op": "add", "window": 0, "module": "quadrel", "name": "a\nb=c", "x": 1, "y": 1}, 409, "refused:"),
    ("/api/edit", {"op": "add", "window": 0, "module": "quadrel", "name": "", "x": 1, "y": 1}, 400, "bad name"),
    ("/api/edit", {"op": "add", "window": 9, "module": "quadrel", "name": "q", "x": 1, "y": 1}, 400, "no window 9"),
    ("/api/edit", {"op": "order", "gauge": "gauge00", "position": 2}, 400, "bad position"),
    ("/api/edit", {"op": "order", "gauge": "gauge00", "position": -1}, 400, "bad position"),
    ("/api/edit", {"op": "undo", "gauge": "gauge00"}, 400, "unknown field"),
    ("/api/edit", {"op": "undo"}, 409, "nothing to undo"),
    ("/api/save", {"path": "/tmp/elsewhere.cfg"}, 400, "unknown field"),
    ("/api/save", {"version": -1}, 400, "bad version"),
    ("/api/save", {"version": None}, 400, "bad version"),
]


def test_hostile_bodies_change_nothing(editing):
    s, path = editing
    before = b"[Window00]\nsize_mm=300,200\ngauge00=quadrel!quadrel, 1, 2\ngauge01=lumivane!lumivane, 1, 120\n"
    load(s, path, before)
    v = version(s)
    for where, body, status, reason in HOSTILE:
        b = dict(body)
        b.setdefault("version", v)
        got, answer = s.post(where, b)
        assert got == status and isinstance(answer, str) and answer.count("\n") == 1 and reason in answer, \
            (body, got, answer)
    # Malformed and foreign requests.
    own = "http://127.0.0.1:%d" % s.port
    for headers, raw, status in (({"Origin": "http://evil.example"}, None, 403),
                                 ({"Origin": own, "Sec-Fetch-Site": "cross-site"}, None, 403),
                                 ({"Content-Type": "text/plain"}, None, 415),
                                 ({}, b"{not json", 400),
                                 ({}, b'{"version": 0, "pad": "' + b"x" * 5000 + b'"}', 413)):
        got, _, _ = s.request("POST", "/api/save", {"version": v}, headers=headers, raw_body=raw)
        assert got == status, headers
    assert path.read_bytes() == before and version(s) == v
    assert not s.state()["editor"]["dirty"]


def test_a_panel_of_modules_has_nothing_to_edit():
    s = Served(module("quadrel"))
    try:
        for where in ("/api/edit", "/api/save"):
            status, body = s.post(where, {"op": "undo", "version": 0} if where == "/api/edit" else {"version": 0})
            assert status == 409 and "no panel file" in body, body
        assert s.state()["editor"] is None
    finally:
        s.stop()


# ---- panel files as panel makers write them ---------------------------------------------

MAKERS = (b"// from a panel maker\r\n[Window Titles]\r\nWINDOW00=Main panel\r\nWindow01=Throttle\r\n"
          b"Window02=Radio\r\n\r\n[WINDOW00]\r\nFILE=back.bmp\r\nSize_Mm=80\r\nPosition=7\r\nVisible=1\r\n"
          b"Ident=MAIN_PANEL\r\nGauge00=quadrel!quadrel, 0, 0, 40 ; the throttle, half size\r\n"
          b"gauge01=makerx!airspeed, 40, 0, 30, 30\r\n\r\n[Window01]\r\nbackground_color=16,48,16\r\n"
          b"size_mm=150,110\r\nvisible=0\r\nident=THROTTLE\r\ngauge00=quadrel!quadrel, 5, 5\r\n\r\n"
          b"[Window02]\r\nfile=radio.bmp\r\nsize_mm=100,50\r\nvisible=0\r\n\r\n[VCockpit01]\r\nsize_mm=512,512\r\n"
          b"pixel_size=512,512\r\ntexture=$VC01\r\ngauge00=quadrel!quadrel, 0, 0\r\n\r\n[Views]\r\n"
          b"VIEW_FORWARD_ZOOM=1.0\r\n")


@pytest.fixture
def makers_panel(tmp):
    from PIL import Image
    shutil.copyfile(module("quadrel"), os.path.join(tmp, "quadrel.gau"))
    Image.new("RGB", (40, 20), (200, 0, 0)).save(os.path.join(tmp, "back.bmp"))
    path = os.path.join(tmp, "panel.cfg")
    with open(path, "wb") as f:
        f.write(MAKERS)
    return path


def test_a_makers_panel_renders(makers_panel):
    from support import host, read_png
    out = os.path.join(os.path.dirname(makers_panel), "out.png")
    rc, _, err = host("render", "--panel", makers_panel, "-o", out, timeout=120)
    assert rc == 0, err
    lines = err.splitlines()
    warnings = [l for l in lines if "warning" in l]
    assert len(warnings) == 1 and warnings[0].startswith(
        "gaugehost: warning: %s:14: unknown module 'makerx' (no makerx.gau in %s"
        % (makers_panel, os.path.dirname(makers_panel))), err
    assert sum("unknown module 'makerx'" in l for l in lines) == 1
    assert sum("[VCockpit01]" in l and "not drawn" in l for l in lines) == 1, err
    assert sum("[Views]" in l and "not drawn" in l for l in lines) == 1, err
    w, h, px = read_png(out)
    assert (w, h) == (80, 40) and px[79, 39] == (200, 0, 0)
    assert px[40, 0] == (0xE0, 0xB0, 0x40)            # the placeholder's border
    # The popup by its ident; the window whose bitmap is missing fails only when drawn.
    rc, _, err = host("render", "--panel", makers_panel, "--window", "throttle", "-o", out, timeout=120)
    assert rc == 0, err
    w, h, px = read_png(out)
    assert (w, h) == (150, 110) and px[149, 109] == (16, 48, 16)
    radio = os.path.join(os.path.dirname(makers_panel), "radio.bmp")
    rc, _, err = host("render", "--panel", makers_panel, "--window", "2", "-o", out, timeout=120)
    assert rc == 6 and "%s:24: the background bitmap %s is missing" % (makers_panel, radio) in err, err
    rc, _, err = host("render", "--panel", makers_panel, "--strict", "-o", out, timeout=120)
    assert rc == 6 and "unknown module 'makerx'" in err, err


def test_a_makers_panel_is_served(makers_panel):
    s = Served("--panel", makers_panel)
    try:
        st = s.state()
        assert [(w["number"], w["ident"], w["visible"], w["width"], w["height"]) for w in st["windows"]] == \
            [(0, "MAIN_PANEL", True, 80, 40), (1, "THROTTLE", False, 150, 110), (2, "", False, 100, 50)]
        radio = os.path.join(os.path.dirname(makers_panel), "radio.bmp")
        assert st["windows"][2]["problem"] == "%s:24: the background bitmap %s is missing" % (makers_panel, radio)
        gauges = {g["id"]: g for g in st["gauges"]}
        assert set(gauges) == {"Gauge00", "gauge01", "w1.gauge00"}
        assert gauges["gauge01"]["module"] is None and "unknown module 'makerx'" in gauges["gauge01"]["problem"]
        assert (gauges["Gauge00"]["w"], gauges["Gauge00"]["h"]) == (40, 30)
        status, body = s.post("/api/mouse", {"gauge": "gauge01", "x": 1, "y": 1, "event": "click"})
        assert status == 409 and "placeholder" in body
        err = s.errors()
        assert err.count("unknown module 'makerx'") == 1 and err.count("] is not drawn") == 2, err
        assert "radio.bmp is missing (the window is not drawn)" in err, err
        # Saved untouched: byte for byte.
        status, _ = s.post("/api/save", {"version": 0})
        assert status == 200
        with open(makers_panel, "rb") as f:
            assert f.read() == MAKERS
    finally:
        s.stop()


def test_a_gauge_naming_another_gauge_is_a_placeholder_beside_a_good_one(tmp):
    shutil.copyfile(module("quadrel"), os.path.join(tmp, "quadrel.gau"))
    path = os.path.join(tmp, "panel.cfg")
    with open(path, "w") as f:
        f.write("[Window00]\nsize_mm=300,200\ngauge00=quadrel!quadrel, 0, 0\ngauge01=quadrel!throttle, 140, 0\n")
    s = Served("--panel", path)
    try:
        st = s.wait(lambda st: all(m["state"] == "running" for m in st["modules"]), 60)
        gauges = {g["id"]: g for g in st["gauges"]}
        assert gauges["gauge00"]["module"] is not None
        assert gauges["gauge01"]["module"] is None
        assert gauges["gauge01"]["problem"] == "quadrel.gau holds gauge 'quadrel', not 'throttle'"
        assert s.request("GET", "/api/picture?gauge=gauge00")[0] == 200
        assert s.request("GET", "/api/picture?gauge=gauge01")[0] == 409
    finally:
        s.stop()


def test_the_palette_learns_modules_and_an_added_one_runs(tmp):
    """A module of the gauge folders that no gauge uses is loaded once to
    learn its gauge and size, then unloaded; a gauge of it added runs."""
    for m in ("quadrel", "lumivane"):
        shutil.copyfile(module(m), os.path.join(tmp, m + ".gau"))
    path = os.path.join(tmp, "panel.cfg")
    with open(path, "w") as f:
        f.write("[Window00]\nsize_mm=400,300\ngauge00=quadrel!quadrel, 0, 0\n")
    s = Served("--panel", path, "--gauges", os.path.join(tmp, "none"))
    try:
        status, _, body = s.request("GET", "/api/palette")
        assert status == 200
        assert [m["name"] for m in json.loads(body)["modules"]] == ["lumivane", "quadrel"]
        st = s.wait(lambda st: any(m["name"] == "lumivane" and m["state"] == "idle" for m in st["modules"]), 60)
        lumivane = next(m for m in st["modules"] if m["name"] == "lumivane")
        assert lumivane["gauge"] == "lumivane" and lumivane["own"] == [290, 109] and lumivane["pid"] is None
        assert not lumivane["used"]
        assert s.request("GET", "/api/picture?module=" + lumivane["id"])[0] == 200   # the palette's picture
        # Its variables are no controls while no gauge draws it.
        assert 620 not in {v["id"] for v in st["variables"]}
        edit(s, {"op": "add", "window": 0, "module": "lumivane", "name": "lumivane", "x": 100, "y": 150})
        st = s.wait(lambda st: next(m for m in st["modules"] if m["name"] == "lumivane")["state"] == "running", 60)
        assert 620 in {v["id"] for v in st["variables"]}
        status, body = s.post("/api/mouse", {"gauge": "gauge01", "x": 10, "y": 50, "event": "click"})
        assert status == 200 and body["keys"] == ["66376 (0) → var 620 = 1"], body
    finally:
        s.stop()
