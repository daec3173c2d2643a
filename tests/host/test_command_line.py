"""The command line as a Windows user meets it: help in every form, module
names with wildcards (which on Windows the program expands itself), and the
status a batch exits with."""
import os
import shutil

import pytest

from support import BROKEN, _split_jobs, batch, batch_lines, host, module


# ---- help ----------------------------------------------------------------------------------

def test_help_in_every_form():
    rc, out, err = host("/?")
    assert rc == 0 and out.startswith("usage:\n") and not err, "exit %s: %s%s" % (rc, out[:200], err)
    for line in ("  gaugehost check MODULE.gau...", "  gaugehost render --panel PANEL.cfg", "  gaugehost serve ",
                 "  --help, -h, /?", "exit status: 0 done"):
        assert line in out, line
    asks = [["--help"], ["-h"], ["help"], ["inspect", "--help"], ["help", "inspect"], ["render", "/?"],
            ["serve", "-h"]]
    (full, full2, full3, inspect, inspect2, render, serve) = batch(asks)
    for rc, text, err in (full, full2, full3, inspect, inspect2, render, serve):
        assert rc == 0 and text.startswith("usage:\n") and not err.strip(), "exit %s: %s" % (rc, err)
    assert full[1] == full2[1] == full3[1] == out
    assert inspect[1] == inspect2[1] and "gaugehost inspect" in inspect[1] and "gaugehost render" not in inspect[1]
    assert "  gaugehost render MODULE.gau" in render[1] and "  gaugehost render --panel" in render[1]
    assert "--port N" in serve[1] and "--set" not in serve[1]


def test_mistake_names_itself_and_where_help_is():
    rc, out, err = host("inspect")
    assert rc == 1 and err == "gaugehost: inspect wants MODULE.gau\n(gaugehost --help lists the commands and options)\n", \
        "exit %s: %s" % (rc, err)


# ---- wildcards ------------------------------------------------------------------------------

# name: (arguments, with {g} for a folder "Panel Work ü/Gauges" holding
#        quadrel.gau and lumivane.gau, {w} for the same folder written with
#        backslashes; exit status; text of stdout or of the first error line)
WILDCARDS = {
    "one_match": (["inspect", "{g}/q*.gau"], 0, 'name "quadrel"'),
    "question_mark": (["inspect", "{g}/quadre?.gau"], 0, 'name "quadrel"'),
    "case_ignored": (["inspect", "{g}/Q*.GAU"], 0, 'name "quadrel"'),
    "backslashes": (["inspect", "{w}\\l*.gau"], 0, 'name "lumivane"'),
    "several_where_one_is_taken": (["inspect", "{g}/*.gau"], 1, "matches 2 files; inspect takes one module"),
    "nothing_matches": (["inspect", "{g}/z*.gau"], 6, "no file matches {g}/z*.gau"),
    "longer_extension_does_not_match": (["inspect", "{g}/old*.gau"], 6, "no file matches"),
    "a_folder_is_not_a_module": (["inspect", "{g}/dir*"], 6, "no file matches"),
    "only_in_the_file_name": (["inspect", "{g}/../Gau*/q.gau"], 1, "wildcards may stand only in the file name"),
    "a_scenario_is_not_expanded": (["run", "{g}/q*.gau", "{g}/s*.txt"], 6, "cannot read scenario {g}/s*.txt"),
}


@pytest.fixture(scope="module")
def gauges(tmp_path_factory):
    g = tmp_path_factory.mktemp("wildcards") / "Panel Work ü" / "Gauges"
    os.makedirs(g / "dir.gau")
    for name in ("quadrel", "lumivane"):
        shutil.copy(module(name), g / (name + ".gau"))
    shutil.copy(module("quadrel"), g / "old.gaubak")
    open(g / "s1.txt", "w").write("frame\n")
    return str(g)


def test_wildcards_in_module_names(gauges):
    fill = lambda a: a.replace("{g}", gauges).replace("{w}", gauges.replace("/", "\\"))
    results = batch([[fill(a) for a in args] for args, _, _ in WILDCARDS.values()])
    wrong = []
    for (name, (_, code, text)), (rc, out, err) in zip(WILDCARDS.items(), results):
        first = ([l for l in err.splitlines() if l.startswith("gaugehost")] or [""])[0]
        if rc != code or fill(text) not in (out if code == 0 else first):
            wrong.append("%s: exit %s (expected %s): %s" % (name, rc, code, first or out[:200]))
    assert not wrong, "\n".join(wrong)


def test_check_takes_a_quoted_pattern_as_cmd_passes_it(gauges):
    # cmd.exe passes "C:\Panel Work\*.gau" on with its quotes; a Windows file
    # name holds neither * nor ?, so the quoted pattern is expanded too.
    pattern = gauges.replace("/", "\\") + "\\*.gau"
    rc, out, err = host("check", pattern, "--only", "file")
    assert rc == 0, "exit %s: %s" % (rc, err)
    lumivane, quadrel = (out.index("== " + gauges.replace("/", "\\") + "\\" + n) for n in ("lumivane", "quadrel"))
    assert lumivane < quadrel and "check: 2 passed, 0 failed" in out, out


# ---- a batch's status -------------------------------------------------------------------------

# A job of each exit status.
JOBS = {
    0: ["inspect", "{q}"],
    1: ["inspect"],
    2: ["inspect", BROKEN + "/cycle.gau"],
    3: ["render", BROKEN + "/thread_fault.gau", "-o", "{tmp}/x.png"],
    4: ["render", BROKEN + "/hang_update.gau", "--timeout", "1", "-o", "{tmp}/x.png"],
    5: ["run", "{q}", "{tmp}/fails.txt"],
    6: ["inspect", "{tmp}/absent.gau"],
}
# name: (the statuses of the batch's jobs in order, the batch's status: the
# gravest, in the order 3, 4, 2, 6, 1, 5, 0)
BATCHES = {
    "all_pass": ([0, 0], 0),
    "expectation": ([0, 5, 0], 5),
    "usage_over_expectation": ([5, 1], 1),
    "input_over_usage": ([1, 6, 5], 6),
    "module_over_input": ([6, 2, 0], 2),
    "hang_over_module": ([2, 4, 0], 4),
    "fault_over_hang": ([4, 3, 0], 3),
}


@pytest.mark.parametrize("name", BATCHES)
def test_batch_exits_with_its_gravest_job(name, tmp):
    q = module("quadrel")
    open(os.path.join(tmp, "fails.txt"), "w").write("expect var 620 1\n")
    codes, want = BATCHES[name]
    jobs = [[a.replace("{q}", q).replace("{tmp}", tmp) for a in JOBS[c]] for c in codes]
    listing = os.path.join(tmp, "list.txt")
    open(listing, "w", encoding="utf-8").write(batch_lines(jobs))
    rc, out, err = host("batch", listing, timeout=300)
    _, own = _split_jobs(out, len(jobs))
    assert own == codes, "the jobs ended %s, expected %s: %s" % (own, codes, err[-1500:])
    assert rc == want, "the batch exited %s for jobs %s, expected %s" % (rc, codes, want)
