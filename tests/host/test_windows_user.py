"""The release as a panel maker uses it on Windows: the archive unpacked in a
Wine prefix of its own into "C:\\Panel Wörk\\", every command typed in cmd.exe
with backslash paths, files saved as Windows editors save them."""
import os

import pytest

from support import DIST, read_png
from windows_user import Machine, version

MODULES = ("lumivane", "quadrel", "monovue", "wheelgard")


@pytest.fixture(scope="module")
def machine():
    if not os.path.exists(os.path.join(DIST, "gauge-panel-%s.zip" % version())):
        pytest.skip("the release archive is not built")
    m = Machine()
    yield m
    m.close()


def test_inspect_and_render_from_cmd(machine):
    (rc_i, out_i, err_i), _, (rc_r, _, err_r) = machine.type(
        r"Tools\gaugehost.exe inspect Gauges\quadrel.gau",
        r'mkdir "my pictures"',
        r'Tools\gaugehost.exe render Gauges\quadrel.gau --set 128=16384 --scale 2 -o "my pictures\quadrel full.png"')
    assert rc_i == 0 and 'name "quadrel"' in out_i, err_i
    assert rc_r == 0, err_r
    w, h, px = read_png(machine.path(r"my pictures\quadrel full.png"))
    assert (w, h) == (270, 200)


def test_mistakes_from_cmd_say_whose_they_are(machine):
    (rc_missing, _, err_missing), (rc_usage, _, err_usage) = machine.type(
        r"Tools\gaugehost.exe inspect Gauges\nothere.gau",
        r"Tools\gaugehost.exe render Gauges\quadrel.gau")
    assert rc_missing == 6 and r"cannot open Gauges\nothere.gau" in err_missing
    assert rc_usage == 1 and "-o" in err_usage


def test_help_wildcards_and_junit_from_cmd(machine):
    (rc_help, out_help, _), (rc_q, out_q, _), _, (rc_check, out_check, err_check) = machine.type(
        r"Tools\gaugehost.exe --help",
        r"Tools\gaugehost.exe /?",
        r"mkdir reports",
        r'Tools\gaugehost.exe check Gauges\*.gau --level 1 --junit "reports\check results.xml"')
    assert rc_help == 0 and rc_q == 0 and "usage" in out_help.lower() and out_help == out_q
    for leak in ("session.h", ".cpp", "docs/", "tools/", ".md"):   # nothing the release does not ship
        assert leak not in out_help, leak
    assert rc_check == 0, out_check + err_check
    for m in MODULES:
        assert m + ".gau" in out_check
    with open(machine.path(r"reports\check results.xml"), encoding="utf-8") as f:
        junit = f.read()
    assert junit.count("<testsuite ") == len(MODULES) and "<failure" not in junit


def test_scenario_saved_by_notepad_from_cmd(machine):
    """A scenario in UTF-16 with a byte-order mark and CRLF, as Notepad saves
    it, in a folder with a space; its picture is written beside it."""
    text = ("# the STAB switch, clicked\r\nset 753 1\r\nset 10 1\r\nframe\r\nclick 10 50\r\nexpect key 66376 0\r\n"
            "expect var 620 1\r\nframe\r\nrender \"stab on.png\"\r\n")
    machine.write(r"my scenarios\stab.txt", b"\xff\xfe" + text.encode("utf-16-le"))
    (rc, out, err), = machine.type(r'Tools\gaugehost.exe run Gauges\lumivane.gau "my scenarios\stab.txt"')
    assert rc == 0 and "scenario passed" in out, out + err
    w, h, px = read_png(machine.path(r"my scenarios\stab on.png"))
    assert (w, h) == (290, 109) and px[19, 44] == (0, 0, 0) and px[19, 76] == (215, 215, 215)


def test_render_panel_from_cmd(machine):
    """The release's panel drawn with the modules beside it, named or found by
    default (the release's Gauges folder)."""
    (rc_named, _, err_named), (rc_default, _, err_default) = machine.type(
        r"Tools\gaugehost.exe render --panel Panel\panel.cfg --gauges Gauges -o panel.png",
        r'Tools\gaugehost.exe render --panel Panel\panel.cfg -o "panel by default.png"')
    assert rc_named == 0, err_named
    assert rc_default == 0, err_default
    for name in ("panel.png", "panel by default.png"):
        w, h, _ = read_png(machine.path(name))
        assert (w, h) == (552, 300)
    assert open(machine.path("panel.png"), "rb").read() == open(machine.path("panel by default.png"), "rb").read()


def test_serve_from_cmd_reaches_chromium(machine, tmp):
    """serve started in cmd.exe as a panel maker starts it: Chromium on this
    machine opens the address it prints and sees the panel drawn."""
    from serve_support import browser, have_browser, wait_until
    if not have_browser():
        pytest.skip("chromium, chromium-driver or python3-selenium missing")
    proc = machine.start(r"Tools\gaugehost.exe serve --port 0", "serve")
    try:
        url = wait_until("serve prints its address", lambda: machine.address_in("serve"), 120)
        d = browser(tmp)
        try:
            d.get(url)
            wait_until("the page greets", lambda: d.execute_script(
                "return !!(window.gaugePanel && window.gaugePanel.panel)"), 60)
            for g in ("gauge00", "gauge01", "gauge02", "gauge03"):
                wait_until(g + " drawn", lambda: d.execute_script(
                    "return window.gaugePanel.drawn[arguments[0]] || 0", g) > 0, 120)
        finally:
            d.quit()
    finally:
        machine.stop(proc)
