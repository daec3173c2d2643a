"""run: scenarios per module, and what a failed expectation reports."""
import os
import subprocess

import pytest

from support import SCENARIOS, host, module, read_png


@pytest.mark.parametrize("fname", sorted(f for f in os.listdir(SCENARIOS) if f.endswith(".txt")),
                         ids=lambda f: f[:-4])
def test_scenario(fname):
    mod = fname[:-4].split("-")[0]
    path = module(mod)
    rc, out, err = host("run", path, os.path.join(SCENARIOS, fname))
    assert rc == 0, "exit %s\n%s%s" % (rc, out[-3000:], err)


def test_failures_name_their_line(tmp):
    path = module("quadrel")
    s = os.path.join(tmp, "fail.txt")
    open(s, "w").write("set 128 0\nframe\nexpect pixel 5 70 255 0 255\n")
    rc, out, err = host("run", path, s)
    assert rc == 5 and "fail.txt:3:" in err, "wrong pixel: exit %s, %s" % (rc, err)
    open(s, "w").write("drag 10 10\nexpect key 65821 16384\n")
    rc, out, err = host("run", path, s)
    assert rc == 5 and "fail.txt:2:" in err and "65820" in err, "wrong key: exit %s, %s" % (rc, err)
    open(s, "w").write("click 10 10\nexpect no-key\nexpect var 128 1\n")
    rc, out, err = host("run", path, s)
    assert rc == 5 and "fail.txt:3:" in err, "click in a drag rectangle must not reach it: exit %s, %s" % (rc, err)
    open(s, "w").write("frobnicate 1\n")
    rc, out, err = host("run", path, s)
    assert rc == 2 and "unknown action" in err, "bad line: exit %s, %s" % (rc, err)


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
