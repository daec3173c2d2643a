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


class Machine:
    """The prefix, the unpacked release in C:\\Panel Wörk\\gauge-panel-V\\, and
    a way to type commands there."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="gaugehost-windows-user-")
        self.prefix = os.path.join(self.root, "prefix")
        subprocess.run(["cp", "-a", os.environ["WINEPREFIX"], self.prefix], check=True)
        self.env = dict(os.environ, WINEPREFIX=self.prefix)
        # A server of its own for the whole test module (starting one per
        # command costs seconds where 32-bit code is emulated).
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)
        self.top = "gauge-panel-%s" % version()
        self.windows_dir = "C:\\%s\\%s" % (FOLDER, self.top)
        self.unix_dir = os.path.join(self.prefix, "drive_c", FOLDER, self.top)
        with zipfile.ZipFile(os.path.join(DIST, self.top + ".zip")) as z:
            z.extractall(os.path.join(self.prefix, "drive_c", FOLDER))
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
        bat = ["@echo off", 'cd /d "%s"' % self.windows_dir, "if errorlevel 1 exit /b 99"]
        for i, line in enumerate(lines):
            out = "C:\\%s-%d" % (tag, i)
            bat += ["%s > %s.out 2> %s.err" % (line, out, out), "echo %%errorlevel%% > %s.rc" % out]
        # cmd.exe reads a batch file in the console's (OEM) code page.
        with open(os.path.join(self.prefix, "drive_c", tag + ".bat"), "wb") as f:
            f.write(("\r\n".join(bat) + "\r\n").encode("cp437"))
        subprocess.run(["wine", "cmd", "/c", "C:\\%s.bat" % tag], env=self.env, timeout=timeout,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        results = []
        for i in range(len(lines)):
            base = os.path.join(self.prefix, "drive_c", "%s-%d" % (tag, i))
            read = lambda suffix: open(base + suffix, "rb").read().decode("utf-8", "replace").replace("\r\n", "\n") \
                if os.path.exists(base + suffix) else ""
            rc = read(".rc").strip()
            results.append((int(rc) if rc.lstrip("-").isdigit() else None, read(".out"), read(".err")))
        return results

    def start(self, line, tag):
        """Starts a command that goes on (serve) in cmd.exe; its output goes
        to C:\\TAG.out. Returns the process of the cmd.exe it runs in."""
        bat = ["@echo off", 'cd /d "%s"' % self.windows_dir, "%s > C:\\%s.out 2> C:\\%s.err" % (line, tag, tag)]
        with open(os.path.join(self.prefix, "drive_c", tag + ".bat"), "wb") as f:
            f.write(("\r\n".join(bat) + "\r\n").encode("cp437"))
        return subprocess.Popen(["wine", "cmd", "/c", "C:\\%s.bat" % tag], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def address_in(self, tag):
        """The http:// address a started command printed, once it has."""
        import re
        try:
            with open(os.path.join(self.prefix, "drive_c", tag + ".out"), "rb") as f:
                m = re.search(r"http://[\w.\[\]:]+/", f.read().decode("utf-8", "replace"))
        except OSError:
            return None
        return m.group(0) if m else None

    def stop(self, proc):
        """Ends a started command and everything of this machine's prefix."""
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.root, ignore_errors=True)
