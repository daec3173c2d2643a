#!/usr/bin/python3
"""Takes the README's pictures of `gaugehost serve` (make screenshots), with
the headless Chromium of the tests:

- docs/serve.png: the example panel served live, a few variables set, a
  click on the STAB switch;
- docs/editor.png: the same panel in edit mode, the throttle selected and
  the gear panel being dragged (its guide where it snaps), the palette.

    tests/host/screenshots.py [FOLDER]      (default docs)
"""
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from serve_support import Served, browser, wait_until  # noqa: E402
from support import ROOT  # noqa: E402

STATE = {624: 84.2, 643: 84.6, 662: 83.9, 681: 84.4, 567: 1480, 577: 1492, 587: 1475, 597: 1488,
         625: 91.3, 644: 91.6, 663: 91.0, 682: 91.4, 638: 30500, 657: 30700, 676: 30400, 695: 30600,
         791: 41200, 907: 15, 128: 12200, 163: 12200, 198: 12000, 233: 12100, 753: 1, 10: 1,
         619: 1, 368: 1, 621: 1, 332: 16384, 333: 16384, 334: 16384, 324: 1}


def live(served, d, out):
    for var, value in STATE.items():
        served.post("/api/var", {"id": var, "value": value})
    served.post("/api/mouse", {"gauge": "gauge03", "x": 46, "y": 100, "event": "click"})
    d.get(served.url)
    wait_until("every gauge drawn", lambda: len(d.execute_script("return window.gaugePanel.drawn")) == 4, 60)
    from selenium.webdriver.common.action_chains import ActionChains
    canvas = d.find_element("id", "canvas-gauge01")
    size = canvas.size
    ActionChains(d).move_to_element_with_offset(canvas, int(19 * size["width"] / 290 - size["width"] / 2),
                                                int(50 * size["height"] / 109 - size["height"] / 2)).click().perform()
    wait_until("the key event logged", lambda: "66376" in d.find_element("id", "log").text)
    time.sleep(1)
    d.save_screenshot(out)
    print("wrote " + out)


def editing(served, d, out):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.support.ui import Select
    d.get(served.url)
    wait_until("every gauge drawn", lambda: len(d.execute_script("return window.gaugePanel.drawn")) == 4, 60)
    Select(d.find_element("id", "zoom")).select_by_value("1.5")
    d.find_element("id", "edit").click()
    wait_until("the palette", lambda: len(d.find_elements("css selector", "#ed-palette .entry.ready")) == 4, 60)
    ActionChains(d).move_to_element(d.find_element("css selector", "[data-gauge='gauge02'].gauge")).click().perform()
    # The gear panel held in a drag, its top edge snapped to the throttle's.
    x, y = d.execute_script(
        "const r = document.querySelector(\"[data-gauge='gauge03'].gauge\").getBoundingClientRect();"
        "return [r.left + r.width / 2, r.top + r.height / 2];")
    mouse = lambda kind, px, py, buttons: d.execute_cdp_cmd("Input.dispatchMouseEvent", {
        "type": kind, "x": px, "y": py, "button": "left", "buttons": buttons, "clickCount": 1})
    mouse("mousePressed", x, y, 1)
    for i in range(1, 11):
        mouse("mouseMoved", x + 2 * i, y - 0.5 * i, 1)
    time.sleep(0.5)
    d.save_screenshot(out)
    mouse("mouseReleased", x + 20, y - 5, 0)
    print("wrote " + out)


def main(folder):
    served = Served("--panel", os.path.join("docs", "panel", "panel.cfg"), "--gauges", os.path.join(ROOT, "dist"))
    profile = tempfile.mkdtemp(prefix="gaugehost-chromium-")
    d = browser(profile)
    try:
        d.set_window_size(1400, 900)
        live(served, d, os.path.join(folder, "serve.png"))
        editing(served, d, os.path.join(folder, "editor.png"))
    finally:
        d.quit()
        shutil.rmtree(profile, ignore_errors=True)
        served.stop()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs"))
