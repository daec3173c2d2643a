#!/usr/bin/python3
"""Takes the README's picture of `gaugehost serve`: the example panel served
live, a few variables set, a click on the STAB switch, photographed by the
headless Chromium of the tests.

    scripts/screenshot.py [OUT.png]      (default docs/serve.png)
"""
import os
import shutil
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "host"))
from serve_support import Served, browser, wait_until  # noqa: E402

STATE = {624: 84.2, 643: 84.6, 662: 83.9, 681: 84.4, 567: 1480, 577: 1492, 587: 1475, 597: 1488,
         625: 91.3, 644: 91.6, 663: 91.0, 682: 91.4, 638: 30500, 657: 30700, 676: 30400, 695: 30600,
         791: 41200, 907: 15, 128: 12200, 163: 12200, 198: 12000, 233: 12100, 753: 1, 10: 1,
         619: 1, 368: 1, 621: 1, 332: 16384, 333: 16384, 334: 16384, 324: 1}


def main(out):
    served = Served("--panel", os.path.join(ROOT, "docs", "panel", "panel.cfg"), "--gauges",
                    os.path.join(ROOT, "dist"))
    profile = tempfile.mkdtemp(prefix="gaugehost-chromium-")
    d = browser(profile)
    try:
        d.set_window_size(1400, 900)
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
    finally:
        d.quit()
        shutil.rmtree(profile, ignore_errors=True)
        served.stop()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs", "serve.png"))
