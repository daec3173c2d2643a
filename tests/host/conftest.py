"""End-to-end tests of gaugehost against the modules in dist/ (each module's
tests are skipped when it is not built), the deliberately broken modules in
BUILD/win32/broken/, and byte-mutated copies of the real modules.

Run from the top of the tree: /usr/bin/python3 -m pytest tests/host
"""
import os
import shutil
import subprocess
import tempfile

import pytest

from support import ROOT


def _wine_environment():
    """The project's Wine prefix and settings, as scripts/wine-env.sh sets them
    for every script that runs a Windows program."""
    script = os.path.join(ROOT, "scripts", "wine-env.sh")
    dump = subprocess.run(["bash", "-c", 'env -0; printf "\\1"; source "$1" || exit 1; env -0', "-", script],
                          stdout=subprocess.PIPE, check=True).stdout.decode()
    before, after = (dict(v.split("=", 1) for v in part.split("\0") if "=" in v) for part in dump.split("\1"))
    for key in before.keys() - after.keys():
        os.environ.pop(key, None)
    os.environ.update({k: v for k, v in after.items() if before.get(k) != v})


_wine_environment()


@pytest.fixture(scope="session", autouse=True)
def wine_server():
    # Wine ends its server a few seconds after its last program exits, and
    # starting it again with the prefix's services costs up to seconds per
    # run: a persistent server stays up for the length of the tests. One that
    # already runs is left as it is.
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    started = subprocess.run(["wineserver", "-p"], **quiet).returncode == 0
    yield
    if started:
        subprocess.run(["wineserver", "-k"], **quiet)


@pytest.fixture
def tmp():
    """A folder of the test's own, removed after it."""
    path = tempfile.mkdtemp(prefix="gaugehost-tests-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture(scope="session")
def inspections():
    """inspect of every built module, as JSON and as text, in one batch:
    {name: (json report or None, text, stderr of the failed run)}."""
    from support import DIST, batch
    import json
    names = [n for n in ("quadrel", "lumivane", "monovue", "wheelgard")
             if os.path.exists(os.path.join(DIST, n + ".gau"))]
    jobs = []
    for n in names:
        path = os.path.join(DIST, n + ".gau")
        jobs += [["inspect", path, "--json"], ["inspect", path]]
    results = batch(jobs) if jobs else []
    out = {}
    for i, n in enumerate(names):
        (rc_json, js, err_json), (rc_text, text, err_text) = results[2 * i], results[2 * i + 1]
        out[n] = (json.loads(js) if rc_json == 0 else None, text if rc_text == 0 else None, err_json + err_text)
    return out


@pytest.fixture(scope="session")
def example_panel():
    """The example panel (docs/panel/panel.cfg with the modules of dist/),
    served live for the browser and HTTP tests."""
    from support import DIST, ROOT
    from serve_support import Served
    for n in ("quadrel", "lumivane", "monovue", "wheelgard"):
        if not os.path.exists(os.path.join(DIST, n + ".gau")):
            pytest.skip(n + ".gau is not built")
    # Not waited for: the browser starts meanwhile, and the page shows
    # each gauge as it comes; the HTTP tests wait (test_serve_http.py).
    served = Served("--panel", os.path.join(ROOT, "docs", "panel", "panel.cfg"), "--gauges", DIST, ready=False)
    yield served
    served.stop()
