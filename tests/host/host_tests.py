#!/usr/bin/env python3
"""End-to-end tests of gaugehost against the modules in dist/ (each module's
tests are skipped when it is not built), the deliberately broken modules in
BUILD/win32/broken/, and byte-mutated copies of the real modules.

Prints GoogleTest-style summary lines so that scripts/run-tests.sh counts the
results: "[  PASSED  ] N tests." and "[  FAILED  ] N tests".
"""
import concurrent.futures
import json
import os
import random
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import png  # noqa: E402

BUILD = os.environ.get("GAUGE_BUILD", "build")
if not os.path.isabs(BUILD):
    BUILD = os.path.join(ROOT, BUILD)
DIST = os.environ.get("GAUGEHOST_DIST", os.path.join(ROOT, "dist"))
HOST = os.path.join(ROOT, "gaugehost")
BROKEN = os.path.join(BUILD, "win32", "broken")
TMP = tempfile.mkdtemp(prefix="gaugehost-tests-")
MUTANTS = int(os.environ.get("GAUGEHOST_MUTANTS", "300"))

passed, failed = [], []


class Skip(Exception):
    pass


def module(name):
    """Path of a built module; a test of a module that is not built is skipped."""
    p = os.path.join(DIST, name + ".gau")
    if not os.path.exists(p):
        raise Skip(name + ".gau is not built")
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


def test(name):
    def wrap(fn):
        def run():
            import time
            start = time.time()
            try:
                fn()
                passed.append(name)
                print("[       OK ] %s (%d ms)" % (name, (time.time() - start) * 1000))
            except Skip as e:
                print("[  SKIPPED ] %s (%s)" % (name, e))
            except AssertionError as e:
                failed.append(name)
                print("%s: Failure\n%s\n[  FAILED  ] %s" % (name, e, name))
        TESTS.append(run)
        return fn
    return wrap


TESTS = []


def check(cond, msg):
    if not cond:
        raise AssertionError(msg)


# ---------------------------------------------------------------- inspect

def inspect_json(path):
    rc, out, err = host("inspect", path, "--json")
    check(rc == 0, "inspect %s: exit %s: %s" % (path, rc, err))
    return json.loads(out)


EXPECT = {
    # module: (version, elements, mouse entry depths, module vars, bitmap ids with depth)
    "quadrel": (610, 5, [0, 1, 2, 2, 2, 2, 1, 0, 0], [], {4096: 8, 8192: 8, 12288: 8, 16384: 8, 20480: 8}),
    "lumivane": (610, 7, [0, 1, 1, 1, 1, 1, 0, 0], [10, 753], {4096: 8, 4099: 8, 4608: 8, 4611: 8}),
    "monovue": (800, 29, [0, 0, 0], [324, 325], None),
    "wheelgard": (800, 9, [0, 1, 1, 1, 0, 0], [333, 334, 332], None),
}


def inspect_test(name):
    @test("inspect.%s" % name)
    def _():
        path = module(name)
        version, count, depths, mvars, bitmaps = EXPECT[name]
        d = inspect_json(path)
        check(d["header"]["version"] == version and d["header"]["name"] == name, "header: %r" % d["header"])
        check(d["linkage"]["moduleId"] == 0x13 and len(d["linkage"]["gauges"]) == 1, "linkage: %r" % d["linkage"])
        check(d["importTable"]["id"] == 0x0F and d["importTable"]["services"] == 0, "import table: %r" % d["importTable"])
        check(len(d["elements"]) == count, "%d elements, expected %d" % (len(d["elements"]), count))
        check(d["elements"][0]["kind"] == "static" and d["elements"][0]["parent"] == 0, "root: %r" % d["elements"][0])
        check([m["depth"] for m in d["mouse"]] == depths, "mouse nesting %r" % [m["depth"] for m in d["mouse"]])
        check([v["id"] for v in d["moduleVars"]] == mvars, "module vars %r" % d["moduleVars"])
        if bitmaps:
            got = {b["id"]: b["bits"] for b in d["bitmaps"]}
            check(got == bitmaps, "bitmaps %r" % got)
        if version == 800:
            # a chain: each element the only child of the one before it
            check([e["depth"] for e in d["elements"]] == list(range(count)), "not a chain")
            check(all(b["bits"] == 24 for b in d["bitmaps"]), "800 bitmaps are 24-bit")
        text_rc, text, err = host("inspect", path)
        check(text_rc == 0 and "elements (%d)" % count in text and "bitmaps (" in text, "text inspect: %s" % err)


for _m in EXPECT:
    inspect_test(_m)


@test("inspect.monovue_records")
def _():
    path = module("monovue")
    d = inspect_json(path)
    n1 = d["elements"][1]
    check(n1["kind"] == "needle" and n1["var"] == 624, "element 2: %r" % n1)
    check([(p["value"], p["x"], p["y"]) for p in n1["points"]] == [(0, 13, 43), (60, 13, 17), (100, 38, 17)],
          "N1 table %r" % n1["points"])
    s = d["elements"][2]
    check(s["kind"] == "string" and s["box"] == [188, 12] and s["colours"][2] == 0xFFFF and s["font"] == "Arial"
          and s["weight"] == 500, "element 3: %r" % s)


@test("inspect.wheelgard_start_events")
def _():
    path = module("wheelgard")
    d = inspect_json(path)
    check(d["startKeyEvents"] and all(k[0] in (66298, 66299) for k in d["startKeyEvents"]),
          "start action sends selector events: %r" % d["startKeyEvents"])


# ---------------------------------------------------------------- scenarios

def scenario_test(fname):
    name = fname[:-4]
    mod = name.split("-")[0]

    @test("scenario." + name)
    def _():
        path = module(mod)
        rc, out, err = host("run", path, os.path.join(HERE, "scenarios", fname))
        check(rc == 0, "exit %s\n%s%s" % (rc, out[-3000:], err))


for _f in sorted(os.listdir(os.path.join(HERE, "scenarios"))):
    if _f.endswith(".txt"):
        scenario_test(_f)


@test("scenario.failures_name_their_line")
def _():
    path = module("quadrel")
    s = os.path.join(TMP, "fail.txt")
    open(s, "w").write("set 128 0\nframe\nexpect pixel 5 70 255 0 255\n")
    rc, out, err = host("run", path, s)
    check(rc == 5 and "fail.txt:3:" in err, "wrong pixel: exit %s, %s" % (rc, err))
    open(s, "w").write("drag 10 10\nexpect key 65821 16384\n")
    rc, out, err = host("run", path, s)
    check(rc == 5 and "fail.txt:2:" in err and "65820" in err, "wrong key: exit %s, %s" % (rc, err))
    open(s, "w").write("click 10 10\nexpect no-key\nexpect var 128 1\n")
    rc, out, err = host("run", path, s)
    check(rc == 5 and "fail.txt:3:" in err, "click in a drag rectangle must not reach it: exit %s, %s" % (rc, err))
    open(s, "w").write("frobnicate 1\n")
    rc, out, err = host("run", path, s)
    check(rc == 2 and "unknown action" in err, "bad line: exit %s, %s" % (rc, err))


@test("scenario.scale")
def _():
    # At scale 2 the host's record of the drawn background says 270 x 200;
    # quadrel measures the pointer against that height.
    path = module("quadrel")
    s = os.path.join(TMP, "scale.txt")
    open(s, "w").write("drag 10 80\nexpect key 65820 8192\ndrag 10 160\nexpect key 65820 0\nframe\n"
                       "expect pixel 0 130 0 0 0\nexpect pixel 12 130 210 210 210\nexpect pixel 12 129 0 0 0\n"
                       "render %s\n" % os.path.join(TMP, "scale.png"))
    rc, out, err = host("run", path, s, "--scale", "2")
    check(rc == 0, "exit %s\n%s%s" % (rc, out[-1500:], err))
    w, h, _ = png.read(os.path.join(TMP, "scale.png"))
    check((w, h) == (270, 200), "picture %d x %d" % (w, h))


@test("scenario.lumivane_click_plays_and_registry_restored")
def _():
    path = module("lumivane")
    key = r"HKLM\SOFTWARE\Microsoft\Microsoft Games\Flight Simulator\7.0"
    query = lambda: subprocess.run(["wine", "reg", "query", key], capture_output=True, text=True,
                                   errors="replace").stdout
    before = query()
    rc, out, err = host("run", path, os.path.join(HERE, "scenarios", "lumivane-stab.txt"))
    check(rc == 0, "exit %s: %s" % (rc, err))
    check("SetCooperativeLevel(window of class FS98MAIN, 1) -> 0x00000000" in out, "no device on the host window")
    after_click = out.split(" 11 click 10 50", 1)[-1].split(" 12 ", 1)[0]
    for want in ("service 36 sendKeyEvent(66376, 0)", "CreateSoundBuffer(1764 bytes) -> 0x00000000",
                 "buffer Play(flags 0) -> 0x00000000"):
        check(want in after_click, "the STAB click did not log %r:\n%s" % (want, after_click))
    check(query() == before, "the simulator's registry values were not put back")


# ---------------------------------------------------------------- golden images

GOLDEN = {
    # name: (module, scenario-free render arguments)
    "quadrel-reverse": ("quadrel", ["--set", "128=-4096", "--set", "163=-4096", "--set", "198=-4096", "--set", "233=-4096"]),
    "quadrel-mixed": ("quadrel", ["--set", "128=-4096", "--set", "163=0", "--set", "198=8192", "--set", "233=16384"]),
    "lumivane-unlit-off": ("lumivane", []),
    "lumivane-lit-mixed": ("lumivane", ["--set", "753=1", "--set", "10=1", "--set", "620=1", "--set", "11=1",
                                        "--set", "621=1"]),
    "wheelgard-transit": ("wheelgard", ["--set", "332=8000", "--set", "333=16301", "--set", "334=0"]),
    "monovue-takeoff": ("monovue", ["--set", "624=96", "--set", "643=60", "--set", "662=30", "--set", "681=100",
                                    "--set", "567=1600", "--set", "577=500", "--set", "587=1100", "--set", "597=2500",
                                    "--set", "625=99", "--set", "638=40860", "--set", "791=9000", "--set", "907=10",
                                    "--set", "323=1", "--set", "324=1"]),
}
# Text boxes of the engine display, compared by region: outside them every
# pixel must match; inside, the count of text pixels may differ by 35 %.
TEXT_BOXES = {"monovue": "strings"}


def golden_test(name):
    mod, args = GOLDEN[name]

    @test("golden." + name)
    def _():
        path = module(mod)
        out = os.path.join(TMP, name + ".png")
        rc, _, err = host("render", path, "--frames", "2", *args, "-o", out)
        check(rc == 0, "render: exit %s: %s" % (rc, err))
        gold = os.path.join(HERE, "golden", name + ".png")
        if os.environ.get("GAUGEHOST_UPDATE_GOLDEN"):
            import shutil
            shutil.copy(out, gold)
        w, h, got = png.read(out)
        gw, gh, want = png.read(gold)
        check((w, h) == (gw, gh), "size %dx%d, golden %dx%d" % (w, h, gw, gh))
        boxes = []
        if mod in TEXT_BOXES:
            for e in inspect_json(path)["elements"]:
                if e["kind"] == "string":
                    boxes.append((e["x"], e["y"], e["x"] + e["box"][0], e["y"] + e["box"][1]))
        inbox = lambda x, y: any(x0 <= x < x1 and y0 <= y < y1 for x0, y0, x1, y1 in boxes)
        diff = [(x, y) for y in range(h) for x in range(w) if got[y][x] != want[y][x] and not inbox(x, y)]
        check(not diff, "%d pixels differ outside text, first at %r: %r, golden %r" %
              (len(diff), diff[0], got[diff[0][1]][diff[0][0]], want[diff[0][1]][diff[0][0]]) if diff else "")
        for x0, y0, x1, y1 in boxes:
            n = lambda img: sum(1 for y in range(y0, min(y1, h)) for x in range(x0, min(x1, w)) if img[y][x] == (255, 255, 0))
            a, b = n(got), n(want)
            check(abs(a - b) <= max(4, 0.35 * b), "text box %r: %d yellow pixels, golden %d" % ((x0, y0, x1, y1), a, b))


for _g in GOLDEN:
    golden_test(_g)


# ---------------------------------------------------------------- broken modules

BROKEN_EXPECT = {
    # name: (exit code, text the error must contain)
    "root_outside": (2, "element 1 (root) at address 0x10"),
    "cycle": (2, "cycle"),
    "unterminated_children": (2, "child list at offset 0x4000: not terminated"),
    "bad_kind": (2, "unknown element kind 9"),
    "mouse_unclosed": (2, "end of list while parent entry 1 is open"),
    "handler_in_data": (2, "is not in the module's code"),
    "header_version": (2, "unsupported header version 700"),
    "name_unterminated": (2, "(gauge name): text at offset"),
    "fault_install": (2, "installRoutine: module code faulted: exception 0xC0000005 writing 0x10"),
    "hang_update": (4, "updateRoutine did not return within 2 s"),
    "unknown_service": (2, "service slot 50"),
    "bad_var_argument": (2, "initializeModuleVar: ModuleVar: pointer 0x10 lies outside"),
    "text_overrun": (2, "wrote past the end of its 256-byte text buffer"),
    "text_runaway": (2, "value routine: module code faulted: exception 0xC0000005 writing"),
    "no_import_table": (2, "exports no record named ImportTable"),
    "value_routine_fault": (2, "value routine: module code faulted"),
    "needle_table_outside": (2, "point table: pointer 0x7FFF0000 lies outside"),
}


DRAWING_ONLY = {"text_overrun", "text_runaway", "value_routine_fault"}


@test("broken.control_module_renders")
def _():
    out = os.path.join(TMP, "control.png")
    rc, _, err = host("render", os.path.join(BROKEN, "control.gau"), "-o", out)
    check(rc == 0, "exit %s: %s" % (rc, err))
    w, h, px = png.read(out)
    check((w, h) == (4, 4) and px[0][0] == (192, 128, 64), "picture %dx%d %r" % (w, h, px[0][0]))


@test("broken.stack_skew_survives")
def _():
    # A routine that removes the wrong number of bytes and clobbers the
    # callee-saved registers does not take the host down.
    rc, out, err = host("render", os.path.join(BROKEN, "stack_skew.gau"), "--frames", "3",
                        "-o", os.path.join(TMP, "skew.png"))
    check(rc == 0, "exit %s: %s" % (rc, err))


def broken_test(name):
    @test("broken." + name)
    def _():
        code, text = BROKEN_EXPECT[name]
        for cmd in (["inspect"], ["render", "-o", os.path.join(TMP, name + ".png")]):
            rc, out, err = host(cmd[0], os.path.join(BROKEN, name + ".gau"), "--timeout", "2", *cmd[1:])
            if cmd[0] == "inspect" and name in DRAWING_ONLY:
                # value routines run only when the gauge is drawn
                check(rc == 0, "inspect: exit %s: %s" % (rc, err))
                continue
            check(rc == code and text in err, "%s: exit %s, expected %s with %r: %s" % (cmd[0], rc, code, text, err))
            check(not os.path.exists(os.path.join(TMP, name + ".png")), "a picture despite the error")


for _b in BROKEN_EXPECT:
    broken_test(_b)


@test("broken.files")
def _():
    path = module("quadrel") if built("quadrel") else os.path.join(BROKEN, "control.gau")
    data = open(path, "rb").read()
    trunc = os.path.join(TMP, "truncated.gau")
    open(trunc, "wb").write(data[:len(data) // 3])
    rc, _, err = host("inspect", trunc)
    check(rc == 2 and "cannot load" in err, "truncated: exit %s: %s" % (rc, err))
    rc, _, err = host("inspect", os.path.join(TMP, "absent.gau"))
    check(rc == 2 and "cannot open" in err, "absent: exit %s: %s" % (rc, err))
    noexp = os.path.join(TMP, "nolinkage.gau")
    open(noexp, "wb").write(data.replace(b"Linkage\0", b"Linkagf\0"))
    rc, _, err = host("render", noexp, "-o", os.path.join(TMP, "x.png"))
    check(rc == 2 and "exports no record named Linkage" in err, "no Linkage: exit %s: %s" % (rc, err))


# ---------------------------------------------------------------- mutations

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
    import time
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


@test("mutations.survive")
def _():
    mods = [m for m in ("quadrel", "lumivane", "monovue", "wheelgard") if built(m)]
    if not mods:
        raise Skip("no module is built")
    rng = random.Random(6)
    jobs = []
    mdir = os.path.join(TMP, "mutants")
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
    check(not bad, "%d runs crashed or hung:\n  %s" % (len(bad), "\n  ".join(bad[:20])))


def main():
    # Wine ends its server as soon as the last program exits, and starting it
    # again costs up to seconds per run: a command prompt of ours waiting on
    # its input keeps it up for the length of the tests.
    keeper = subprocess.Popen(["wine", "cmd.exe"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    print("[==========] Running %d tests (gaugehost)" % len(TESTS))
    try:
        for t in TESTS:
            t()
    finally:
        import shutil
        shutil.rmtree(TMP, ignore_errors=True)
        keeper.stdin.close()
        try:
            keeper.wait(timeout=20)
        except subprocess.TimeoutExpired:
            keeper.kill()
    print("[==========] %d tests ran." % len(TESTS))
    print("[  PASSED  ] %d tests." % len(passed))
    if failed:
        print("[  FAILED  ] %d tests, listed below:" % len(failed))
        for f in failed:
            print("[  FAILED  ] " + f)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
