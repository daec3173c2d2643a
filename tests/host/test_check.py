"""gaugehost check: our modules pass at level 3, every deliberately broken
module is caught by the check that names its fault, a check that takes its
worker down ends only itself, and every run on a mutated module ends with
the summary."""
import concurrent.futures
import json
import os
import re
import time
import xml.etree.ElementTree as ET

import pytest

from mutants import write_mutants
from support import BROKEN, DIST, ROOT, built, check_jobs, host

LEVEL_3 = ["file", "exports", "imports", "records", "bitmaps", "entry-point", "lifecycle", "stack-balance",
           "callee-saved", "services", "registrations", "hostile-values", "random-values", "mouse", "install-kill",
           "load-unload", "frame-cost"]
LINE = re.compile(r"^(ok|FAIL|warn) +(\S+) +([0-9.]+) s(?:  (.*))?$")
SUMMARY = re.compile(r"^check: (\d+) passed, (\d+) failed, (\d+) warnings$")


def sections(out):
    """{module: [(status, check, seconds, reason)]} from the text output."""
    found, current = {}, None
    for line in out.splitlines():
        if line.startswith("== "):
            current = found.setdefault(line[3:line.rindex(": level")], [])
        elif LINE.match(line) and current is not None:
            s, name, secs, why = LINE.match(line).groups()
            current.append((s, name, float(secs), why or ""))
    return found


@pytest.fixture(scope="module")
def ours(tmp_path_factory):
    mods = [os.path.join(DIST, n + ".gau") for n in ("quadrel", "lumivane", "monovue", "wheelgard") if built(n)]
    junit = str(tmp_path_factory.mktemp("check") / "check.xml")
    rc, out, err = host("check", *mods, "--junit", junit, timeout=900)
    return mods, rc, out, err, junit


def test_our_modules_pass_level_3(ours):
    mods, rc, out, err, junit = ours
    assert rc == 0, "exit %s\n%s%s" % (rc, out[-4000:], err)
    if not mods:
        pytest.skip("no module is built")
    found = sections(out)
    assert list(found) == mods
    counts = [0, 0, 0]
    for m, lines in found.items():
        assert [l[1] for l in lines] == LEVEL_3, m
        # Every rule kept; only the cost of a frame depends on the machine.
        assert not [l for l in lines if l[0] == "FAIL" or l[0] == "warn" and l[1] != "frame-cost"], (m, lines)
        for l in lines:
            counts[("ok", "FAIL", "warn").index(l[0])] += 1
        print("%s: level 3 in %.1f s of checks" % (os.path.basename(m), sum(l[2] for l in lines)))
    assert out.splitlines()[-1] == "check: %d passed, %d failed, %d warnings" % tuple(counts)
    suites = ET.parse(junit).getroot()
    assert suites.get("tests") == str(17 * len(found)) and suites.get("failures") == "0"
    assert [s.get("name") for s in suites] == list(found)
    cases = suites.findall("./testsuite/testcase")
    assert [c.get("name") for c in cases] == LEVEL_3 * len(found)
    assert not suites.findall(".//failure")
    # The account of what the gauges do: each key event a handler sends.
    assert not built("lumivane") or "mouse handler of entry 2 (2, 39, 35, 43) click at 9 points: sends key event 66376 (0) x9" in out


def patched(tmp, name, old, new, offset=None):
    """A copy of the control module with bytes replaced."""
    data = bytearray(open(os.path.join(BROKEN, "control.gau"), "rb").read())
    if offset is not None:
        data[offset(data):offset(data) + len(new)] = new
    else:
        assert old in data
        data = data.replace(old, new)
    path = os.path.join(tmp, name + ".gau")
    open(path, "wb").write(bytes(data))
    return path


def pe_machine(data):
    return int.from_bytes(data[0x3C:0x40], "little") + 4


# The broken module, the check that names its fault, the status it gives and
# texts of its reason.
CAUGHT = {
    "x64_machine": ("file", "FAIL", ["machine 0x8664 (x64)", "not i386"]),
    "no_import_table": ("exports", "FAIL", ["exports no record named ImportTable"]),
    "unknown_dll": ("imports", "FAIL", ["imports msvcrx.dll, which is neither a system DLL nor beside the module"]),
    "root_outside": ("records", "FAIL", ["element 1 (root) at address 0x10"]),
    "cycle": ("records", "FAIL", ["cycle"]),
    "unterminated_children": ("records", "FAIL", ["child list at offset 0x4000: not terminated"]),
    "bad_kind": ("records", "FAIL", ["unknown element kind 9"]),
    "header_version": ("records", "FAIL", ["unsupported header version 700"]),
    "name_unterminated": ("records", "FAIL", ["(gauge name): text at offset"]),
    "needle_table_outside": ("records", "FAIL", ["point table: pointer 0x7FFF0000 lies outside"]),
    "missing_bitmap": ("bitmaps", "FAIL", ["element 2 (icon) names bitmap 101, which is not a resource"]),
    "entry_fails": ("entry-point", "FAIL", ["cannot load", "as a module"]),
    "fault_install": ("lifecycle", "FAIL", ["installRoutine: module code faulted: exception 0x"]),
    "hang_update": ("lifecycle", "FAIL", ["updateRoutine did not return within 2 s"]),
    "stack_skew": ("stack-balance", "FAIL", ["updateRoutine removed 8 bytes more than its arguments"]),
    "cdecl_routine": ("stack-balance", "FAIL", ["installRoutine left 4 bytes of its arguments on the caller's stack"]),
    "clobber_esi": ("callee-saved", "FAIL", ["updateRoutine changed callee-saved esi"]),
    "bad_var_argument": ("services", "FAIL", ["initializeModuleVar (service 38) from initializeRoutine: 0x10 is not"]),
    "unknown_service": ("services", "FAIL", ["panel service slot 50"]),
    "mouse_unclosed": ("services", "FAIL", ["end of list while parent entry 1 is open"]),
    "handler_in_data": ("services", "FAIL", ["(handler): routine pointer", "is not in the module's code"]),
    "leak_registration": ("registrations", "FAIL", ["still attached after killRoutine (no releaseMouseRects"]),
    "text_unterminated": ("hostile-values", "FAIL", ["element 2 (string) value routine left its text unterminated"]),
    "text_overrun": ("hostile-values", "FAIL", ["wrote past the end of its 256-byte text buffer"]),
    "text_runaway": ("hostile-values", "FAIL", ["wrote past the end of its 256-byte text buffer", "faulted"]),
    "value_routine_fault": ("hostile-values", "FAIL", ["element 2 value routine: module code faulted"]),
    "random_fault": ("random-values", "FAIL", ["element 2 value routine: module code faulted", "of seed 1: var 5 = "]),
    "wild_key": ("mouse", "FAIL", ["click at (0, 0) sent key event 2147483392 (0x7FFFFF00), outside 0x10000"]),
    "grow_memory": ("install-kill", "FAIL", ["private bytes grew by", "install/kill cycles"]),
    "leak_load": ("load-unload", "FAIL", ["private bytes grew by", "load/unload cycles"]),
    "slow_frame": ("frame-cost", "warn", ["per frame in the module's routines, above the budget"]),
}


@pytest.fixture(scope="module")
def caught(tmp_path_factory):
    tmp = str(tmp_path_factory.mktemp("caught"))
    paths = {n: os.path.join(BROKEN, n + ".gau") for n in CAUGHT}
    paths["x64_machine"] = patched(tmp, "x64_machine", None, b"\x64\x86", offset=pe_machine)
    paths["unknown_dll"] = patched(tmp, "unknown_dll", b"msvcrt.dll\0", b"msvcrx.dll\0")
    jobs = [["check", paths[n], "--only", CAUGHT[n][0], "--timeout", "2"] for n in CAUGHT]
    # Two batches side by side, one per core.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        results = [r for part in pool.map(check_jobs, [jobs[0::2], jobs[1::2]]) for r in part]
    return dict(zip([n for n in CAUGHT][0::2] + [n for n in CAUGHT][1::2], results))


@pytest.mark.parametrize("name", CAUGHT)
def test_broken_module_caught(name, caught):
    check, status, texts = CAUGHT[name]
    r = caught[name]
    reason = "\n".join([r.get("reason", "")] + r.get("failures", []) + r.get("warnings", []))
    assert r["name"] == check and r["status"] == status and all(t in reason for t in texts), r


def test_a_dead_check_ends_only_itself(tmp):
    # A hang and a fault: each ends its own check; a fresh worker runs the
    # next, and the results say why in JSON as in text.
    junit = os.path.join(tmp, "out.xml")
    rc, out, err = host("check", os.path.join(BROKEN, "hang_update.gau"), os.path.join(BROKEN, "text_runaway.gau"),
                        "--only", "lifecycle,records", "--timeout", "2", "--json", "--junit", junit, timeout=300)
    assert rc == 2, "exit %s: %s" % (rc, err)
    doc = json.loads(out)
    got = {(os.path.basename(m["module"]), c["name"]): c for m in doc["modules"] for c in m["checks"]}
    hang = got[("hang_update.gau", "lifecycle")]
    assert hang["status"] == "FAIL" and "updateRoutine did not return within 2 s" in hang["reason"], hang
    assert got[("hang_update.gau", "records")]["status"] == "ok"
    runaway = got[("text_runaway.gau", "lifecycle")]
    assert runaway["status"] == "FAIL" and "wrote past the end of its 256-byte text buffer" in runaway["reason"]
    assert got[("text_runaway.gau", "records")]["status"] == "ok"
    assert (doc["passed"], doc["failed"], doc["warnings"]) == (2, 2, 0)
    failures = ET.parse(junit).getroot().findall(".//failure")
    assert len(failures) == 2 and "did not return within 2 s" in failures[0].get("message")


def test_mistakes_in_the_command(tmp):
    rc, _, err = host("check", os.path.join(BROKEN, "control.gau"), "--only", "frobnicate")
    assert rc == 1 and "unknown check frobnicate" in err, (rc, err)
    rc, _, err = host("check", os.path.join(tmp, "absent.gau"))
    assert rc == 6 and "cannot open" in err, (rc, err)


# The levels of the checks, and the budgets that grow with the level.
LEVELS = [1] * 5 + [2] * 6 + [3] * 6
GROWING = {
    "random-values": {"3": "100 rounds", "4": "1000 rounds", "5": "5000 rounds, at least 60 s"},
    "install-kill": {"3": "200 install/kill cycles", "4": "1000 install/kill cycles",
                     "5": "5000 install/kill cycles, at least 60 s"},
    "load-unload": {"3": "200 load/unload cycles", "4": "1000 load/unload cycles",
                    "5": "5000 load/unload cycles, at least 60 s"},
    "frame-cost": {"3": "up to 200 frames or 2 s", "4": "up to 1000 frames or 10 s",
                   "5": "up to 5000 frames or 30 s, at least 30 s"},
}


def readme_checks():
    """(name, level, proves) of each row of the README's table of checks."""
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    table = text[text.index("| Check | Level | Proves |"):]
    rows = []
    for line in table.splitlines()[2:]:
        if not line.startswith("|"):
            break
        name, level, proves = [c.strip() for c in line.strip("|").split("|")]
        rows.append((name.strip("`"), int(level), proves.replace("`", "")))
    return rows


def test_the_listing_describes_every_check():
    # Each check describes itself: name, level, what it proves, its budget
    # at each level it runs at; the README's table is the listing.
    rc, out, err = host("check", "--list", "--json")
    assert rc == 0, (rc, err)
    checks = json.loads(out)["checks"]
    assert [(c["name"], c["level"]) for c in checks] == list(zip(LEVEL_3, LEVELS))
    for c in checks:
        assert c["proves"] and "\n" not in c["proves"], c
        assert sorted(c["budget"]) == [str(l) for l in range(c["level"], 6)] and all(c["budget"].values()), c
    assert {c["name"]: c["budget"] for c in checks if c["name"] in GROWING} == GROWING
    assert {c["budget"]["1"] for c in checks if c["name"] in ("records", "bitmaps")} == {"one load, mapped only"}
    assert readme_checks() == [(c["name"], c["level"], c["proves"]) for c in checks]
    # As text: a line per check with its level, what it proves and its
    # budget after it, the levels that spend the same together.
    rc, text, err = host("check", "--list")
    assert rc == 0, (rc, err)
    heads = [l.split() for l in text.splitlines() if not l.startswith(" ")]
    assert heads == [[n, "level", str(l)] for n, l in zip(LEVEL_3, LEVELS)], text
    assert "    budget: level 1: one load, mapped only; levels 2 to 5: one load, its entry point run\n" in text
    assert "    budget: level 3: 100 rounds; level 4: 1000 rounds; level 5: 5000 rounds, at least 60 s\n" in text
    assert text.count("    budget: ") == len(LEVEL_3)
    rc, _, err = host("check", "--list", os.path.join(BROKEN, "control.gau"))
    assert rc == 1 and "check --list takes no module" in err, (rc, err)


CHECK_MUTANTS = int(os.environ.get("GAUGEHOST_CHECK_MUTANTS", "4"))
# The checks that read the records and run module code in every way: a
# broken copy mostly ends each of them the same way, so a few keep it short.
MUTANT_CHECKS = ["records", "lifecycle", "services", "mouse"]


def test_mutants_end_with_the_summary(tmp):
    # Byte-mutated copies of our modules (the sweep's generator, a seed of
    # its own): every check of every copy ends with a line, and the run
    # with its summary, however the copy breaks.
    paths = write_mutants(tmp, 12, CHECK_MUTANTS)
    start = time.time()
    rc, out, err = host("check", *paths, "--only", ",".join(MUTANT_CHECKS), "--timeout", "2", timeout=900)
    assert rc in (0, 2), "exit %s: %s" % (rc, err[-2000:])
    found = sections(out)
    assert sorted(found) == sorted(paths), out[-3000:]
    assert all([l[1] for l in lines] == MUTANT_CHECKS for lines in found.values()), out[-3000:]
    m = SUMMARY.match(out.splitlines()[-1])
    statuses = [l[0] for lines in found.values() for l in lines]
    assert m and tuple(map(int, m.groups())) == tuple(statuses.count(s) for s in ("ok", "FAIL", "warn")), out[-500:]
    print("check of %d mutants: %s in %.0f s" % (len(paths), out.splitlines()[-1], time.time() - start))
