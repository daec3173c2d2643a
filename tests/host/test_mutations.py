"""Byte-mutated copies of the real modules (fixed seed) through inspect and
render: each ends in a picture, a listing or a clear error."""
import concurrent.futures
import os
import time

from mutants import write_mutants
from support import batch

MUTANTS = int(os.environ.get("GAUGEHOST_MUTANTS", "300"))


def judge(cmd, path, rc, out, err):
    """A run survived when it made its listing or picture, or ended with a
    clear error of the host."""
    if rc == 0:
        return cmd == "inspect" and "bitmaps (" in out or cmd == "render" and os.path.exists(path + ".png")
    return rc in (2, 3, 4) and "gaugehost: error:" in err


def test_survive(tmp):
    paths = write_mutants(os.path.join(tmp, "mutants"), 6, MUTANTS)
    jobs = [(cmd, p) for p in paths for cmd in ("inspect", "render")]
    args = [[cmd, p, "--timeout", "3"] + (["-o", p + ".png"] if cmd == "render" else []) for cmd, p in jobs]
    # Two batches side by side, one per core; each restarts its worker only
    # after a mutant that faulted.
    half = len(args) // 2
    start = time.time()
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        results = [r for part in pool.map(batch, [args[:half], args[half:]]) for r in part]
    bad, outcomes = [], {"picture": 0, "error": 0}
    for (cmd, p), (rc, out, err) in zip(jobs, results):
        if not judge(cmd, p, rc, out, err):
            bad.append("%s %s: exit %s: %s" % (cmd, os.path.basename(p), rc, err.strip()[-300:]))
        outcomes["picture" if rc == 0 else "error"] += 1
    print("mutations: %d of %d mutated modules survived inspect and render (%d pictures or listings, %d clear errors)"
          " in %.0f s" % (MUTANTS - len({b.split()[1] for b in bad}), MUTANTS, outcomes["picture"],
                          outcomes["error"], time.time() - start))
    assert not bad, "%d runs crashed or hung:\n  %s" % (len(bad), "\n  ".join(bad[:20]))
