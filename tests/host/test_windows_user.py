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
