"""Byte-mutated copies of the real modules (fixed seed) through inspect and
render: each ends in a picture, a listing or a clear error."""
import concurrent.futures
import os
import random
import struct
import time

import pytest

from support import built, host, module

MUTANTS = int(os.environ.get("GAUGEHOST_MUTANTS", "300"))


def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    n = struct.unpack_from("<H", data, pe + 6)[0]
    opt = struct.unpack_from("<H", data, pe + 20)[0]
    out = []
    for i in range(n):
        s = pe + 24 + opt + 40 * i
        name = data[s:s + 8].rstrip(b"\0").decode("latin-1")
        vsize, va, rsize, rptr = struct.unpack_from("<IIII", data, s + 8)
        out.append((name, va, rptr, rsize))
    return out


def mutate(data, rng):
    b = bytearray(data)
    secs = [s for s in sections(data) if s[3] > 0]
    kind = rng.randrange(4)
    for _ in range(rng.randint(1, 4)):
        if kind == 0:      # any byte of the file
            pos = rng.randrange(len(b))
            b[pos] = rng.randrange(256)
        elif kind == 1:    # a byte in the data sections, where the records live
            s = rng.choice([s for s in secs if s[0] in (".data", ".rdata", ".rsrc")] or secs)
            b[s[2] + rng.randrange(s[3])] = rng.randrange(256)
        elif kind == 2:    # an aligned word of .data: a pointer or a count gone wrong
            s = [s for s in secs if s[0] == ".data"] or secs
            s = s[0]
            pos = s[2] + rng.randrange(s[3] // 4) * 4
            word = rng.choice([0, 1, 0xFFFFFFFF, rng.randrange(1 << 32), struct.unpack_from("<I", b, pos)[0] + rng.choice([4, -4, 0x1000, 44])])
            struct.pack_into("<I", b, pos, word & 0xFFFFFFFF)
        else:              # a byte of code
            s = [s for s in secs if s[0] == ".text"] or secs
            s = s[0]
            b[s[2] + rng.randrange(s[3])] = rng.randrange(256)
    return bytes(b)


SLOW = []


def run_mutant(path):
    results = []
    for cmd in (["inspect", path], ["render", path, "-o", path + ".png"]):
        start = time.time()
        rc, out, err = host(cmd[0], *cmd[1:], "--timeout", "3", timeout=60)
        SLOW.append((time.time() - start, cmd[0], os.path.basename(path), rc, (err.strip().splitlines() or [""])[-1][:160]))
        if rc == 0:
            ok = cmd[0] == "inspect" and "bitmaps (" in out or cmd[0] == "render" and os.path.exists(path + ".png")
        else:
            ok = rc in (2, 3, 4) and "gaugehost: error:" in err
        results.append((ok, cmd[0], rc, err.strip()[-300:]))
    return path, results


def test_survive(tmp):
    mods = [m for m in ("quadrel", "lumivane", "monovue", "wheelgard") if built(m)]
    if not mods:
        pytest.skip("no module is built")
    rng = random.Random(6)
    jobs = []
    mdir = os.path.join(tmp, "mutants")
    os.makedirs(mdir)
    for i in range(MUTANTS):
        name = mods[i % len(mods)]
        data = open(module(name), "rb").read()
        p = os.path.join(mdir, "%s-%03d.gau" % (name, i))
        open(p, "wb").write(mutate(data, rng))
        jobs.append(p)
    bad, outcomes = [], {"picture": 0, "error": 0}
    host("inspect", module(mods[0]))   # the Wine server up before the runs race to start it
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for path, results in pool.map(run_mutant, jobs):
            for ok, cmd, rc, err in results:
                if not ok:
                    bad.append("%s %s: exit %s: %s" % (cmd, os.path.basename(path), rc, err))
                outcomes["picture" if rc == 0 else "error"] += 1
    print("mutations: %d of %d mutated modules survived inspect and render (%d pictures or listings, %d clear errors)"
          % (MUTANTS - len({b.split()[1] for b in bad}), MUTANTS, outcomes["picture"], outcomes["error"]))
    for t in sorted(SLOW, reverse=True)[:5]:
        print("  slowest: %.1f s %s %s exit %s %s" % t)
    assert not bad, "%d runs crashed or hung:\n  %s" % (len(bad), "\n  ".join(bad[:20]))
