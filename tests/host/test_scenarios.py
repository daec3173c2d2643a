"""run: scenarios per module, and what a failed expectation reports."""
import os
import subprocess

import pytest

from support import DIST, ROOT, SCENARIOS, batch, host, module, read_png


SCENARIO_FILES = sorted(f for f in os.listdir(SCENARIOS) if f.endswith(".txt"))


@pytest.fixture(scope="module")
def played():
    """Every scenario of tests/host/scenarios, in one batch: {file: (exit, stdout, stderr)}."""
    files = [f for f in SCENARIO_FILES if os.path.exists(os.path.join(DIST, f.split("-")[0] + ".gau"))]
    jobs = [["run", os.path.join(DIST, f.split("-")[0] + ".gau"), os.path.join(SCENARIOS, f)] for f in files]
    return dict(zip(files, batch(jobs) if jobs else []))


@pytest.mark.parametrize("fname", SCENARIO_FILES, ids=lambda f: f[:-4])
def test_scenario(fname, played):
    module(fname[:-4].split("-")[0])
    rc, out, err = played[fname]
    assert rc == 0, "exit %s\n%s%s" % (rc, out[-3000:], err)


FAILING = [
    # scenario, exit status, texts of the error
    ("set 128 0\nframe\nexpect pixel 5 70 255 0 255\n", 5, ["fail.txt:3:", "expectation failed"]),
    ("drag 10 10\nexpect key 65821 16384\n", 5, ["fail.txt:2:", "65820"]),
    # a click in a drag rectangle must not reach it
    ("click 10 10\nexpect no-key\nexpect var 128 1\n", 5, ["fail.txt:3:"]),
    ("frobnicate 1\n", 6, ["fail.txt:1: unknown action 'frobnicate'"]),
]


def test_failures_name_their_line(tmp):
    path = module("quadrel")
    jobs = []
    for i, (text, _, _) in enumerate(FAILING):
        d = os.path.join(tmp, str(i))
        os.makedirs(d)
        open(os.path.join(d, "fail.txt"), "w").write(text)
        jobs.append(["run", path, os.path.join(d, "fail.txt")])
    for (text, code, wants), (rc, out, err) in zip(FAILING, batch(jobs)):
        assert rc == code and all(w in err for w in wants), "%r: exit %s, %s" % (text, rc, err)


# How Windows editors save a text file: name: bytes of the text.
ENCODINGS = {
    "utf8": lambda t: t.encode("utf-8"),
    "utf8_bom": lambda t: b"\xef\xbb\xbf" + t.encode("utf-8"),
    "utf8_bom_crlf": lambda t: b"\xef\xbb\xbf" + t.replace("\n", "\r\n").encode("utf-8"),
    "utf16le_bom": lambda t: b"\xff\xfe" + t.encode("utf-16-le"),
    "utf16le_bom_crlf": lambda t: b"\xff\xfe" + t.replace("\n", "\r\n").encode("utf-16-le"),
    "utf16be_bom": lambda t: b"\xfe\xff" + t.encode("utf-16-be"),
    "crlf": lambda t: t.replace("\n", "\r\n").encode("utf-8"),
}
# The first action on the first line (after the byte-order mark), a comment
# outside the ASCII range, and a render to a quoted path relative to the
# scenario's own folder with a space and non-ASCII characters in it.
PICTURE = os.path.join("out dir", "bild ü✈ 1.png")
EDITED = ('set 620 1   # Schalter für STAB ✈\nexpect var 620 1\nset 128 "16384"\nframe\n'
          'render "out dir/bild ü✈ 1.png"  # "quoted"\nrender "a#b.png"\n')


def test_files_as_windows_editors_save_them(tmp):
    """Each scenario saved in each form, run from a batch list saved as
    UTF-16 with CRLF line ends (as Notepad saves one); relative render paths
    land beside the scenario, not in the current folder."""
    q = module("quadrel")
    jobs = []
    for name, encode in ENCODINGS.items():
        os.makedirs(os.path.join(tmp, name, "out dir"))
        open(os.path.join(tmp, name, "s.txt"), "wb").write(encode(EDITED))
        jobs.append(["run", q, os.path.join(tmp, name, "s.txt")])
    results = batch(jobs, encode=ENCODINGS["utf16le_bom_crlf"])
    for name, (rc, out, err) in zip(ENCODINGS, results):
        assert rc == 0, "%s: exit %s\n%s%s" % (name, rc, out[-1500:], err)
        picture = os.path.join(tmp, name, PICTURE)
        assert "    wrote %s\n" % os.path.join(tmp, name, "out dir/bild ü✈ 1.png") in out, out
        assert "  5 render \"out dir/bild ü✈ 1.png\"\n" in out, "the line as echoed: " + out
        w, h, px = read_png(picture)
        assert (w, h) == (135, 100) and px[15, 5] == (210, 210, 210), "%s: lever 1 is not at full" % name
        assert os.path.exists(os.path.join(tmp, name, "a#b.png")), name
    assert not os.path.exists(os.path.join(ROOT, "out dir")) and not os.path.exists(os.path.join(ROOT, "a#b.png"))


def test_scale(tmp):
    # At scale 2 the host's record of the drawn background says 270 x 200;
    # quadrel measures the pointer against that height.
    path = module("quadrel")
    s = os.path.join(tmp, "scale.txt")
    open(s, "w").write("drag 10 80\nexpect key 65820 8192\ndrag 10 160\nexpect key 65820 0\nframe\n"
                       "expect pixel 0 130 0 0 0\nexpect pixel 12 130 210 210 210\nexpect pixel 12 129 0 0 0\n"
                       "render %s\n" % os.path.join(tmp, "scale.png"))
    rc, out, err = host("run", path, s, "--scale", "2")
    assert rc == 0, "exit %s\n%s%s" % (rc, out[-1500:], err)
    w, h, _ = read_png(os.path.join(tmp, "scale.png"))
    assert (w, h) == (270, 200), "picture %d x %d" % (w, h)


def test_lumivane_click_plays_and_registry_restored():
    path = module("lumivane")
    key = r"HKLM\SOFTWARE\Microsoft\Microsoft Games\Flight Simulator\7.0"
    query = lambda: subprocess.run(["wine", "reg", "query", key], capture_output=True, text=True,
                                   errors="replace").stdout
    before = query()
    rc, out, err = host("run", path, os.path.join(SCENARIOS, "lumivane-stab.txt"))
    assert rc == 0, "exit %s: %s" % (rc, err)
    assert "SetCooperativeLevel(window of class FS98MAIN, 1) -> 0x00000000" in out, "no device on the host window"
    after_click = out.split(" 11 click 10 50", 1)[-1].split(" 12 ", 1)[0]
    for want in ("service 36 sendKeyEvent(66376, 0)", "CreateSoundBuffer(1764 bytes) -> 0x00000000",
                 "buffer Play(flags 0) -> 0x00000000"):
        assert want in after_click, "the STAB click did not log %r:\n%s" % (want, after_click)
    assert query() == before, "the simulator's registry values were not put back"
