"""Panels from the simulator's panel configuration: reading panel.cfg (every
mistake named by file and line) and `render --panel`."""
import os
import shutil
import sys

import pytest

from support import ROOT, host, module, read_png

sys.path.insert(0, os.path.join(ROOT, "tools", "panel"))
from panelcfg import PanelError, read_panel  # noqa: E402


@pytest.fixture
def folder(tmp):
    """A panel folder with two modules (empty files do for reading) and a
    40 x 20 background bitmap."""
    from PIL import Image
    for m in ("quadrel", "lumivane"):
        open(os.path.join(tmp, m + ".gau"), "wb").close()
    Image.new("RGB", (40, 20), (10, 20, 30)).save(os.path.join(tmp, "back.bmp"))
    return tmp


def write(folder, text, name="panel.cfg"):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def test_reads_window00(folder):
    path = write(folder, """// a comment
[Window Titles]
Window00=Main
[Window01]
gauge00=nothere!nothere, 0, 0
[Window00]
FILE=back.bmp
size_mm=80
Visible=1            ; unknown keys are ignored
gauge01=lumivane!lumivane, 5, 6, 40     // after gauge00 though given first
gauge00=quadrel!quadrel, 1, 2
gauge02=quadrel!quadrel, -3, 4, 30, 10
""")
    p = read_panel(path, [])
    assert (p.width, p.height) == (80, 40)          # the bitmap's aspect ratio
    assert p.background == os.path.join(folder, "back.bmp")
    assert [(g.key, g.module, g.gauge, g.x, g.y, g.width, g.height) for g in p.gauges] == [
        ("gauge00", "quadrel", "quadrel", 1, 2, None, None),
        ("gauge01", "lumivane", "lumivane", 5, 6, 40, None),
        ("gauge02", "quadrel", "quadrel", -3, 4, 30, 10)]
    assert [g.size_for(135, 100) for g in p.gauges] == [(135, 100), (40, 30), (30, 10)]
    assert p.background_image().size == (80, 40)


def test_modules_searched_in_order(folder, tmp_path):
    other = tmp_path / "gauges"
    other.mkdir()
    (other / "wheelgard.gau").write_bytes(b"")
    (other / "quadrel.gau").write_bytes(b"")
    path = write(folder, "[Window00]\nbackground_color=1,2,3\nsize_mm=10,20\n"
                         "gauge00=wheelgard!wheelgard,0,0\ngauge01=quadrel!quadrel,0,0\n")
    p = read_panel(path, [str(other)])
    assert [g.path for g in p.gauges] == [str(other / "wheelgard.gau"), os.path.join(folder, "quadrel.gau")]
    assert p.background is None and p.background_image().getpixel((5, 5)) == (1, 2, 3)


@pytest.mark.parametrize("text, line, reason", [
    ("[Window00]\nfile=missing.bmp\n", 2, "the background bitmap"),
    ("[Window00]\nfile=../back.bmp\n", 2, "beside the panel file"),
    ("[Window00]\nfile=notabitmap.bmp\n", 2, "cannot be read"),
    ("[Window00]\nsize_mm=10,10\ngauge00=nothere!nothere, 0, 0\n", 3, "unknown module 'nothere'"),
    ("[Window00]\nsize_mm=10,10\ngauge00=../quadrel!quadrel, 0, 0\n", 3, "not a module name"),
    ("[Window00]\nsize_mm=10,10\ngauge00=quadrel, 0, 0\n", 3, "expected gauge00=module!gauge"),
    ("[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel, 0\n", 3, "expected gauge00=module!gauge"),
    ("[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel, 0, 0, 1, 2, 3\n", 3, "expected gauge00"),
    ("[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel, 1.5, 0\n", 3, "whole numbers"),
    ("[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel, 0, 0, 0\n", 3, "width must be at least 1"),
    ("[Window00]\nsize_mm=10,10\ngauge00=quadrel!, 0, 0\n", 3, "no gauge name"),
    ("[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel,0,0\ngauge00=quadrel!quadrel,0,0\n", 4, "given twice"),
    ("[Window00]\nsize_mm=wide\n", 2, "size_mm wants"),
    ("[Window00]\nbackground_color=1,2\n", 2, "background_color wants"),
    ("[Window00]\nbackground_color=1,2,300\n", 2, "background_color wants"),
    ("[Window00]\nthis line is no key\n", 2, "expected key=value"),
    ("[Window00\n", 1, "ends with ']'"),
])
def test_mistakes_name_file_and_line(folder, text, line, reason):
    with open(os.path.join(folder, "notabitmap.bmp"), "w") as f:
        f.write("BM but not really")
    path = write(folder, text)
    with pytest.raises(PanelError) as e:
        read_panel(path, [])
    assert str(e.value).startswith("%s:%d: " % (path, line)) and reason in str(e.value), str(e.value)


@pytest.mark.parametrize("text, reason", [
    ("[Window01]\nsize_mm=10,10\n", "no [Window00] section"),
    ("[Window00]\nsize_mm=10\ngauge00=quadrel!quadrel,0,0\n", "no height"),
    ("[Window00]\ngauge00=quadrel!quadrel,0,0\n", "no size_mm= and no file="),
    ("[Window00]\nsize_mm=10,10\n", "places no gauge"),
])
def test_mistakes_of_the_whole_file(folder, text, reason):
    path = write(folder, text)
    with pytest.raises(PanelError) as e:
        read_panel(path, [])
    assert str(e.value).startswith(path + ": ") and reason in str(e.value), str(e.value)


def test_render_panel(tmp):
    """A panel of a scaled quadrel over a background colour, and a lights
    panel at its own size: the picture is each gauge's own, in place."""
    for m in ("quadrel", "lumivane"):
        shutil.copyfile(module(m), os.path.join(tmp, m + ".gau"))
    path = write(tmp, "[Window00]\nbackground_color=0,0,255\nsize_mm=600,260\n"
                      "gauge00=lumivane!LUMIVANE, 300, 10\ngauge01=quadrel!quadrel, 10, 50, 270\n")
    rc, out, err = host("render", "--panel", path, "--set", "128=16384", "--set", "620=1",
                        "-o", os.path.join(tmp, "panel.png"), timeout=300)
    assert rc == 0, err
    w, h, px = read_png(os.path.join(tmp, "panel.png"))
    assert (w, h) == (600, 260)
    assert px[5, 5] == (0, 0, 255) and px[599, 259] == (0, 0, 255) and px[290, 30] == (0, 0, 255)
    assert px[300 + 19, 10 + 44] == (0, 0, 0) and px[300 + 19, 10 + 76] == (215, 215, 215)   # STAB on
    # quadrel twice its size (270 wide, 200 high), every pixel doubled:
    # knob 1 at full shows its top edge, rows 5 and 6, over rows 7 to 9.
    for y in (10, 11, 12, 13):
        assert px[10 + 30, 50 + y] == (210, 210, 210) and px[10 + 31, 50 + y] == (210, 210, 210)
    assert px[10 + 30, 50 + 14] == (150, 150, 150) and px[10 + 30, 50 + 9] == (0, 0, 0)
    assert px[10 + 30, 50 + 2 * 62 + 6] == (0, 0, 0)           # nothing at idle
    # A gauge that the module does not hold.
    write(tmp, "[Window00]\nsize_mm=50,50\ngauge00=quadrel!throttle, 0, 0\n", "wrong.cfg")
    rc, out, err = host("render", "--panel", os.path.join(tmp, "wrong.cfg"), "-o", os.path.join(tmp, "w.png"),
                        timeout=300)
    assert rc == 6 and "wrong.cfg:3: quadrel.gau holds gauge 'quadrel', not 'throttle'" in err, err
    assert not os.path.exists(os.path.join(tmp, "w.png"))


def test_render_panel_usage():
    rc, out, err = host("render", "--panel", os.path.join(ROOT, "docs", "panel", "panel.cfg"))
    assert rc == 1 and "needs -o OUT.png" in err
    rc, out, err = host("render", "--panel", "/nonexistent/panel.cfg", "-o", "/tmp/x.png")
    assert rc == 6 and "cannot read /nonexistent/panel.cfg" in err
