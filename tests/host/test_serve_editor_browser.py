"""The panel editor in a real browser (headless Chromium through Selenium):
a panel maker's journey through edit mode, checked on the bytes the save
writes and on the page after a reload; popup windows opened and closed."""
import os
import shutil
import tempfile

import pytest

from serve_support import Served, browser, have_browser, wait_until
from support import DIST, ROOT, module

pytestmark = pytest.mark.skipif(not have_browser(), reason="chromium, chromium-driver or python3-selenium missing")

POPUP = b"\n[Window01]\nident=THROTTLE\nbackground_color=20,40,20\nsize_mm=200,150\nvisible=0\ngauge00=quadrel!quadrel, 10, 10\n"


@pytest.fixture(scope="module")
def editing(tmp_path_factory):
    for m in ("quadrel", "lumivane", "monovue", "wheelgard"):
        module(m)
    d = tmp_path_factory.mktemp("edit")
    for name in ("panel.cfg", "panel.bmp"):
        shutil.copyfile(os.path.join(ROOT, "docs", "panel", name), d / name)
    path = d / "panel.cfg"
    path.write_bytes(path.read_bytes() + POPUP)
    served = Served("--panel", str(path), "--gauges", DIST)
    profile = tempfile.mkdtemp(prefix="gaugehost-chromium-")
    driver = browser(profile)
    driver.set_script_timeout(30)
    yield served, path, driver
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)
    served.stop()


def js(d, script, *args):
    return d.execute_script(script, *args)


def open_page(d, served, zoom="1"):
    from selenium.webdriver.support.ui import Select
    d.get(served.url)
    wait_until("the page greets", lambda: js(d, "return !!(window.gaugePanel && window.gaugePanel.panel)"))
    Select(d.find_element("id", "zoom")).select_by_value(zoom)


def settled(d, served, version):
    """The edits made: the server and the page at `version`, nothing waiting."""
    wait_until("version %d" % version, lambda: served.state()["editor"]["version"] == version, 20)
    wait_until("the page at version %d" % version, lambda: js(
        d, "return window.gaugePanel.editor.version === arguments[0] && document.body.dataset.editBusy !== 'true'"
           " && !!document.querySelector('.editlayer')", version), 20)
    return {g["id"]: g for g in served.state()["gauges"]}


def drag(d, element, steps, keys=()):
    """Presses on `element`'s centre (or a handle), moves by each step, releases."""
    from selenium.webdriver.common.action_chains import ActionChains
    a = ActionChains(d)
    for k in keys:
        a.key_down(k)
    a.move_to_element(element).click_and_hold()
    for dx, dy in steps:
        a.move_by_offset(dx, dy)
    a.release()
    for k in keys:
        a.key_up(k)
    a.perform()


def gauge_box(d, gauge):
    return d.find_element("css selector", "[data-gauge='%s'].gauge" % gauge)


def select(d, gauge):
    """A click on a gauge in edit mode (the edit layer over it takes it)."""
    from selenium.webdriver.common.action_chains import ActionChains
    ActionChains(d).move_to_element(gauge_box(d, gauge)).click().perform()


def press(d, *keys, held=None):
    """Keys typed, with a modifier `held` down meanwhile."""
    from selenium.webdriver.common.action_chains import ActionChains
    a = ActionChains(d)
    if held:
        a.key_down(held)
    a.send_keys(*keys)
    if held:
        a.key_up(held)
    a.perform()


def test_a_panel_makers_journey(editing):
    from selenium.webdriver.common.keys import Keys
    served, path, d = editing
    before = path.read_bytes()
    open_page(d, served)
    wait_until("the gauges drawn", lambda: len(js(d, "return window.gaugePanel.drawn")) >= 5, 60)
    d.find_element("id", "edit").click()
    wait_until("the palette", lambda: len(d.find_elements("css selector", "#ed-palette .entry.ready")) == 4, 60)
    v = served.state()["editor"]["version"]

    # A drag with Alt held places freely: monovue from (16, 40) by (30, 20).
    drag(d, gauge_box(d, "gauge00"), [(10, 5), (20, 15)], keys=[Keys.ALT])
    v += 1
    g = settled(d, served, v)["gauge00"]
    assert (g["file"]["x"], g["file"]["y"]) == (46, 60)
    assert js(d, "return document.querySelector('.selection .readout').textContent") == "46, 60"
    assert path.read_bytes() == before                      # nothing written before a save
    # Without Alt the edges snap: the left one to the window's, 3 units
    # away, the bottom one (285) to the throttle's (283).
    drag(d, gauge_box(d, "gauge00"), [(-20, 0), (-23, 0)])
    v += 1
    g = settled(d, served, v)["gauge00"]
    assert (g["file"]["x"], g["file"]["y"]) == (0, 58)

    # Resized by its bottom-right handle: wheelgard from 100 x 115 to 120 x 125.
    select(d, "gauge03")
    drag(d, d.find_element("css selector", ".selection .handle.se"), [(12, 4), (8, 6)], keys=[Keys.ALT])
    v += 1
    g = settled(d, served, v)["gauge03"]
    assert g["file"] == {"x": 426, "y": 172, "width": 120, "height": 125, "number": 3} and (g["w"], g["h"]) == (120, 125)
    assert js(d, "return document.getElementById('ed-width').value") == "120"

    # Nudged: lumivane 3 right, 10 down (the nudges may gather into fewer edits).
    select(d, "gauge01")
    press(d, Keys.ARROW_RIGHT, Keys.ARROW_RIGHT, Keys.ARROW_RIGHT)
    press(d, Keys.ARROW_DOWN, held=Keys.SHIFT)
    wait_until("nudged", lambda: (lambda g: (g["x"], g["y"]))(
        next(g for g in served.state()["gauges"] if g["id"] == "gauge01")) == (249, 50), 20)
    v = served.state()["editor"]["version"]
    settled(d, served, v)

    # Added from the palette, in the middle of the window, and selected.
    d.find_element("css selector", "#ed-palette .entry[data-module='wheelgard']").click()
    v += 1
    g = settled(d, served, v)["gauge04"]
    assert (g["x"], g["y"], g["w"], g["h"]) == (226, 93, 100, 115)
    wait_until("its picture", lambda: js(d, "return window.gaugePanel.drawn['gauge04'] || 0") > 0, 30)
    # Removed with Delete, back with Ctrl+Z, gone with Redo, back with Undo.
    press(d, Keys.DELETE)
    v += 1
    assert "gauge04" not in settled(d, served, v)
    press(d, "z", held=Keys.CONTROL)
    v += 1
    assert "gauge04" in settled(d, served, v)
    d.find_element("id", "ed-redo").click()
    v += 1
    assert "gauge04" not in settled(d, served, v)
    d.find_element("id", "ed-undo").click()
    v += 1
    assert "gauge04" in settled(d, served, v)

    # Monovue drawn over lumivane: their numbers change places.
    select(d, "gauge00")
    d.find_element("id", "ed-forward").click()
    v += 1
    gauges = settled(d, served, v)
    assert gauges["gauge01"]["name"] == "monovue!monovue" and gauges["gauge00"]["name"] == "lumivane!lumivane"
    assert js(d, "return window.gaugePanel.editorUi.selected") == "gauge01"

    # Saved: only the lines edited changed, the rest byte for byte.
    d.find_element("id", "ed-save").click()
    wait_until("saved", lambda: "saved" in d.find_element("id", "ed-status").text, 20)
    expected = before.replace(b"gauge00=monovue!monovue, 16, 40", b"gauge01=monovue!monovue, 0, 58") \
        .replace(b"gauge01=lumivane!lumivane, 246, 40", b"gauge00=lumivane!lumivane, 249, 50") \
        .replace(b"gauge03=wheelgard!wheelgard, 426, 172, 100, 115",
                 b"gauge03=wheelgard!wheelgard, 426, 172, 120, 125\ngauge04=wheelgard!wheelgard, 226, 93")
    assert path.read_bytes() == expected
    assert (path.parent / "panel.cfg.bak").read_bytes() == before

    # A reload shows the layout saved.
    d.refresh()
    wait_until("the page greets", lambda: js(d, "return !!(window.gaugePanel && window.gaugePanel.panel)"))
    shown = js(d, "return window.gaugePanel.gauges.map(g => [g.id, g.x, g.y, g.w, g.h])")
    assert [s for s in shown if not s[0].startswith("w")] == [
        ["gauge00", 249, 50, 290, 109], ["gauge01", 0, 58, 210, 225], ["gauge02", 246, 172, 150, 111],
        ["gauge03", 426, 172, 120, 125], ["gauge04", 226, 93, 100, 115]]
    zoom = js(d, "return window.gaugePanel.zoom")
    box = gauge_box(d, "gauge04")
    assert box.value_of_css_property("left") == "%gpx" % (226 * zoom)
    assert not js(d, "return window.gaugePanel.editor.dirty")


def test_popup_windows_open_and_close(editing):
    served, _, d = editing
    open_page(d, served)
    section = d.find_element("css selector", "section.window[data-window='1']")
    button = d.find_element("css selector", "#windowbar [data-window='1']")
    assert not section.is_displayed() and button.get_attribute("aria-pressed") == "false"
    assert button.text == "THROTTLE"
    button.click()
    assert section.is_displayed() and button.get_attribute("aria-pressed") == "true"
    wait_until("its gauge drawn", lambda: js(d, "return window.gaugePanel.drawn['w1.gauge00'] || 0") > 0, 60)
    section.find_element("css selector", ".winclose").click()
    assert not section.is_displayed() and button.get_attribute("aria-pressed") == "false"
    # The main window closes and opens too.
    d.find_element("css selector", "#windowbar [data-window='0']").click()
    assert not d.find_element("css selector", "section.window[data-window='0']").is_displayed()
    d.find_element("css selector", "#windowbar [data-window='0']").click()
    assert d.find_element("css selector", "section.window[data-window='0']").is_displayed()
