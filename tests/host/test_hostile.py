"""Hostile command lines, scenarios and files: each ends with the exit status
that says whose fault it was, and an error line naming what was wrong; none
is reported as success."""
import os
import re
import shutil
import signal
import subprocess
import time

import pytest

from support import BROKEN, HOST, batch, host, module

Q = "quadrel"   # the module the table runs against, when it names none


def scenario(tmp, text):
    p = os.path.join(tmp, "s.txt")
    open(p, "w", encoding="utf-8").write(text)
    return p


# name: (arguments with {q} for quadrel, {tmp} for the test's folder and
#        {s} for a scenario of the given text, scenario text, exit status,
#        text of the first error line)
CASES = {
    "missing_module": (["inspect", "{tmp}/absent.gau"], None, 6, "cannot open {tmp}/absent.gau"),
    "module_is_a_folder": (["inspect", "{tmp}"], None, 6, "it is a folder, not a file"),
    "missing_scenario": (["run", "{q}", "{tmp}/absent.txt"], None, 6, "cannot read scenario"),
    "unknown_action": (["run", "{q}", "{s}"], "frobnicate 1\n", 6, "s.txt:1: unknown action 'frobnicate'"),
    "bare_expect": (["run", "{q}", "{s}"], "expect\n", 6, "s.txt:1: expected 'expect key|no-key|var|selector|pixel"),
    "unbounded_frames": (["run", "{q}", "{s}"], "frame 4294967295\n", 6, "s.txt:1: frame [N]: N: '4294967295'"),
    "negative_click_wraps_no_more": (["run", "{q}", "{s}"], "click -4294967286 50\n", 6,
                                     "s.txt:1: click X Y: X: '-4294967286'"),
    "negative_variable": (["run", "{q}", "{s}"], "set -1 1\n", 6, "s.txt:1: set VAR VALUE: VAR: '-1'"),
    "variable_too_large": (["render", "{q}", "--set", "99999999999=1", "-o", "{tmp}/x.png"], None, 1,
                           "--set variable id: '99999999999'"),
    "number_with_text": (["run", "{q}", "{s}"], "drag 10 1e3\n", 6, "s.txt:1: drag X Y: Y: '1e3'"),
    "output_to_a_device": (["render", "{q}", "-o", "/dev/full"], None, 6, "cannot write /dev/full"),
    "output_into_proc": (["render", "{q}", "-o", "/proc/version"], None, 6, "cannot write /proc/version"),
    "output_folder_missing": (["render", "{q}", "-o", "{tmp}/no/such/x.png"], None, 6, "cannot write {tmp}/no/such"),
    "scenario_render_unwritable": (["run", "{q}", "{s}"], "render /dev/full\n", 6, "cannot write /dev/full"),
    "nan_can_be_expected": (["run", "{q}", "{s}"], "set 620 nan\nexpect var 620 nan\nexpect var 621 0\n", 0, None),
    "nan_is_not_a_number": (["run", "{q}", "{s}"], "set 620 1\nexpect var 620 nan\n", 5,
                            "expected var 620 = NaN, it is 1"),
    "unclosed_quote": (["run", "{q}", "{s}"], 'frame\nrender "x.png\n', 6, "s.txt:2: a quote is not closed"),
    "empty_render_path": (["run", "{q}", "{s}"], 'render ""\n', 6, "s.txt:1: render FILE.png: the file name is empty"),
    "value_overflow_is_not_inf": (["run", "{q}", "{s}"], "set 620 1e999\n", 6,
                                  "s.txt:1: set VAR VALUE: VALUE: '1e999' is not a number"),
    "option_of_another_command": (["render", "{q}", "--gauges", "{tmp}", "-o", "{tmp}/x.png"], None, 1,
                                  "render does not take --gauges"),
    "pattern_matches_nothing": (["inspect", "{tmp}/*.gau"], None, 6, "no file matches {tmp}/*.gau"),
    "thread_fault_is_not_resumed": (["render", BROKEN + "/thread_fault.gau", "-o", "{tmp}/x.png"], None, 3,
                                    "of the module's process (not the host's own) faulted"),
}


def expand(args, tmp, s):
    return [a.replace("{q}", module(Q)).replace("{tmp}", tmp).replace("{s}", s) for a in args]


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    """Every case in one batch, each with a folder of its own."""
    module(Q)
    root = tmp_path_factory.mktemp("hostile")
    jobs, folders = [], {}
    for name, (args, text, _, _) in CASES.items():
        d = str(root / name)
        os.makedirs(d)
        s = scenario(d, text) if text is not None else ""
        folders[name] = d
        jobs.append(expand(args, d, s))
    return folders, dict(zip(CASES, batch(jobs)))


@pytest.mark.parametrize("name", CASES)
def test_hostile(name, table):
    folders, results = table
    _, _, code, first = CASES[name]
    rc, out, err = results[name]
    lines = [l for l in err.splitlines() if l.startswith("gaugehost")]
    assert rc == code, "exit %s, expected %s: %s" % (rc, code, err)
    if first is not None:
        assert lines and first.replace("{tmp}", folders[name]) in lines[0], "first error line: %r" % lines[:1]
    assert not os.path.exists(os.path.join(folders[name], "x.png")), "a picture despite the error"


def test_exactly_the_file_named(tmp):
    # The loader would add ".dll" to a name without an extension, and hand
    # back the system's user32.dll for a file of that name: neither happens.
    data = open(module(Q), "rb").read()
    os.makedirs(os.path.join(tmp, "d"))
    open(os.path.join(tmp, "d", "noext.dll"), "wb").write(data)
    open(os.path.join(tmp, "d", "user32.dll"), "wb").write(data)
    (rc1, _, err1), (rc2, out2, err2) = batch([
        ["inspect", os.path.join(tmp, "d", "noext")],
        ["inspect", os.path.join(tmp, "d", "user32.dll")],
    ])
    assert rc1 == 6 and "cannot open" in err1, "noext: exit %s: %s" % (rc1, err1)
    # Either the file itself is inspected, or the host says why it cannot be.
    assert (rc2 == 0 and 'name "quadrel"' in out2) or (rc2 == 2 and "a module of the same name" in err2), \
        "user32.dll: exit %s: %s%s" % (rc2, out2[:300], err2)


def test_names_outside_the_ansi_code_page(tmp):
    path = os.path.join(tmp, "飛行✈.gau")
    shutil.copy(module(Q), path)
    out = os.path.join(tmp, "ausgabe-ü✈.png")
    (rc1, text, err1), (rc2, _, err2) = batch([["inspect", path], ["render", path, "-o", out]])
    assert rc1 == 0 and "飛行✈.gau" in text, "inspect: exit %s: %s" % (rc1, err1)
    assert rc2 == 0 and os.path.getsize(out) > 0, "render: exit %s: %s" % (rc2, err2)


def test_killed_worker_is_not_success(tmp):
    # A worker ended from outside (or by a signal under Wine) is an error of
    # its own, never exit 0.
    s = scenario(tmp, "frame 100000\n")
    proc = subprocess.Popen([HOST, "run", module(Q), s], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    worker = None
    deadline = time.time() + 60
    while worker is None and time.time() < deadline:
        time.sleep(0.5)
        found = subprocess.run(["pgrep", "-f", re.escape(s) + ".*--worker"], capture_output=True, text=True).stdout
        worker = int(found.split()[0]) if found.split() else None
    assert worker, "no worker process appeared"
    time.sleep(1)
    os.kill(worker, signal.SIGKILL)
    _, err = proc.communicate(timeout=60)
    err = err.decode("utf-8", "replace")
    assert proc.returncode == 3 and "the host's worker ended abnormally" in err, "exit %s: %s" % (proc.returncode, err)
