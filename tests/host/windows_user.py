"""A panel maker's Windows machine, for the tests that use the release as
one would: a Wine prefix of its own (a copy of the project's, made in a
second or two), the release archive unpacked into a folder whose name holds
a space and a non-ASCII character, and commands typed in cmd.exe through a
batch file, so that quotes and backslashes stay as typed."""
import os
import shutil
import subprocess
import tempfile
import zipfile

from support import DIST, ROOT

FOLDER = "Panel Wörk"          # C:\Panel Wörk: a space, and a character outside ASCII


def version():
    with open(os.path.join(ROOT, "VERSION")) as f:
        return f.read().strip()


QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Prefix:
    """A Wine prefix of the tests' own under a temporary folder: a copy of
    the project's (setup made it), so that it costs a second rather than
    the half minute (minutes emulated) of a new one, and no first start of
    a prefix races the tests; it has its own registry and its own server,
    which stays up while the tests use it."""

    def __init__(self, tag):
        self.root = tempfile.mkdtemp(prefix="gaugehost-%s-" % tag)
        self.path = os.path.join(self.root, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.path, GAUGE_WINEPREFIX=self.path)
        self.drive_c = os.path.join(self.path, "drive_c")
        project = os.environ["WINEPREFIX"]
        assert os.path.exists(os.path.join(project, "system.reg")), "no Wine prefix at " + project
        subprocess.run(["cp", "-a", "--reflink=auto", project, self.path], check=True)
        self.start_server()

    def start_server(self):
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, **QUIET)

    def end_processes(self):
        """Ends every process of the prefix, and its server."""
        subprocess.run(["wineserver", "-k"], env=self.env, **QUIET)
        subprocess.run(["wineserver", "-w"], env=self.env, **QUIET)

    def wine(self, *args, timeout=300):
        """(exit status, output, errors) of a Windows program in the prefix.
        Its output goes to files, not pipes: the prefix's own processes,
        started by the first program, would hold a pipe open."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            rc = subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                timeout=timeout).returncode
            text = []
            for f in (out, err):
                f.seek(0)
                text.append(f.read().decode("utf-8", "replace").replace("\r\n", "\n"))
        return rc, text[0], text[1]

    def end(self):
        self.end_processes()
        shutil.rmtree(self.root, ignore_errors=True)


class Machine:
    """The prefix, the unpacked release in C:\\Panel Wörk\\gauge-panel-V\\, and
    a way to type commands there."""

    def __init__(self):
        # A server of its own for the whole test module (starting one per
        # command costs seconds where 32-bit code is emulated).
        self.box = Prefix("windows-user")
        self.env = self.box.env
        self.drive_c = self.box.drive_c
        self.top = "gauge-panel-%s" % version()
        self.windows_dir = "C:\\%s\\%s" % (FOLDER, self.top)
        self.unix_dir = os.path.join(self.drive_c, FOLDER, self.top)
        with zipfile.ZipFile(os.path.join(DIST, self.top + ".zip")) as z:
            z.extractall(os.path.join(self.drive_c, FOLDER))
        self.jobs = 0

    def path(self, windows_relative):
        """The Unix path of a file named relative to the unpacked release."""
        return os.path.join(self.unix_dir, *windows_relative.split("\\"))

    def write(self, windows_relative, data):
        p = self.path(windows_relative)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def type(self, *lines, timeout=300):
        """Runs command lines, as typed, in cmd.exe from the unpacked release's
        folder. Returns, for each line, (errorlevel, stdout, stderr)."""
        self.jobs += 1
        tag = "job%d" % self.jobs
        body = ["if errorlevel 1 exit /b 99"]
        for i, line in enumerate(lines):
            out = "C:\\%s-%d" % (tag, i)
            body += ["%s > %s.out 2> %s.err" % (line, out, out), "echo %%errorlevel%% > %s.rc" % out]
        subprocess.run(self._batch(tag, body), env=self.env, timeout=timeout, **QUIET)
        results = []
        for i in range(len(lines)):
            base = os.path.join(self.drive_c, "%s-%d" % (tag, i))
            read = lambda suffix: open(base + suffix, "rb").read().decode("utf-8", "replace").replace("\r\n", "\n") \
                if os.path.exists(base + suffix) else ""
            rc = read(".rc").strip()
            results.append((int(rc) if rc.lstrip("-").isdigit() else None, read(".out"), read(".err")))
        return results

    def start(self, line, tag):
        """Starts a command that goes on (serve) in cmd.exe; its output goes
        to C:\\TAG.out. Returns the process of the cmd.exe it runs in."""
        return subprocess.Popen(self._batch(tag, ["%s > C:\\%s.out 2> C:\\%s.err" % (line, tag, tag)]), env=self.env,
                                **QUIET)

    def _batch(self, tag, body):
        """C:\\TAG.bat, which runs `body` in the unpacked release's folder;
        the command line that runs it in cmd.exe."""
        bat = ["@echo off", 'cd /d "%s"' % self.windows_dir] + body
        # cmd.exe reads a batch file in the console's (OEM) code page.
        with open(os.path.join(self.drive_c, tag + ".bat"), "wb") as f:
            f.write(("\r\n".join(bat) + "\r\n").encode("cp437"))
        return ["wine", "cmd", "/c", "C:\\%s.bat" % tag]

    def address_in(self, tag):
        """The http:// address a started command printed, once it has."""
        import re
        try:
            with open(os.path.join(self.drive_c, tag + ".out"), "rb") as f:
                m = re.search(r"http://[\w.\[\]:]+/", f.read().decode("utf-8", "replace"))
        except OSError:
            return None
        return m.group(0) if m else None

    def stop(self, proc):
        """Ends a started command and everything of this machine's prefix."""
        self.box.end_processes()
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        self.box.start_server()

    def close(self):
        self.box.end()
