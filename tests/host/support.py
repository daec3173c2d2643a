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


MARK = "@@gaugehost job "


def _split_jobs(text, count):
    """Each job's part of one stream of a batch, and the exit status its end
    marker gives (None when the job never ended)."""
    parts, codes = [[] for _ in range(count)], [None] * count
    current = None
    for line in text.splitlines(keepends=True):
        if line.startswith(MARK):
            number, _, rest = line[len(MARK):].partition(" ")
            index = int(number) - 1
            if rest.startswith("begin:"):
                current = index
            elif rest.startswith("end: exit "):
                codes[index] = int(rest[len("end: exit "):])
                current = None
            continue
        if current is not None:
            parts[current].append(line)
    return ["".join(p) for p in parts], codes


# A batch exits with the gravest of its jobs' exit statuses, gravest first.
GRAVITY = (3, 4, 2, 6, 1, 5, 0)


def gravest(codes):
    return min(codes, key=GRAVITY.index, default=0)


def batch_lines(jobs):
    """A batch list's text: each job (a list of arguments) as a command line."""
    return "".join(subprocess.list2cmdline([str(a) for a in args]) + "\n" for args in jobs)


def batch(jobs, timeout=1200, encode=lambda text: text.encode("utf-8")):
    """Runs many gaugehost commands (each a list of arguments) in one host
    process, `gaugehost batch`: one worker runs them in turn and a fresh one
    is started only after a job that faulted. Returns (exit status, stdout,
    stderr) for each job, in order, each job's status from its end marker.
    `encode` makes the list file's bytes of its text."""
    with tempfile.NamedTemporaryFile("wb", suffix=".txt", delete=False) as f:
        f.write(encode(batch_lines(jobs)))
        listing = f.name
    try:
        rc, out, err = host("batch", listing, timeout=timeout)
    finally:
        os.unlink(listing)
    outs, codes = _split_jobs(out, len(jobs))
    errs, codes_err = _split_jobs(err, len(jobs))
    results = [(codes[i] if codes[i] is not None else codes_err[i], outs[i], errs[i]) for i in range(len(jobs))]
    ended = [r[0] for r in results if r[0] is not None]
    assert rc == gravest(ended) and len(ended) == len(jobs), \
        "the batch exited %s, its jobs %s: %s" % (rc, [r[0] for r in results], err[-2000:])
    return results


CHECK_MARK = "@@check "
FINDING_MARK = "@@check-finding "


def check_jobs(jobs, timeout=1200):
    """Single checks, each a line `check MODULE --only NAME ...` of one batch
    (the form in which `gaugehost check` runs each of its checks), and the
    result of each: the worker's JSON, or, where the worker ended without one
    (module code hung or took the worker down), a failure with the error the
    batch left for that job."""
    out = []
    for (rc, stdout, stderr), args in zip(batch(jobs, timeout), jobs):
        found = [json.loads(l[l.index(CHECK_MARK) + len(CHECK_MARK):]) for l in stdout.splitlines()
                 if CHECK_MARK in l and FINDING_MARK not in l]
        if found:
            out.append(found[-1])
            continue
        findings = [json.loads(l[l.index(FINDING_MARK) + len(FINDING_MARK):])
                    for l in stdout.splitlines() if FINDING_MARK in l]
        errors = [l.split("gaugehost: error: ", 1)[1] for l in stderr.splitlines() if "gaugehost: error: " in l]
        failures = [f["fail"] for f in findings if "fail" in f]
        failures.append(errors[-1] if errors else "no result (exit %s): %s" % (rc, stderr.strip()[-300:]))
        out.append({"name": args[args.index("--only") + 1], "status": "FAIL", "exit": rc, "reason": failures[0],
                    "failures": failures, "warnings": [f["warn"] for f in findings if "warn" in f]})
    return out
