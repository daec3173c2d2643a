"""gaugehost serve in a real browser (headless Chromium through Selenium):
one journey per feature, checked on the pixels of the pictures the page
shows."""
import os
import shutil
import tempfile
import time

import pytest

from serve_support import Served, browser, canvas_pixel, have_browser, wait_until
from support import BROKEN, module

pytestmark = pytest.mark.skipif(not have_browser(), reason="chromium, chromium-driver or python3-selenium missing")

KNOB = (210, 210, 210)       # quadrel's knob face
LEVER = (215, 215, 215)      # lumivane's switch lever


@pytest.fixture(scope="module")
def driver():
    profile = tempfile.mkdtemp(prefix="gaugehost-chromium-")
    d = browser(profile)
    d.set_script_timeout(30)
    yield d
    d.quit()
    shutil.rmtree(profile, ignore_errors=True)


def open_page(d, served):
    d.get(served.url)
    wait_until("the page greets", lambda: d.execute_script("return !!(window.gaugePanel && window.gaugePanel.panel)"))


def drawn(d, gauge):
    return d.execute_script("return window.gaugePanel.drawn[arguments[0]] || 0", gauge)


def log_lines(d):
    """The log's lines, without the name of the gauge each came from."""
    return d.execute_script("return Array.from(document.querySelectorAll('#log li'))"
                            ".map(li => li.lastChild.textContent)")


def at(d, gauge, x, y):
    """Offsets from the canvas centre of gauge pixel (x, y), as drawn on the page."""
    canvas = d.find_element("id", "canvas-" + gauge)
    w, h = d.execute_script("const c = arguments[0]; return [c.width, c.height]", canvas)
    size = canvas.size
    sx, sy = size["width"] / w, size["height"] / h
    return canvas, int((x + 0.5) * sx - size["width"] / 2), int((y + 0.5) * sy - size["height"] / 2)


def test_page_shows_the_panel_live(example_panel, driver):
    open_page(driver, example_panel)
    for g in ("gauge00", "gauge01", "gauge02", "gauge03"):
        wait_until("%s drawn" % g, lambda: drawn(driver, g) > 0, 60)
    before = {m["name"]: m["frames"] for m in example_panel.state()["modules"]}
    # The pictures on the page are the server's, pixel for pixel.
    from PIL import Image
    import base64
    import io
    for g in ("gauge01", "gauge02"):
        status, _, png = example_panel.request("GET", "/api/picture?gauge=" + g)
        assert status == 200
        served = Image.open(io.BytesIO(png)).convert("RGB")
        shown = driver.execute_script("return document.getElementById('canvas-' + arguments[0]).toDataURL()", g)
        shown = Image.open(io.BytesIO(base64.b64decode(shown.split(",", 1)[1]))).convert("RGB")
        assert shown.size == served.size and shown.tobytes() == served.tobytes(), g
    # Every variable the four gauges read is a control.
    ids = set(driver.execute_script("return Object.keys(window.gaugePanel.vars).map(Number)"))
    assert {620, 619, 11, 368, 621, 10, 753, 128, 163, 198, 233, 332, 333, 334, 324, 325, 791, 907} <= ids
    assert len(ids) == 7 + 4 + 21 + 3
    # While the page is open the gauges run frames at their rate (each
    # tells its count once a second).
    example_panel.wait(lambda s: all(m["frames"] >= before[m["name"]] + 10 for m in s["modules"]), 10,
                       "frames while the page is open")


def test_click_on_the_stab_switch(example_panel, driver):
    from selenium.webdriver.common.action_chains import ActionChains
    open_page(driver, example_panel)
    wait_until("lights drawn", lambda: drawn(driver, "gauge01") > 0, 60)
    assert canvas_pixel(driver, "gauge01", 19, 44) == LEVER        # STAB up: off
    canvas, dx, dy = at(driver, "gauge01", 10, 50)
    ActionChains(driver).move_to_element_with_offset(canvas, dx, dy).click().perform()
    wait_until("the key event in the log", lambda: any("66376 (0) → var 620 = 1" in l for l in log_lines(driver)))
    wait_until("the switch drawn on", lambda: canvas_pixel(driver, "gauge01", 19, 44) == (0, 0, 0))
    assert canvas_pixel(driver, "gauge01", 19, 76) == LEVER          # lever down: on
    # The click sound reached the page and was played with Web Audio.
    wait_until("the sound played", lambda: driver.execute_script("return window.gaugePanel.soundsPlayed || 0") >= 1)
    assert any("sound: 40 ms of 16-bit mono PCM at 22050 Hz played" in l for l in log_lines(driver))
    text = driver.find_element("css selector", "input[type=text][data-var='620']")
    assert text.get_attribute("value") == "1"
    example_panel.post("/api/mouse", {"gauge": "gauge01", "x": 10, "y": 50, "event": "click"})   # back off


def test_throttle_slider_moves_the_knob(example_panel, driver):
    from selenium.webdriver.common.keys import Keys
    open_page(driver, example_panel)
    wait_until("throttle drawn", lambda: drawn(driver, "gauge02") > 0, 60)
    assert canvas_pixel(driver, "gauge02", 15, 65) == KNOB           # idle: knob at 62
    slider = driver.find_element("css selector", "input[type=range][data-var='128']")
    slider.send_keys(Keys.END)                                       # full: 16384
    wait_until("knob at full", lambda: canvas_pixel(driver, "gauge02", 15, 5) == KNOB)
    assert canvas_pixel(driver, "gauge02", 15, 65) != KNOB
    assert canvas_pixel(driver, "gauge02", 50, 65) == KNOB           # lever 2 stays
    assert example_panel.state()["values"]["128"] == 16384
    example_panel.post("/api/var", {"id": 128, "value": 0})


@pytest.fixture(scope="module")
def rebuilt(tmp_path_factory):
    """A copy of quadrel beside a module whose value routine faults."""
    d = tmp_path_factory.mktemp("serve")
    good, bad = str(d / "quadrel.gau"), str(d / "faulty.gau")
    shutil.copyfile(module("quadrel"), good)
    shutil.copyfile(os.path.join(BROKEN, "value_routine_fault.gau"), bad)
    served = Served(good, bad, "--timeout", "5")
    yield served, good, bad
    served.stop()


def test_rebuilt_module_is_picked_up(rebuilt, driver):
    served, good, _ = rebuilt
    open_page(driver, served)
    wait_until("throttle drawn", lambda: drawn(driver, "gauge00") > 0, 60)
    assert served.post("/api/var", {"id": 128, "value": 8192})[0] == 200
    wait_until("knob half way", lambda: canvas_pixel(driver, "gauge00", 15, 35) == KNOB)
    seq = drawn(driver, "gauge00")
    # A rebuild: the file is written anew.
    stat = os.stat(good)
    os.utime(good, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1_000_000_000))
    touched = time.monotonic()
    wait_until("reloaded", lambda: any("quadrel.gau changed on disk: reloaded" in l for l in log_lines(driver)), 20)
    took = time.monotonic() - touched
    wait_until("a new picture", lambda: drawn(driver, "gauge00") > seq)
    # The values are kept: the knob is drawn where it was.
    assert canvas_pixel(driver, "gauge00", 15, 35) == KNOB
    assert driver.find_element("css selector", "input[type=text][data-var='128']").get_attribute("value") == "8192"
    assert took < 5, "reloaded after %.1f s" % took


def test_faulty_module_beside_a_good_one(rebuilt, driver):
    from selenium.webdriver.common.action_chains import ActionChains
    served, _, bad = rebuilt
    open_page(driver, served)
    problem = driver.find_element("css selector", "[data-gauge='gauge01'] .problem")
    wait_until("the error shown", lambda: problem.is_displayed() and "gaugehost: error:" in problem.text, 60)
    assert "element 2 value routine: module code faulted" in problem.text
    # The good gauge still answers: a drag in lever 1's column sets throttle 1.
    wait_until("throttle drawn", lambda: drawn(driver, "gauge00") > 0, 60)
    canvas, dx, dy = at(driver, "gauge00", 15, 0)
    ActionChains(driver).move_to_element_with_offset(canvas, dx, dy).click_and_hold() \
        .move_by_offset(0, 2).release().perform()
    wait_until("throttle set by the drag", lambda: any(l.startswith("65820 (") and "→ var 128 = " in l for l in log_lines(driver)))
    value = served.state()["values"]["128"]
    assert value > 12000
    top = 62 + round(value * -15 / 4096) + 3         # the knob's top edge, as drawn
    wait_until("knob near the top", lambda: canvas_pixel(driver, "gauge00", 15, top) == KNOB)
    assert canvas_pixel(driver, "gauge00", 15, top - 1) == (0, 0, 0)
    # A rebuild of the faulty module tries again.
    shutil.copyfile(module("wheelgard"), bad + ".new")
    os.replace(bad + ".new", bad)
    wait_until("the module back", lambda: not problem.is_displayed() and drawn(driver, "gauge01") > 0, 90)
    assert driver.execute_script("const c = document.getElementById('canvas-gauge01'); return [c.width, c.height]") \
        == [100, 115]


def test_pictures_arrive_as_png(example_panel, driver):
    open_page(driver, example_panel)
    wait_until("lights drawn", lambda: drawn(driver, "gauge01") > 0, 60)
    seq = drawn(driver, "gauge01")
    example_panel.post("/api/mouse", {"gauge": "gauge01", "x": 10, "y": 50, "event": "click"})
    wait_until("a new picture", lambda: drawn(driver, "gauge01") > seq)
    assert driver.execute_script("return window.gaugePanel.pictureType") == "image/png"
    fetched = driver.execute_script("return performance.getEntriesByType('resource').map(e => e.name)"
                                    ".filter(n => n.includes('/api/picture?module='))")
    assert fetched, "no picture fetched as a file of its own"
    example_panel.post("/api/mouse", {"gauge": "gauge01", "x": 10, "y": 50, "event": "click"})   # back off


def hold_streams(served, n):
    """`n` event streams held open, as other pages would."""
    import http.client
    held = []
    for _ in range(n):
        c = http.client.HTTPConnection(served.host, served.port, timeout=10)
        c.request("GET", "/api/events")
        r = c.getresponse()
        assert r.status == 200
        held.append((c, r))
    return held


def release(held):
    for c, r in held:
        r.close()
        c.close()


def page_is_live(d):
    return d.execute_script("return document.getElementById('status').textContent") == "live"


def test_the_page_recovers_after_sixteen_pages_closed(example_panel, driver):
    driver.get("about:blank")
    example_panel.wait(lambda s: s["viewers"] == 0, 30)
    release(hold_streams(example_panel, 16))
    start = time.monotonic()
    open_page(driver, example_panel)
    wait_until("the page live", lambda: page_is_live(driver), 10)
    assert time.monotonic() - start < 5


def test_the_page_recovers_after_a_503(example_panel, driver):
    driver.get("about:blank")
    example_panel.wait(lambda s: s["viewers"] == 0, 30)
    held = hold_streams(example_panel, 16)
    try:
        driver.get(example_panel.url)
        # Refused: the stream ends with a 503, and the page tries again.
        wait_until("the page refused", lambda: driver.execute_script(
            "return window.gaugePanel && window.gaugePanel.streams >= 2"), 15)
        assert not page_is_live(driver)
    finally:
        release(held)
    wait_until("the page live", lambda: page_is_live(driver), 15)
    wait_until("the page greeted", lambda: driver.execute_script("return !!window.gaugePanel.panel"), 15)
