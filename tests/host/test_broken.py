"""Deliberately broken modules (tests/host/modules/) and damaged files: each
ends with a clear error, never with the host taken down. What is asserted
holds wherever 32-bit code runs: natively, or under emulation where a write
fault may arrive as another exception with no access address."""
import os

import pytest

from support import BROKEN, batch, built, host, module, read_png

BROKEN_EXPECT = {
    # name: (exit code, texts the error must contain)
    "root_outside": (2, ["element 1 (root) at address 0x10"]),
    "cycle": (2, ["cycle"]),
    "unterminated_children": (2, ["child list at offset 0x4000: not terminated"]),
    "bad_kind": (2, ["unknown element kind 9"]),
    "mouse_unclosed": (2, ["end of list while parent entry 1 is open"]),
    "handler_in_data": (2, ["is not in the module's code"]),
    "header_version": (2, ["unsupported header version 700"]),
    "name_unterminated": (2, ["(gauge name): text at offset"]),
    "fault_install": (2, ["installRoutine: module code faulted: exception 0x", " at module offset 0x"]),
    "hang_update": (4, ["updateRoutine did not return within 2 s"]),
    "unknown_service": (2, ["service slot 50"]),
    "bad_var_argument": (2, ["initializeModuleVar: ModuleVar: pointer 0x10 lies outside"]),
    "text_overrun": (2, ["element 2 value routine wrote past the end of its 256-byte text buffer"]),
    "text_runaway": (2, ["element 2 value routine wrote past the end of its 256-byte text buffer",
                         "module code faulted: exception 0x"]),
    "no_import_table": (2, ["exports no record named ImportTable"]),
    "value_routine_fault": (2, ["element 2 value routine: module code faulted: exception 0x", " at module offset 0x"]),
    "needle_table_outside": (2, ["point table: pointer 0x7FFF0000 lies outside"]),
    # Module code runs on a stack of its own: a write above a routine's
    # frame is that call's fault, never the host's crash after it returns.
    "install_above_frame": (2, ["installRoutine wrote above its stack frame into the host's stack "
                                "(bytes +0 to +15 above its arguments)"]),
    "stack_runaway": (2, ["installRoutine wrote above its stack frame into the host's stack (bytes +0 to +",
                          "above its arguments), and faulted: module code faulted: exception 0x"]),
    "value_above_frame": (2, ["element 2 value routine wrote above its stack frame into the host's stack "
                              "(bytes +0 to +15 above its arguments)"]),
    # A fault in a system library that has no handler for it ends the call
    # on the module's stack as on the host's.
    "system_fault": (2, ["installRoutine: module code faulted: exception 0x", " in ntdll.dll"]),
    # A registry function the host does not know cannot return: the call ends.
    "registry_unknown": (2, ["installRoutine: module called RegDisablePredefinedCache (ADVAPI32.dll), a registry "
                             "function this host does not answer"]),
}

DRAWING_ONLY = {"text_overrun", "text_runaway", "value_routine_fault", "value_above_frame"}

# Broken mouse handlers, clicked: `run` of CLICKS (name: exit code, texts).
CLICKS = "click 1 1\nframe\nclick 1 1\nframe\n"
CLICKED_EXPECT = {
    "control": (0, []),
    "mouse_above_frame": (2, ["mouse handler of entry 2 wrote above its stack frame into the host's stack "
                              "(bytes +0 to +15 above its arguments)"]),
    "point_overrun": (2, ["mouse handler of entry 2 wrote past the end of its 8-byte mouse point"]),
    # The handler keeps the pointer; the next updateRoutine writes through it.
    "point_kept": (2, ["updateRoutine wrote to the mouse point handed to mouse handler of entry 2, after that "
                       "handler had returned (the pointer was kept)"]),
}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Every broken module through inspect and render, in one batch."""
    d = tmp_path_factory.mktemp("broken")
    jobs = {}
    for name in BROKEN_EXPECT:
        jobs[(name, "inspect")] = ["inspect", os.path.join(BROKEN, name + ".gau"), "--timeout", "2"]
        jobs[(name, "render")] = ["render", os.path.join(BROKEN, name + ".gau"), "--timeout", "2",
                                  "-o", str(d / (name + ".png"))]
    jobs[("control", "render")] = ["render", os.path.join(BROKEN, "control.gau"), "-o", str(d / "control.png")]
    clicks = d / "clicks.txt"
    clicks.write_text(CLICKS)
    for name in CLICKED_EXPECT:
        jobs[(name, "run")] = ["run", os.path.join(BROKEN, name + ".gau"), str(clicks), "--timeout", "2"]
    jobs[("stack_skew", "render")] = ["render", os.path.join(BROKEN, "stack_skew.gau"), "--frames", "3",
                                      "-o", str(d / "skew.png")]
    results = dict(zip(jobs, batch(list(jobs.values()))))
    return d, results


def test_control_module_renders(runs):
    d, results = runs
    rc, _, err = results[("control", "render")]
    assert rc == 0, "exit %s: %s" % (rc, err)
    w, h, px = read_png(str(d / "control.png"))
    assert (w, h) == (4, 4) and px[0, 0] == (192, 128, 64), "picture %dx%d %r" % (w, h, px[0, 0])


def test_stack_skew_survives_and_is_named(runs):
    # A routine that removes the wrong number of bytes and clobbers the
    # callee-saved registers does not take the host down, and the host says
    # which routine broke the calling convention.
    rc, out, err = runs[1][("stack_skew", "render")]
    assert rc == 0, "exit %s: %s" % (rc, err)
    assert "gaugehost: warning: updateRoutine broke the calling convention: it removed 8 bytes more" in err, err
    assert "changed callee-saved ebx, esi, edi, ebp" in err, err


@pytest.mark.parametrize("name", BROKEN_EXPECT)
def test_broken(name, runs):
    d, results = runs
    code, texts = BROKEN_EXPECT[name]
    for cmd in ("inspect", "render"):
        rc, out, err = results[(name, cmd)]
        if cmd == "inspect" and name in DRAWING_ONLY:
            # value routines run only when the gauge is drawn
            assert rc == 0, "inspect: exit %s: %s" % (rc, err)
            continue
        assert rc == code and all(t in err for t in texts), \
            "%s: exit %s, expected %s with %r: %s" % (cmd, rc, code, texts, err)
        assert not os.path.exists(str(d / (name + ".png"))), "a picture despite the error"


@pytest.mark.parametrize("name", CLICKED_EXPECT)
def test_broken_mouse_handler(name, runs):
    code, texts = CLICKED_EXPECT[name]
    rc, out, err = runs[1][(name, "run")]
    assert rc == code and all(t in err for t in texts), "exit %s, expected %s with %r: %s" % (rc, code, texts, err)
    # The click reached the handler (its key event) before anything failed.
    assert "service 36 sendKeyEvent(66770, 0)" in out, out[-1500:]


def test_same_error_outside_a_batch(tmp):
    # The batch and a command of its own report a fault alike.
    rc, _, err = host("render", os.path.join(BROKEN, "fault_install.gau"), "-o", os.path.join(tmp, "x.png"))
    assert rc == 2 and "installRoutine: module code faulted: exception 0x" in err, "exit %s: %s" % (rc, err)


def test_files(tmp):
    path = module("quadrel") if built("quadrel") else os.path.join(BROKEN, "control.gau")
    data = open(path, "rb").read()
    trunc = os.path.join(tmp, "truncated.gau")
    open(trunc, "wb").write(data[:len(data) // 3])
    noexp = os.path.join(tmp, "nolinkage.gau")
    open(noexp, "wb").write(data.replace(b"Linkage\0", b"Linkagf\0"))
    (rc1, _, err1), (rc2, _, err2), (rc3, _, err3) = batch([
        ["inspect", trunc],
        ["inspect", os.path.join(tmp, "absent.gau")],
        ["render", noexp, "-o", os.path.join(tmp, "x.png")],
    ])
    assert rc1 == 2 and "cannot load" in err1, "truncated: exit %s: %s" % (rc1, err1)
    assert rc2 == 6 and "cannot open" in err2, "absent: exit %s: %s" % (rc2, err2)
    assert rc3 == 2 and "exports no record named Linkage" in err3, "no Linkage: exit %s: %s" % (rc3, err3)
