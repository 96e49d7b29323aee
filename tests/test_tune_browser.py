"""The tuning page in headless Chromium: pick the ball on two frames by
dragging, see the mask and the find, save, and find both balls with the
saved colour file from the command line."""
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

from test_tune import BALLS, Server, write_frames

CHROMEDRIVER = "/usr/bin/chromedriver"

webdriver = pytest.importorskip("selenium.webdriver", reason="the browser test needs selenium (pip install selenium)")
if not (Path(CHROMEDRIVER).exists() and (shutil.which("chromium") or shutil.which("chromium-browser"))):
    pytest.skip("the browser test needs chromium and chromium-driver (apt-get install chromium chromium-driver)",
                allow_module_level=True)

from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402


@pytest.fixture
def browser():
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,900",
                 "--no-proxy-server"):
        options.add_argument(flag)
    # The browser must not inherit the sanitizer runtimes preloaded into the suite's interpreter.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    service = webdriver.ChromeService(executable_path=CHROMEDRIVER, env=env)
    driver = webdriver.Chrome(options=options, service=service)
    yield driver
    driver.quit()


def wait_for(driver, script, timeout=15.0):
    """Waits until the JavaScript expression is true; its value."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = driver.execute_script(f"return {script};")
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"the page never got to: {script}; status: "
                         + driver.execute_script("return document.getElementById('status').textContent;"))


def drag(driver, canvas, x0, y0, x1, y1):
    """Drags between two pixels of the 320 x 240 frame shown in the canvas."""
    box = canvas.rect
    scale = box["width"] / 320

    def offset(x, y):  # from the canvas's centre, as Selenium takes it
        return int((x + 0.5) * scale - box["width"] / 2), int((y + 0.5) * scale - box["height"] / 2)

    ActionChains(driver).move_to_element_with_offset(canvas, *offset(x0, y0)).click_and_hold() \
        .move_to_element_with_offset(canvas, *offset(x1, y1)).release().perform()


PAINTED = """return (() => { const c = document.getElementById('overlay');
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  let n = 0; for (let k = 3; k < d.length; k += 4) n += d[k] > 0; return n; })()"""


def test_pick_two_balls_save_and_find_them(tmp_path, browser):
    write_frames(tmp_path / "photos")
    server = Server(tmp_path, "photos", "--port", "0")
    try:
        browser.get(f"http://127.0.0.1:{server.port}/")
        wait_for(browser, "window.tune.frames.length === 2 && document.getElementById('frame').naturalWidth === 320")
        canvas = browser.find_element(By.ID, "overlay")
        assert wait_for(browser, "document.querySelector('#finds li').textContent") == "no colour yet"

        (x, y), (x2, y2) = BALLS
        drag(browser, canvas, x - 10, y - 10, x + 8, y + 10)
        wait_for(browser, "document.querySelectorAll('#finds li[data-shape=disc]').length === 1")
        wait_for(browser, "document.getElementById('mask').complete && document.getElementById('mask').naturalWidth")
        assert browser.execute_script(PAINTED) > 100  # the find's outline and label
        state = browser.execute_script("return window.tune.state;")
        rect = state["samples"][0]["rect"]  # pointer positions are whole CSS pixels: within one of the aim
        assert max(abs(a - b) for a, b in zip(rect, [x - 10, y - 10, x + 9, y + 11])) <= 1
        assert "kestrune calibrate --sample photos/f0.png" in browser.find_element(By.ID, "shell").text
        browser.save_screenshot(str(tmp_path / "first.png"))

        browser.find_element(By.ID, "next").click()
        wait_for(browser, "window.tune.current === 1")
        drag(browser, canvas, x2 - 5, y2 - 12, x2 + 12, y2 + 5)
        wait_for(browser, "document.querySelectorAll('#samples li').length === 2")
        wait_for(browser, "document.querySelectorAll('#finds li[data-shape=disc]').length === 1")
        found = browser.execute_script("return window.tune.finds;")
        assert abs(found[0]["x"] - x2) < 1.5 and abs(found[0]["y"] - y2) < 1.5

        name = browser.find_element(By.ID, "save-name")
        name.clear()
        name.send_keys("ball.json")
        browser.find_element(By.ID, "save").click()
        wait_for(browser, "document.getElementById('save-result').textContent.startsWith('saved')")
        browser.save_screenshot(str(tmp_path / "saved.png"))
    finally:
        server.stop()

    saved = json.loads((tmp_path / "ball.json").read_text())
    assert [s["image"] for s in saved["source"]["samples"]] == ["photos/f0.png", "photos/f1.png"]
    for k, (bx, by) in enumerate(BALLS):
        done = subprocess.run([sys.executable, "-m", "kestrune_find", "find", f"photos/f{k}.png", "--circle",
                               "ball.json", "--json"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
        shapes = json.loads(done.stdout)["shapes"]
        assert len(shapes) == 1 and abs(shapes[0]["x"] - bx) < 1.5 and abs(shapes[0]["y"] - by) < 1.5
