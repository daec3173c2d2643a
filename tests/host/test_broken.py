"""Deliberately broken modules (tests/host/modules/) and damaged files: each
ends with a clear error, never with the host taken down."""
import os

import pytest

from support import BROKEN, built, host, module, read_png

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


def test_control_module_renders(tmp):
    out = os.path.join(tmp, "control.png")
    rc, _, err = host("render", os.path.join(BROKEN, "control.gau"), "-o", out)
    assert rc == 0, "exit %s: %s" % (rc, err)
    w, h, px = read_png(out)
    assert (w, h) == (4, 4) and px[0, 0] == (192, 128, 64), "picture %dx%d %r" % (w, h, px[0, 0])


def test_stack_skew_survives(tmp):
    # A routine that removes the wrong number of bytes and clobbers the
    # callee-saved registers does not take the host down.
    rc, out, err = host("render", os.path.join(BROKEN, "stack_skew.gau"), "--frames", "3",
                        "-o", os.path.join(tmp, "skew.png"))
    assert rc == 0, "exit %s: %s" % (rc, err)


@pytest.mark.parametrize("name", BROKEN_EXPECT)
def test_broken(name, tmp):
    code, text = BROKEN_EXPECT[name]
    for cmd in (["inspect"], ["render", "-o", os.path.join(tmp, name + ".png")]):
        rc, out, err = host(cmd[0], os.path.join(BROKEN, name + ".gau"), "--timeout", "2", *cmd[1:])
        if cmd[0] == "inspect" and name in DRAWING_ONLY:
            # value routines run only when the gauge is drawn
            assert rc == 0, "inspect: exit %s: %s" % (rc, err)
            continue
        assert rc == code and text in err, "%s: exit %s, expected %s with %r: %s" % (cmd[0], rc, code, text, err)
        assert not os.path.exists(os.path.join(tmp, name + ".png")), "a picture despite the error"


def test_files(tmp):
    path = module("quadrel") if built("quadrel") else os.path.join(BROKEN, "control.gau")
    data = open(path, "rb").read()
    trunc = os.path.join(tmp, "truncated.gau")
    open(trunc, "wb").write(data[:len(data) // 3])
    rc, _, err = host("inspect", trunc)
    assert rc == 2 and "cannot load" in err, "truncated: exit %s: %s" % (rc, err)
    rc, _, err = host("inspect", os.path.join(tmp, "absent.gau"))
    assert rc == 2 and "cannot open" in err, "absent: exit %s: %s" % (rc, err)
    noexp = os.path.join(tmp, "nolinkage.gau")
    open(noexp, "wb").write(data.replace(b"Linkage\0", b"Linkagf\0"))
    rc, _, err = host("render", noexp, "-o", os.path.join(tmp, "x.png"))
    assert rc == 2 and "exports no record named Linkage" in err, "no Linkage: exit %s: %s" % (rc, err)
