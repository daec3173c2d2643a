"""The simulator's surroundings in a Wine prefix of the tests' own: the
simulator's registry values are never written (during a run, after a run
killed with SIGTERM or SIGKILL, after two runs at once, after a fault in an
install routine), no key is created where there was none, the module's
registry reads are answered as the registry answers them, and the sound
folder is prepared through wide calls: under a temporary folder whose name
the ANSI code page cannot hold the click still plays, and a folder that
cannot be prepared ends the run with an error."""
import os
import re
import signal
import subprocess
import tempfile
import time

import pytest

from serve_support import Worker
from support import BROKEN, BUILD, HOST, SCENARIOS, host, module
from windows_user import Prefix

SIM_KEY = r"HKLM\SOFTWARE\Microsoft\Microsoft Games\Flight Simulator\7.0"
GAMES_KEY = r"HKLM\SOFTWARE\Microsoft\Microsoft Games"
PROBE_KEY = r"HKCU\Software\gaugehost-probe"
PRESET = {"path": r"C:\Program Files\Simulator", "PlayerName": "Pilot"}


class RegistryPrefix(Prefix):
    """A prefix of the tests' own, with the simulator's key as the tests set it."""

    def query(self, key):
        """(exit status, what `reg query` prints of the key)."""
        return self.wine("reg", "query", key)[:2]

    def preset(self):
        """The simulator's key with its two values, as a panel maker's
        machine has it; what `reg query` prints of it."""
        self.wine("reg", "delete", GAMES_KEY, "/f")
        for name, value in PRESET.items():
            assert self.wine("reg", "add", SIM_KEY, "/v", name, "/d", value, "/f")[0] == 0
        rc, text = self.query(SIM_KEY)
        assert rc == 0 and all(v in text for v in PRESET.values()), text
        return text

    def host(self, *args, timeout=120):
        return host(*args, timeout=timeout, env=self.env)


@pytest.fixture(scope="module")
def prefix():
    p = RegistryPrefix("registry")
    try:
        yield p
    finally:
        p.end()


class Session(Worker):
    """A `gaugehost session` (serve's worker, driven directly) in the test
    prefix."""

    def __init__(self, prefix):
        self.err = tempfile.TemporaryFile()
        super().__init__(timeout=20, env=prefix.env, stderr=self.err)

    def ask(self, op, **fields):
        records = self.request(op, **fields)
        if not records or records[-1][0]["type"] != "done":
            self.err.seek(0)
            raise AssertionError("the session ended or stalled: %s" % self.err.read().decode("utf-8", "replace"))
        return [r for r, _ in records]

    def click_stab(self):
        """lumivane loaded on a lit panel and its STAB switch clicked: the
        records of the click."""
        r = self.ask("load", path=module("lumivane"), vars=[[753, 1], [10, 1]], frames=1)
        assert [x["type"] for x in r if x["type"] in ("loaded", "error")] == ["loaded"], r
        r = self.ask("mouse", x=10, y=50, event="click")
        assert [k["id"] for k in r if k["type"] == "key"] == [66376], r
        assert len([x for x in r if x["type"] == "sound"]) == 1, "the STAB click played no sound: %r" % r
        return r

    def quit(self):
        self.ask("quit")
        assert self.proc.wait(60) == 0

    def kill(self, sig):
        self.proc.send_signal(sig)
        self.proc.wait(60)


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGKILL], ids=["SIGTERM", "SIGKILL"])
def test_values_unchanged_during_a_run_and_after_it_is_killed(prefix, sig):
    before = prefix.preset()
    s = Session(prefix)
    s.click_stab()
    assert prefix.query(SIM_KEY) == (0, before), "changed while the session runs"
    s.kill(sig)
    time.sleep(1)
    assert prefix.query(SIM_KEY) == (0, before), "changed after the session was killed"


def test_values_unchanged_by_two_runs_at_once(prefix):
    before = prefix.preset()
    first, second = Session(prefix), Session(prefix)
    first.click_stab()
    second.click_stab()
    first.click_stab()
    assert prefix.query(SIM_KEY) == (0, before), "changed while both sessions run"
    second.quit()
    assert prefix.query(SIM_KEY) == (0, before), "changed when the second ended"
    first.quit()
    assert prefix.query(SIM_KEY) == (0, before), "changed when both had ended"


def probe_events(out):
    """The registry probe's results: the parameter of each key event
    0x11000 + step, in order."""
    found = re.findall(r"sendKeyEvent\((\d+), (-?\d+)\)", out)
    assert [int(i) for i, _ in found] == list(range(0x11000, 0x11000 + len(found))), found
    return [int(v) for _, v in found]


def probe_expected(path):
    """What the probe hears, step by step, with `path` the folder the host
    answers for the simulator's path value."""
    need = len(path.encode("cp1252")) + 1
    return [
        0,            # RegOpenKeyExA(HKLM, the simulator's key)
        0, 1, 10,     # RegQueryValueExA(PlayerName) without a buffer: ok, REG_SZ, 10 bytes
        234, need,    # path into 4 bytes: ERROR_MORE_DATA and the size needed
        0, 1,         # "PATH" into 260 bytes: found in any case, NUL-terminated, as long as said
        2,            # a value that is not there
        0, 1,         # RegQueryValueExW(path): twice the bytes, NUL-terminated
        0, 1,         # RegEnumValueA(1): "path", 4 characters, its bytes
        259,          # RegEnumValueA(2): no more items
        5, 5,         # RegSetValueExA(path), RegDeleteValueA(PlayerName): refused
        5,            # RegCreateKeyExA(HKCU\Software\gaugehost-probe): refused
        0, 5,         # HKLM\SOFTWARE\Microsoft opened with KEY_ALL_ACCESS: read-only, a write refused
        0, 0, 1,      # the simulator's key opened below it: answered the same
        0,            # RegOpenKeyA
        0, 1,         # RegGetValueA(HKLM, the key, PlayerName, REG_SZ): 10 bytes, "gaugehost"
        1630,         # RegGetValueA(path) as a DWORD: ERROR_UNSUPPORTED_TYPE
        0, 0, 2, 10, 1,  # RegQueryInfoKeyA: no subkeys, 2 values, the longest name 10, the largest value `need`
        259,          # RegEnumKeyExA: no subkeys
        0, 1,         # RegQueryValueA: the default value, not set, reads as an empty text
        5,            # RegCreateKeyA(Sub): refused
        87,           # RegQueryValueExA with a reserved pointer: invalid parameter
        0, 0, 0, 0,   # four keys closed
        6,            # a closed key: invalid handle
    ]


def stand_in_path(out):
    m = re.search(r"registry reads are answered by the host: path = (.*), PlayerName = gaugehost", out)
    assert m, out[-2000:]
    return m.group(1)


@pytest.mark.parametrize("name", ["registry_probe", "registry_fault"])
def test_registry_reads_answered_and_writes_refused(prefix, tmp, name):
    # The probe reads the simulator's key in every way lumivane does and
    # more, and tries to write; registry_fault then faults in its install
    # routine. Neither changes the registry.
    before = prefix.preset()
    frame = os.path.join(tmp, "frame.txt")
    open(frame, "w").write("frame\n")
    rc, out, err = prefix.host("run", os.path.join(BROKEN, name + ".gau"), frame)
    if name == "registry_fault":
        assert rc == 2 and "installRoutine: module code faulted: exception 0x" in err, "exit %s: %s" % (rc, err)
    else:
        assert rc == 0, "exit %s: %s" % (rc, err)
    assert probe_events(out) == probe_expected(stand_in_path(out))
    assert "registry: RegSetValueExA -> 5 (access denied), refused: the host writes nothing to the registry" in out
    assert prefix.query(SIM_KEY) == (0, before)
    assert prefix.query(PROBE_KEY)[0] != 0, "a key was created"
    assert "gaugehost-probe" not in prefix.query(r"HKLM\SOFTWARE\Microsoft")[1], "a value was written"


def test_no_key_is_created_where_there_was_none(prefix, tmp):
    prefix.wine("reg", "delete", GAMES_KEY, "/f")
    assert prefix.query(GAMES_KEY)[0] != 0
    frame = os.path.join(tmp, "frame.txt")
    open(frame, "w").write("frame\n")
    # The STAB walkthrough: the click finds its sound through the values
    # the host answers, and plays it.
    rc, out, err = prefix.host("run", module("lumivane"), os.path.join(SCENARIOS, "lumivane-stab.txt"))
    assert rc == 0, "exit %s: %s" % (rc, err)
    after_click = out.split(" 11 click 10 50", 1)[-1].split(" 12 ", 1)[0]
    assert "sound: buffer Play(flags 0) -> 0x00000000" in after_click, after_click
    assert prefix.host("run", os.path.join(BROKEN, "registry_probe.gau"), frame)[0] == 0
    assert prefix.host("run", os.path.join(BROKEN, "registry_fault.gau"), frame)[0] == 2
    s = Session(prefix)
    s.click_stab()
    s.kill(signal.SIGKILL)
    time.sleep(1)
    assert prefix.query(GAMES_KEY)[0] != 0, "the simulator's key was created: %s" % prefix.query(GAMES_KEY)[1]
    assert prefix.query(PROBE_KEY)[0] != 0


# ---- the sound folder --------------------------------------------------------------------------------

# Greek and Japanese: no ANSI code page has both.
FOREIGN = "Δοκιμή-テスト"


def run_with_temp(prefix, temp, *args):
    """gaugehost with TEMP and TMP set to `temp` for the run (through cmd,
    as Wine takes the temporary folder from the registry otherwise)."""
    exe = "Z:" + os.path.join(BUILD, "win32", "bin", "gaugehost.exe").replace("/", "\\")
    line = "set TEMP=%s&& set TMP=%s&& %s %s" % (temp, temp, exe, subprocess.list2cmdline(args))
    return prefix.wine("cmd", "/c", line, timeout=180)


def test_click_plays_under_a_temporary_folder_the_ansi_code_page_cannot_name(prefix):
    prefix.preset()
    os.makedirs(os.path.join(prefix.drive_c, "gaugehost-tests", FOREIGN), exist_ok=True)
    temp = "C:\\gaugehost-tests\\" + FOREIGN
    rc, out, err = run_with_temp(prefix, temp, "run", module("lumivane"), os.path.join(SCENARIOS, "lumivane-stab.txt"))
    assert rc == 0, "exit %s: %s%s" % (rc, out[-2000:], err)
    folder = temp + "\\gaugehost-sim"
    assert "simulator stand-in: window FS98MAIN created; %s\\Sound\\kolt_toggle_light.wav written" % folder in out, out
    assert re.search(re.escape(folder) + r" cannot be named in the ANSI code page \d+ within a path's length: the "
                     r"module is given its short name", out), out[:2000]
    path = stand_in_path(out)
    assert path.isascii() and path.startswith("C:\\") and "~" in path, path
    after_click = out.split(" 11 click 10 50", 1)[-1].split(" 12 ", 1)[0]
    assert "sound: buffer Play(flags 0) -> 0x00000000" in after_click, after_click
    wav = os.path.join(prefix.drive_c, "gaugehost-tests", FOREIGN, "gaugehost-sim", "Sound", "kolt_toggle_light.wav")
    assert open(wav, "rb").read(4) == b"RIFF"


def test_a_folder_that_cannot_be_prepared_fails_the_run(prefix):
    # TEMP names a file: the folder cannot be made below it.
    os.makedirs(os.path.join(prefix.drive_c, "gaugehost-tests"), exist_ok=True)
    open(os.path.join(prefix.drive_c, "gaugehost-tests", "a-file"), "w").write("not a folder")
    temp = "C:\\gaugehost-tests\\a-file"
    rc, out, err = run_with_temp(prefix, temp, "run", module("lumivane"), os.path.join(SCENARIOS, "lumivane-stab.txt"))
    assert rc == 3, "exit %s: %s%s" % (rc, out[-2000:], err)
    assert "gaugehost: error: cannot prepare the simulator's sound folder %s\\gaugehost-sim: cannot create " % temp \
        in err, err
    assert "written" not in out and "scenario passed" not in out, out
