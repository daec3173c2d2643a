"""What the gaugehost tests share: where things are, running the host, and
reading its pictures."""
import json
import os
import subprocess
import tempfile

import pytest
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("GAUGE_BUILD", "build")
if not os.path.isabs(BUILD):
    BUILD = os.path.join(ROOT, BUILD)
DIST = os.environ.get("GAUGEHOST_DIST", os.path.join(ROOT, "dist"))
HOST = os.path.join(ROOT, "gaugehost")
BROKEN = os.path.join(BUILD, "win32", "broken")
SCENARIOS = os.path.join(HERE, "scenarios")


def module(name):
    """Path of a built module; a test of a module that is not built is skipped."""
    p = os.path.join(DIST, name + ".gau")
    if not os.path.exists(p):
        pytest.skip(name + ".gau is not built")
    return p


def built(name):
    return os.path.exists(os.path.join(DIST, name + ".gau"))


def host(*args, timeout=60):
    # The host ends a hanging module itself within its --timeout; the outer
    # limit only catches the host itself hanging. Its output goes to files,
    # not pipes: a Wine program that brings up the desktop starts the desktop
    # process with its own stderr, and that process outlives the host for as
    # long as any other program of the prefix runs, so a pipe would not see
    # its end until then.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            rc = subprocess.run([HOST, *args], stdout=out, stderr=err, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            rc = None
        out.seek(0)
        err.seek(0)
        text = lambda f: f.read().decode("utf-8", "replace").replace("\r\n", "\n")
        o, e = text(out), text(err)
    return rc, o, e if rc is not None else e + "(killed after %d s)" % timeout


def inspect_json(path):
    rc, out, err = host("inspect", path, "--json")
    assert rc == 0, "inspect %s: exit %s: %s" % (path, rc, err)
    return json.loads(out)


def read_png(path):
    """(width, height, pixels) of a picture; pixels[x, y] is an (r, g, b) tuple."""
    with Image.open(path) as im:
        rgb = im.convert("RGB")
    return rgb.width, rgb.height, rgb.load()
