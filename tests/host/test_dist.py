"""The release archive that `make dist` writes: dist/gauge-panel-<version>.zip."""
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

import pytest

from support import DIST, ROOT, host

MODULES = ("lumivane", "quadrel", "monovue", "wheelgard")


def version():
    with open(os.path.join(ROOT, "VERSION")) as f:
        return f.read().strip()


def test_archive_holds_the_modules_the_panel_and_the_instructions(tmp):
    path = os.path.join(DIST, "gauge-panel-%s.zip" % version())
    if not all(os.path.exists(os.path.join(DIST, m + ".gau")) for m in MODULES):
        pytest.skip("not every module is built")
    assert os.path.exists(path), "make dist writes " + path
    top = "gauge-panel-%s/" % version()
    with zipfile.ZipFile(path) as z:
        assert z.testzip() is None
        assert sorted(z.namelist()) == sorted(
            [top + "INSTALL.txt", top + "Panel/panel.cfg", top + "Panel/panel.bmp", top + "Tools/gaugehost.exe",
             top + "Tools/README.txt"] +
            [top + "Gauges/%s.gau" % m for m in MODULES])
        z.extractall(tmp)
    root = os.path.join(tmp, top)
    for m in MODULES:
        with open(os.path.join(root, "Gauges", m + ".gau"), "rb") as a, open(os.path.join(DIST, m + ".gau"), "rb") as b:
            assert a.read() == b.read(), m + ".gau differs from dist/"
    with open(os.path.join(root, "Panel", "panel.cfg"), "rb") as a, \
            open(os.path.join(ROOT, "docs", "panel", "panel.cfg"), "rb") as b:
        assert a.read() == b.read().replace(b"\n", b"\r\n")
    with open(os.path.join(root, "INSTALL.txt"), encoding="utf-8") as f:
        text = f.read()
    assert version() in text and "@VERSION@" not in text
    assert all("Gauges/%s.gau" % m in text and "%s!%s" % (m, m) in text for m in MODULES)
    assert "kolt_toggle_light.wav" in text and "SSE2" in text and "Tools/gaugehost.exe" in text
    # The tool: the build's program without its symbols, and its guide in
    # Windows terms (cmd.exe, backslashes), with nothing of this source tree.
    from support import BUILD
    with open(os.path.join(root, "Tools", "gaugehost.exe"), "rb") as f:
        exe = f.read()
    assert exe[:2] == b"MZ" and len(exe) < os.path.getsize(os.path.join(BUILD, "win32", "bin", "gaugehost.exe"))
    with open(os.path.join(root, "Tools", "README.txt"), "rb") as f:
        guide = f.read().decode("utf-8")
    assert "\r\n" in guide and "\n" not in guide.replace("\r\n", "")
    assert "@" not in guide and "Tools\\gaugehost.exe check Gauges\\*.gau" in guide
    for shipped in (guide, text, open(os.path.join(root, "Panel", "panel.cfg"), encoding="latin-1").read()):
        for leak in ("./gaugehost", "docs/", "tools/", ".cpp", ".h ", "session.h", "/work/"):
            assert leak not in shipped, leak
    # The panel in the archive stands on its own: the archive's program draws
    # it from its bitmap beside it and the gauges of the archive's Gauges
    # folder, found without being told, as the source tree's panel draws.
    out = os.path.join(tmp, "archive.png")
    with tempfile.TemporaryFile() as err:   # a file, not a pipe: see support.host
        rc = subprocess.run(["wine", os.path.join(root, "Tools", "gaugehost.exe"), "render", "--panel",
                             os.path.join(root, "Panel", "panel.cfg"), "-o", out], stdout=err, stderr=err,
                            timeout=300).returncode
        err.seek(0)
        said = err.read().decode("utf-8", "replace")
    assert rc == 0 and not said, said
    rc, _, err = host("render", "--panel", os.path.join(ROOT, "docs", "panel", "panel.cfg"), "--gauges", DIST,
                      "-o", os.path.join(tmp, "tree.png"))
    assert rc == 0, err
    from PIL import Image
    with Image.open(out) as a, Image.open(os.path.join(tmp, "tree.png")) as b:
        assert a.size == (552, 300) and a.convert("RGB").tobytes() == b.convert("RGB").tobytes()


def test_same_files_same_archive(tmp):
    """Written twice from the same files, the archive is the same bytes (and
    a second run leaves it alone)."""
    if not all(os.path.exists(os.path.join(DIST, m + ".gau")) for m in MODULES):
        pytest.skip("not every module is built")
    for m in MODULES:
        shutil.copyfile(os.path.join(DIST, m + ".gau"), os.path.join(tmp, m + ".gau"))
    script = os.path.join(ROOT, "scripts", "package.py")
    first = subprocess.run([sys.executable, script, tmp], capture_output=True, text=True)
    archive = os.path.join(tmp, "gauge-panel-%s.zip" % version())
    with open(archive, "rb") as f:
        data = f.read()
    second = subprocess.run([sys.executable, script, tmp], capture_output=True, text=True)
    with open(archive, "rb") as f:
        assert f.read() == data
    assert "wrote" in first.stdout and second.stdout == "" and second.returncode == 0
    os.unlink(os.path.join(tmp, "monovue.gau"))
    third = subprocess.run([sys.executable, script, tmp], capture_output=True, text=True)
    assert third.returncode == 1 and "monovue.gau not built" in third.stderr


def test_example_panel_background_is_what_its_generator_draws(tmp):
    """docs/panel/panel.bmp is tracked and make never rewrites it: after a
    change to its generator, `make example-panel` draws it again, and this
    test says when that was forgotten."""
    from support import BUILD
    generator = os.path.join(BUILD, "native", "generators", "bmpgen_panel")
    if not os.path.exists(generator):
        pytest.skip("the native build has no bmpgen_panel")
    subprocess.run([generator, tmp], check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(tmp, "panel", "panel.bmp"), "rb") as a, \
            open(os.path.join(ROOT, "docs", "panel", "panel.bmp"), "rb") as b:
        assert a.read() == b.read(), "docs/panel/panel.bmp is stale: run make example-panel"
