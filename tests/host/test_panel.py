"""Panels from the simulator's panel configuration, end to end through
`render --panel` (the reader's own cases are the native tests'): the window
drawn, each gauge in its place at its size, modules looked for in order,
placeholders for what is missing, and every mistake named by file and line."""
import os
import shutil

import pytest

from support import ROOT, batch, host, module, read_png

KNOB, LEVER = (210, 210, 210), (215, 215, 215)


@pytest.fixture
def folder(tmp):
    """A panel folder with quadrel and lumivane, and a 40 x 20 bitmap whose
    left half is red and right half blue."""
    from PIL import Image
    for m in ("quadrel", "lumivane"):
        shutil.copyfile(module(m), os.path.join(tmp, m + ".gau"))
    im = Image.new("RGB", (40, 20), (255, 0, 0))
    im.paste((0, 0, 255), (20, 0, 40, 20))
    im.save(os.path.join(tmp, "back.bmp"))
    return tmp


def write(folder, text, name="panel.cfg"):
    path = os.path.join(folder, name)
    with open(path, "w", newline="") as f:
        f.write(text)
    return path


def render(path, *args, out=None):
    out = out or os.path.join(os.path.dirname(path), "out.png")
    rc, _, err = host("render", "--panel", path, *args, "-o", out, timeout=300)
    return rc, err, (read_png(out) if rc == 0 else None)


def test_render_panel(folder):
    """A lights panel at its own size and a quadrel twice its size over a
    background colour: the picture is each gauge's own, in place."""
    path = write(folder, "[Window00]\nbackground_color=0,0,255\nsize_mm=600,260\n"
                         "gauge00=lumivane!LUMIVANE, 300, 10\ngauge01=quadrel!quadrel, 10, 50, 270\n")
    rc, err, (w, h, px) = render(path, "--set", "128=16384", "--set", "620=1")
    assert rc == 0, err
    assert (w, h) == (600, 260)
    assert px[5, 5] == (0, 0, 255) and px[599, 259] == (0, 0, 255) and px[290, 30] == (0, 0, 255)
    assert px[300 + 19, 10 + 44] == (0, 0, 0) and px[300 + 19, 10 + 76] == LEVER   # STAB on
    # quadrel twice its size (270 wide, 200 high), every pixel doubled:
    # knob 1 at full shows its top edge, rows 5 and 6, over rows 7 to 9.
    for y in (10, 11, 12, 13):
        assert px[10 + 30, 50 + y] == KNOB and px[10 + 31, 50 + y] == KNOB
    assert px[10 + 30, 50 + 14] == (150, 150, 150) and px[10 + 30, 50 + 9] == (0, 0, 0)
    assert px[10 + 30, 50 + 2 * 62 + 6] == (0, 0, 0)           # nothing at idle


def test_background_sizes_and_smooth_scaling(folder):
    # A width alone keeps the bitmap's aspect; the bitmap is scaled to it.
    rc, err, (w, h, px) = render(write(folder, "[Window00]\nfile=back.bmp\nsize_mm=80\n"))
    assert rc == 0 and (w, h) == (80, 40), err
    assert px[10, 20] == (255, 0, 0) and px[70, 20] == (0, 0, 255)
    # Not a whole multiple: smooth, so the seam blends; the gauge too.
    rc, err, (w, h, px) = render(write(folder, "[Window00]\nfile=back.bmp\nsize_mm=61,30\n"
                                               "gauge00=quadrel!quadrel, 0, 20, 10\n"))
    assert rc == 0 and (w, h) == (61, 30), err
    seam = [px[x, 5] for x in range(25, 36)]
    assert any(r not in (0, 255) for r, _, _ in seam), seam
    # The bitmap's own size without size_mm.
    rc, err, (w, h, _) = render(write(folder, "[Window00]\nfile=back.bmp\n"))
    assert rc == 0 and (w, h) == (40, 20), err


def test_modules_looked_for_in_the_panels_folder_first(folder, tmp_path):
    other = tmp_path / "gauges"
    other.mkdir()
    shutil.copyfile(module("wheelgard"), other / "wheelgard.gau")
    shutil.copyfile(module("lumivane"), other / "quadrel.gau")   # behind the panel folder's own quadrel
    path = write(folder, "[Window00]\nsize_mm=300,120\ngauge00=wheelgard!wheelgard,0,0\ngauge01=quadrel!quadrel,120,0\n")
    rc, err, (_, _, px) = render(path, "--gauges", str(other), "--set", "128=16384")
    assert rc == 0 and "warning" not in err, err
    assert px[120 + 15, 5] == KNOB                                 # the panel folder's quadrel, at full


def test_placeholders_for_what_is_missing(folder):
    path = write(folder, "[Window00]\nsize_mm=200,100\nbackground_color=0,0,0\n"
                         "gauge00=nothere!nothere, 10, 10, 40, 30\n"
                         "gauge01=quadrel!throttle, 100, 10, 50\n")
    rc, err, (_, _, px) = render(path)
    assert rc == 0, err
    lines = [l for l in err.splitlines() if l.startswith("gaugehost: warning: ")]
    assert len(lines) == 2, err
    assert lines[0].startswith("gaugehost: warning: %s:4: unknown module 'nothere' (no nothere.gau in %s, "
                               % (path, folder)), lines
    assert lines[1] == "gaugehost: warning: %s:5: quadrel.gau holds gauge 'quadrel', not 'throttle'" % path
    # A hatched box with a border where each would be, its name on a dark
    # label in its top-left corner (written in the border's colour).
    assert px[10, 10] == px[49, 39] == px[100, 10] == (0xE0, 0xB0, 0x40)
    assert {px[x, 37] for x in range(11, 49)} == {(0x30, 0x30, 0x30), (0x7A, 0x5A, 0x20)}
    label = {px[x, y] for x in range(14, 48) for y in range(14, 24)}
    assert (0, 0, 0) in label and (0xE0, 0xB0, 0x40) in label, label
    rc, err, _ = render(path, "--strict")
    assert rc == 6 and "gaugehost: error: %s:4: unknown module 'nothere'" % path in err, err


def test_the_window_drawn(folder):
    path = write(folder, "[Window00]\nvisible=0\nbackground_color=255,0,0\nsize_mm=10,10\n"
                         "[Window01]\nident=THROTTLE\nbackground_color=0,255,0\nsize_mm=20,10\n"
                         "[Window02]\nbackground_color=0,0,255\nsize_mm=30,10\n")
    for args, size, colour in (((), (20, 10), (0, 255, 0)),          # the first visible one
                               (("--window", "0"), (10, 10), (255, 0, 0)),
                               (("--window", "throttle"), (20, 10), (0, 255, 0)),
                               (("--window", "2"), (30, 10), (0, 0, 255))):
        rc, err, (w, h, px) = render(path, *args)
        assert rc == 0 and (w, h) == size and px[5, 5] == colour, (args, err)
    rc, err, _ = render(path, "--window", "7")
    assert rc == 6 and "no window 7" in err, err


MISTAKES = [   # panel text, line named, reason
    ("[Window00]\nfile=missing.bmp\n", 2, "missing.bmp is missing"),
    ("[Window00]\nfile=notabitmap.bmp\n", 2, "notabitmap.bmp cannot be read"),
    ("[Window00]\nfile=../back.bmp\n", 2, "beside the panel file"),
    ("[Window00]\nsize_mm=10\ngauge00=quadrel!quadrel,0,0\n", 2, "no height"),
    ("[Window00]\nsize_mm=10,10\ngauge00=quadrel, 0, 0\n", 3, "expected gauge00=module!gauge"),
    ("[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel, 1.5, 0\n", 3, "whole numbers"),
    ("[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel,0,0\ngauge00=quadrel!quadrel,0,0\n", 4, "given twice"),
    ("[Window00]\nbackground_color=1,2,300\n", 2, "background_color wants"),
    ("[Window00]\nthis line is no key\n", 2, "expected key=value"),
    ("[Window00\n", 1, "ends with ']'"),
]


def test_mistakes_name_file_and_line(folder):
    with open(os.path.join(folder, "notabitmap.bmp"), "w") as f:
        f.write("BM but not really")
    paths = [write(folder, text, "p%d.cfg" % i) for i, (text, _, _) in enumerate(MISTAKES)]
    results = batch([["render", "--panel", p, "-o", os.path.join(folder, "x%d.png" % i)]
                     for i, p in enumerate(paths)])
    for (text, line, reason), path, (rc, _, err) in zip(MISTAKES, paths, results):
        assert rc == 6 and "gaugehost: error: %s:%d: " % (path, line) in err and reason in err, (text, err)
    assert not any(os.path.exists(os.path.join(folder, "x%d.png" % i)) for i in range(len(MISTAKES)))


def test_render_panel_usage():
    rc, out, err = host("render", "--panel", os.path.join(ROOT, "docs", "panel", "panel.cfg"))
    assert rc == 1 and "-o" in err
    rc, out, err = host("render", "--panel", "/nonexistent/panel.cfg", "-o", "/tmp/x.png")
    assert rc == 6 and "cannot read /nonexistent/panel.cfg" in err


def test_pictures_written_exactly(tmp):
    """A window of its background alone comes out pixel for pixel, whatever
    the pixels (the PNG writer's literals, short and long matches, rows
    wider than its window, runs across rows)."""
    import random
    from PIL import Image
    rnd = random.Random(7)
    pictures = {
        "one pixel": Image.new("RGB", (1, 1), (1, 2, 3)),
        "noise": Image.frombytes("RGB", (301, 203), bytes(rnd.randrange(256) for _ in range(301 * 203 * 3))),
        "long rows": Image.frombytes("RGB", (8192, 3), bytes((x * 7 + y) % 256 for y in range(3) for x in range(8192 * 3))),
        "flat, a few dots": Image.new("RGB", (2000, 1200), (40, 44, 48)),
        "stripes": Image.frombytes("RGB", (640, 480), bytes(255 * ((x // 3) % 2) for y in range(480) for x in range(640 * 3))),
    }
    for _ in range(500):
        pictures["flat, a few dots"].putpixel((rnd.randrange(2000), rnd.randrange(1200)), (rnd.randrange(256),) * 3)
    jobs = []
    for i, (name, im) in enumerate(pictures.items()):
        im.save(os.path.join(tmp, "b%d.bmp" % i))
        write(tmp, "[Window00]\nfile=b%d.bmp\n" % i, "p%d.cfg" % i)
        jobs.append(["render", "--panel", os.path.join(tmp, "p%d.cfg" % i), "-o", os.path.join(tmp, "o%d.png" % i)])
    for (name, im), (rc, _, err), i in zip(pictures.items(), batch(jobs), range(len(jobs))):
        assert rc == 0, (name, err)
        with Image.open(os.path.join(tmp, "o%d.png" % i)) as out:
            assert out.size == im.size and out.convert("RGB").tobytes() == im.tobytes(), name
