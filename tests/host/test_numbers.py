"""The number grammar's case table, tests/cases/numbers.json, through every
entry point of gaugehost that reads a number from its user: the command line
(--set VAR=VALUE, --frames) and scenario lines (set, expect var, expect key,
frame, click). All of it is one batch.

Where an entry point shows the number it read, the test holds it to the
table exactly: `expect key ID PARAM` with no key event sent fails naming the
id and parameter it read, and `expect var` against a NaN (or of a NaN) names
the value it read with 17 digits."""
import json
import math
import os
import re
import struct

import pytest

from support import ROOT, batch, module

CASES = json.load(open(os.path.join(ROOT, "tests", "cases", "numbers.json"), encoding="utf-8"))["cases"]
IDS, COUNTS, INTEGERS = [0, 4294967295], [0, 100000], [-2147483648, 2147483647]


def number(text):
    """A number as the host prints it (%.17g, NaN, inf)."""
    return float(text)


def same(got, want):
    if want == "nan":
        return math.isnan(got)
    want = float(want)
    return struct.pack("<d", got) == struct.pack("<d", want)   # -0 is not 0


def whole_refusal(what, text, lo, hi):
    return "%s: '%s' is not a whole number from %d to %d" % (what, text, lo, hi)


def value_refusal(what, text):
    return "%s: '%s' is not a number" % (what, text)


# The entry points: name: (kind, range, arguments with {q} for the module
# and {s} for the scenario, scenario text or None, the refusal's text, and
# how an accepted case is judged: None (exit 0 is enough), or (exit status,
# pattern of the error whose group is the number read)). {t} is the case's
# text, {e} its expected number where the case has one (else 7).
ENTRY_POINTS = {
    "--set VAR": ("id", IDS, ["render", "{q}", "--frames", "0", "--set", "{t}=1", "-o", "{d}/x.png"], None,
                  lambda t: whole_refusal("--set variable id", t, *IDS), None),
    "--set VALUE": ("value", None, ["render", "{q}", "--frames", "0", "--set", "900={t}", "-o", "{d}/x.png"], None,
                    lambda t: value_refusal("--set value", t), None),
    "--frames": ("id", COUNTS, ["render", "{q}", "--frames", "{t}", "-o", "{d}/x.png"], None,
                 lambda t: whole_refusal("--frames", t, *COUNTS), None),
    "set VAR": ("id", IDS, ["run", "{q}", "{s}"], 'set "{t}" 5\nexpect var {e} 5\n',
                lambda t: "s.txt:1: " + whole_refusal("set VAR VALUE: VAR", t, *IDS), None),
    "set VALUE": ("value", None, ["run", "{q}", "{s}"], 'set 900 "{t}"\nexpect var 900 nan\n',
                  lambda t: "s.txt:1: " + value_refusal("set VAR VALUE: VALUE", t),
                  (5, r"expected var 900 = NaN, it is (\S+)$")),
    "expect var ID": ("id", IDS, ["run", "{q}", "{s}"], 'set {e} 5\nexpect var "{t}" 5\n',
                      lambda t: "s.txt:2: " + whole_refusal("expect var ID VALUE: ID", t, *IDS), None),
    "expect var VALUE": ("value", None, ["run", "{q}", "{s}"], 'set 900 nan\nexpect var 900 "{t}"\n',
                         lambda t: "s.txt:2: " + value_refusal("expect var ID VALUE: VALUE", t),
                         (5, r"expected var 900 = (\S+), it is NaN$")),
    "expect key ID": ("id", IDS, ["run", "{q}", "{s}"], 'expect key "{t}" 0\n',
                      lambda t: "s.txt:1: " + whole_refusal("expect key ID PARAM: ID", t, *IDS),
                      (5, r"expected key event (\S+) 0, none was sent$")),
    "expect key PARAM": ("integer", INTEGERS, ["run", "{q}", "{s}"], 'expect key 65820 "{t}"\n',
                         lambda t: "s.txt:1: " + whole_refusal("expect key ID PARAM: PARAM", t, *INTEGERS),
                         (5, r"expected key event 65820 (\S+), none was sent$")),
    "frame N": ("id", COUNTS, ["run", "{q}", "{s}"], 'frame "{t}"\n',
                lambda t: "s.txt:1: " + whole_refusal("frame [N]: N", t, *COUNTS), None),
    "click X": ("integer", INTEGERS, ["run", "{q}", "{s}"], 'click "{t}" 0\n',
                lambda t: "s.txt:1: " + whole_refusal("click X Y: X", t, *INTEGERS), None),
}


def cases_of(kind, rng):
    return [c for c in CASES if c["kind"] == kind and c["range"] == rng]


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    """Every case through every entry point, in one batch:
    {entry point: [(case, exit, stderr, folder)]}."""
    q = module("quadrel")
    root = tmp_path_factory.mktemp("numbers")
    jobs, where = [], []
    for name, (kind, rng, args, text, _, _) in ENTRY_POINTS.items():
        for i, case in enumerate(cases_of(kind, rng)):
            assert '"' not in case["text"], "a case a scenario cannot quote: %r" % case["text"]
            d = root / ("%s-%d" % (re.sub(r"\W", "_", name), i))
            d.mkdir()
            fill = lambda a: a.replace("{q}", q).replace("{s}", str(d / "s.txt")).replace("{d}", str(d)) \
                .replace("{e}", str(7 if case["expected"] == "refused" else case["expected"])).replace("{t}", case["text"])
            if text is not None:
                (d / "s.txt").write_text(fill(text), encoding="utf-8")
            jobs.append([fill(a) for a in args])
            where.append((name, case, str(d)))
    out = {name: [] for name in ENTRY_POINTS}
    for (name, case, d), (rc, _, err) in zip(where, batch(jobs)):
        out[name].append((case, rc, err, d))
    return out


@pytest.mark.parametrize("name", ENTRY_POINTS)
def test_entry_point_reads_the_table(name, results):
    kind, rng, _, _, refusal, shown = ENTRY_POINTS[name]
    assert len(results[name]) >= 7, "too few cases of kind %s, range %s" % (kind, rng)
    wrong = []
    for case, rc, err, d in results[name]:
        text, want = case["text"], case["expected"]
        lines = [l for l in err.splitlines() if l.startswith("gaugehost")]
        if want == "refused":
            code = 1 if name.startswith("--") else 6
            if rc != code or not lines or refusal(text) not in lines[0]:
                wrong.append("%r: exit %s, expected %d with %r: %s" % (text, rc, code, refusal(text), lines[:1]))
            continue
        if shown is None:
            if rc != 0:
                wrong.append("%r: exit %s, expected 0: %s" % (text, rc, lines[:1]))
            continue
        code, pattern = shown
        if rc == 0 and want == "nan" and "NaN" in pattern:
            continue   # NaN met NaN
        found = [re.search(pattern, l) for l in lines]
        found = [m.group(1) for m in found if m]
        if rc != code or not found:
            wrong.append("%r: exit %s: %s" % (text, rc, lines[:1]))
        elif kind == "value" and not same(number(found[0]), want):
            wrong.append("%r read as %s, not %r" % (text, found[0], want))
        elif kind != "value" and int(found[0]) != want:
            wrong.append("%r read as %s, not %r" % (text, found[0], want))
    assert not wrong, "%s: %d of %d cases wrong:\n  %s" % (name, len(wrong), len(results[name]), "\n  ".join(wrong))
