"""Byte-mutated copies of the shipped modules, the same for the same seed:
the host tests feed them to inspect, render and check."""
import json
import os
import random
import struct

import pytest

from support import DIST, batch, built

MODULES = ("quadrel", "lumivane", "monovue", "wheelgard")
_sections = {}


def module_sections(mods):
    """{module: [(name, rva, file offset, raw size)]}: each built module's
    sections as the host reads them (inspect --json), once per module and in
    one batch."""
    missing = [m for m in mods if m not in _sections]
    if missing:
        jobs = [["inspect", os.path.join(DIST, m + ".gau"), "--json", "--no-run"] for m in missing]
        for m, (rc, out, err) in zip(missing, batch(jobs)):
            assert rc == 0, "inspect %s: exit %s: %s" % (m, rc, err)
            _sections[m] = [(s["name"], s["rva"], s["fileOffset"], s["rawSize"]) for s in json.loads(out)["sections"]]
    return {m: _sections[m] for m in mods}


def mutate(data, sections, rng):
    b = bytearray(data)
    secs = [s for s in sections if s[3] > 0]
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


def write_mutants(folder, seed, count):
    """`count` mutated copies of the built modules in turn, written to
    `folder` as MODULE-NNN.gau; their paths. Skips the test when no module
    is built."""
    mods = [m for m in MODULES if built(m)]
    if not mods:
        pytest.skip("no module is built")
    rng = random.Random(seed)
    os.makedirs(folder, exist_ok=True)
    originals = {m: open(os.path.join(DIST, m + ".gau"), "rb").read() for m in mods}
    sections = module_sections(mods)
    paths = []
    for i in range(count):
        name = mods[i % len(mods)]
        p = os.path.join(folder, "%s-%03d.gau" % (name, i))
        with open(p, "wb") as f:
            f.write(mutate(originals[name], sections[name], rng))
        paths.append(p)
    return paths
