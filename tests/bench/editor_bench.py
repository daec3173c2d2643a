#!/usr/bin/python3
"""Benchmark of the panel editor of gaugehost serve (make bench-editor), on
a panel of 40 gauges: each of the four modules ten times, in a folder of
its own.

- open: from the server started to every module running, and from the page
  asked for to every one of the 40 gauges drawn in headless Chromium (the
  server just started, and again with the server warm);
- drag: a gauge dragged in edit mode for 3 s by mouse events sent through
  the browser's own input (DevTools), while the live pictures keep coming:
  the frames a second in which the page drew the gauge where the pointer
  had it;
- save: POST /api/save after an edit, 50 times: median and worst, on the
  client's clock; also the edit's own round trip.

    tests/bench/editor_bench.py
"""
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "host"))
from serve_support import Served, browser, wait_until  # noqa: E402

DIST = os.path.join(ROOT, "dist")
MODULES = ("monovue", "lumivane", "quadrel", "wheelgard")


def forty(folder):
    """panel.cfg of 40 gauges, 100 wide each (aspect kept), in an 8 x 5 grid."""
    lines = ["// 40 gauges: each module ten times", "[Window00]", "background_color=30,34,38", "size_mm=900,600"]
    for i in range(40):
        m = MODULES[i % 4]
        lines.append("gauge%02d=%s!%s, %d, %d, 100" % (i, m, m, 10 + (i % 8) * 110, 10 + (i // 8) * 118))
    path = os.path.join(folder, "panel.cfg")
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")
    return path


def open_time(served, d):
    """Seconds from the page asked for to all 40 gauges drawn."""
    d.get("about:blank")
    t = time.monotonic()
    d.get(served.url)
    wait_until("40 gauges drawn", lambda: d.execute_script(
        "return window.gaugePanel && Object.keys(window.gaugePanel.drawn).length") == 40, 60, 0.02)
    return time.monotonic() - t


def drag_rate(d, seconds=3.0):
    """Frames a second the page drew a dragged gauge in, and input events sent."""
    d.find_element("id", "edit").click()
    wait_until("edit mode", lambda: d.execute_script("return !!document.querySelector('.editlayer')"))
    x, y = d.execute_script(
        "const r = document.querySelector(\"[data-gauge='gauge09'].gauge\").getBoundingClientRect();"
        "return [r.left + r.width / 2, r.top + r.height / 2];")
    before = d.execute_script("return Object.assign({}, window.gaugePanel.editorUi.stats)")
    mouse = lambda kind, px, py, buttons: d.execute_cdp_cmd("Input.dispatchMouseEvent", {
        "type": kind, "x": px, "y": py, "button": "left", "buttons": buttons, "clickCount": 1,
        "modifiers": 1})   # Alt: no snapping, every move a new place
    mouse("mousePressed", x, y, 1)
    sent, t = 0, time.monotonic()
    while time.monotonic() - t < seconds:
        sent += 1
        mouse("mouseMoved", x + (sent % 200) * 0.5, y + (sent % 100) * 0.3, 1)
    took = time.monotonic() - t
    stats = d.execute_script("return Object.assign({}, window.gaugePanel.editorUi.stats)")
    mouse("mouseReleased", x + (sent % 200) * 0.5, y + (sent % 100) * 0.3, 0)
    frames = stats["frames"] - before["frames"]
    return frames / took, sent / took


def main():
    print("gaugehost serve editor benchmark: a panel of 40 gauges (each module 10 times)%s" % (
        ", 32-bit code emulated" if os.environ.get("GAUGE_EMULATE") == "1" else ""))
    with open("/proc/loadavg") as f:
        print("machine: %d cores, load %s" % (os.cpu_count(), " ".join(f.read().split()[:3])))
    folder = tempfile.mkdtemp(prefix="gaugehost-bench-editor-")
    profile = tempfile.mkdtemp(prefix="gaugehost-chromium-")
    d = browser(profile)
    served = None
    try:
        for m in MODULES:
            shutil.copyfile(os.path.join(DIST, m + ".gau"), os.path.join(folder, m + ".gau"))
        path = forty(folder)
        d.get("about:blank")
        t = time.monotonic()
        served = Served("--panel", path, ready=False)
        started = time.monotonic() - t
        cold = open_time(served, d)
        running = served.wait(lambda s: all(m["state"] == "running" for m in s["modules"]), 60)
        assert len(running["gauges"]) == 40
        print("open, the server just started: page asked for to 40 gauges drawn %.2f s "
              "(the server listening after %.2f s)" % (cold, started))
        warm = [open_time(served, d) for _ in range(5)]
        print("open, the server warm, 5 times: median %.2f s, worst %.2f s" % (statistics.median(warm), max(warm)))
        fps, events = drag_rate(d)
        print("drag in edit mode, live pictures running: %.0f frames a second drawn (%.0f mouse events a second sent)"
              % (fps, events))
        edits, saves = [], []
        for i in range(50):
            v = served.state()["editor"]["version"]
            t = time.monotonic()
            status, _ = served.post("/api/edit", {"op": "place", "gauge": "gauge%02d" % (i % 40), "x": 10 + i,
                                                  "y": 10, "width": 100, "version": v})
            edits.append((time.monotonic() - t) * 1000)
            assert status == 200
            t = time.monotonic()
            status, answer = served.post("/api/save", {"version": v + 1})
            saves.append((time.monotonic() - t) * 1000)
            assert status == 200, answer
        print("edit (place) answered: median %.1f ms, worst %.1f ms" % (statistics.median(edits), max(edits)))
        print("save (the file and its .bak written whole), 50 times: median %.1f ms, worst %.1f ms"
              % (statistics.median(saves), max(saves)))
    finally:
        d.quit()
        if served:
            served.stop()
        shutil.rmtree(profile, ignore_errors=True)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
