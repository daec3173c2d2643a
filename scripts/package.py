#!/usr/bin/python3
"""Writes DIST/gauge-panel-<version>.zip (the version from VERSION): the four
modules under Gauges/, the example panel under Panel/, the panel host under
Tools/ (gaugehost.exe, stripped, and its guide README.txt) and INSTALL.txt,
all in a folder gauge-panel-<version>/. Entries carry a fixed date, so the
same files give the same archive; an archive that would not change is not
rewritten.

    scripts/package.py [DIST [GAUGEHOST.EXE]]
"""
import io
import os
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULES = ("lumivane", "quadrel", "monovue", "wheelgard")
DATE = (2000, 1, 1, 0, 0, 0)
# The oldest Windows that gaugehost.exe runs on, as its imports and its
# header's subsystem version give it (tests/native/artifact_test.cpp holds
# the exe to that).
WINDOWS = "7"


def text(path, version):
    """A text of docs/ as the archive carries it: versions filled in,
    Windows line ends."""
    with open(path, encoding="utf-8") as f:
        t = f.read().replace("@VERSION@", version).replace("@WINDOWS@", WINDOWS)
    return t.replace("\n", "\r\n").encode("utf-8")


def stripped(exe):
    """The program without its symbols (a copy; the build keeps its own). The
    header's time stamp is the entries' date, so the same program gives the
    same bytes."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "gaugehost.exe")
        env = dict(os.environ, SOURCE_DATE_EPOCH="946684800")   # DATE
        subprocess.run(["i686-w64-mingw32-strip", "-o", out, exe], check=True, env=env)
        with open(out, "rb") as f:
            return f.read()


def contents(dist, exe, version):
    top = "gauge-panel-%s/" % version
    files = [(top + "INSTALL.txt", text(os.path.join(ROOT, "docs", "install.txt"), version))]
    for m in MODULES:
        with open(os.path.join(dist, m + ".gau"), "rb") as f:
            files.append((top + "Gauges/" + m + ".gau", f.read()))
    for name in ("panel.cfg", "panel.bmp"):
        with open(os.path.join(ROOT, "docs", "panel", name), "rb") as f:
            data = f.read()
        if name.endswith(".cfg"):   # the simulator's files have Windows line ends
            data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        files.append((top + "Panel/" + name, data))
    files.append((top + "Tools/gaugehost.exe", stripped(exe)))
    files.append((top + "Tools/README.txt", text(os.path.join(ROOT, "docs", "windows.txt"), version)))
    return files


def archive(files):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files:
            info = zipfile.ZipInfo(name, DATE)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            z.writestr(info, data)
    return out.getvalue()


def main(dist, exe):
    with open(os.path.join(ROOT, "VERSION")) as f:
        version = f.read().strip()
    missing = [m for m in MODULES if not os.path.exists(os.path.join(dist, m + ".gau"))]
    if missing:
        print("package: %s not built; no archive" % ", ".join(m + ".gau" for m in missing), file=sys.stderr)
        return 1
    if not os.path.exists(exe):
        print("package: %s is not built; no archive" % exe, file=sys.stderr)
        return 1
    data = archive(contents(dist, exe, version))
    path = os.path.join(dist, "gauge-panel-%s.zip" % version)
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return 0
    except OSError:
        pass
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)
    print("wrote %s (%d bytes)" % (path, len(data)))
    return 0


if __name__ == "__main__":
    build = os.environ.get("GAUGE_BUILD", "build")
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "dist"),
                  sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, build, "win32", "bin", "gaugehost.exe")))
