"""Byte-mutated copies of the real modules (fixed seed) through inspect and
render: each ends in a picture, a listing or a clear error."""
import concurrent.futures
import os
import random
import struct
import time

import pytest

from support import batch, built, module

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


def judge(cmd, path, rc, out, err):
    """A run survived when it made its listing or picture, or ended with a
    clear error of the host."""
    if rc == 0:
        return cmd == "inspect" and "bitmaps (" in out or cmd == "render" and os.path.exists(path + ".png")
    return rc in (2, 3, 4) and "gaugehost: error:" in err


def test_survive(tmp):
    mods = [m for m in ("quadrel", "lumivane", "monovue", "wheelgard") if built(m)]
    if not mods:
        pytest.skip("no module is built")
    rng = random.Random(6)
    paths = []
    mdir = os.path.join(tmp, "mutants")
    os.makedirs(mdir)
    for i in range(MUTANTS):
        name = mods[i % len(mods)]
        data = open(module(name), "rb").read()
        p = os.path.join(mdir, "%s-%03d.gau" % (name, i))
        open(p, "wb").write(mutate(data, rng))
        paths.append(p)
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
