"""insole view in a real browser (headless Chromium through chromedriver):
the page shows what the SDK decoded, the centre of pressure moves, a mock
firmware update's progress appears, a cell's values show on hover, and the
record button writes a capture. Leaves a screenshot of the page in the build
folder (VIEW_SCREENSHOT)."""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from view_client import start_server  # noqa: E402

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = os.environ.get("INSOLE_BIN", str(ROOT / "build" / "release" / "tools" / "insole"))
SCREENSHOT = pathlib.Path(os.environ.get("VIEW_SCREENSHOT", ROOT / "build" / "release" / "view-screenshot.png"))


def wait_for(what, check, timeout=30):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def decoded_cells(foot, seconds, tmp_path):
    """seq -> the 48 pressure values `insole decode` gives for a mock insole's frames."""
    capture = tmp_path / f"{foot}.bin"
    subprocess.run([BIN, "record", capture, "--device", foot, "--seconds", str(seconds)], check=True, capture_output=True)
    out = subprocess.run([BIN, "decode", capture], check=True, capture_output=True).stdout.decode()
    return {m["sensorData"]["seqNum"]: m["sensorData"]["pressureData"]["pressure"]
            for m in map(json.loads, out.splitlines())}


@pytest.fixture(scope="module")
def browser():
    if not shutil.which("chromedriver"):
        pytest.skip("chromedriver is not installed (scripts/deps.sh installs it)")
    options = webdriver.ChromeOptions()
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,1060", "--force-device-scale-factor=1"]:
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    yield driver
    driver.quit()


def test_the_page_shows_the_decoded_insoles(browser, tmp_path):
    decoded = {foot: decoded_cells(foot, 90, tmp_path) for foot in ("left", "right")}
    proc, port = start_server([BIN, "view", "--seconds", "90", "--mock-dfu", "left", "--record-dir", tmp_path])
    try:
        browser.get(f"http://127.0.0.1:{port}/")
        wait_for("data on the page", lambda: int(browser.find_element(By.TAG_NAME, "body").get_attribute(
            "data-updates") or 0) > 10)
        cards = {c.get_attribute("data-foot"): c for c in browser.find_elements(By.CSS_SELECTOR, ".insole")}
        assert set(cards) == {"left", "right"}

        # The mock update's progress appears, with speed and ETA while uploading.
        left = cards["left"]
        cell = left.find_elements(By.CSS_SELECTOR, ".map .cell")[20]
        ActionChains(browser).move_to_element(cell).perform()
        shown = wait_for("upload progress", lambda: browser.execute_script(
            "const c = arguments[0], d = c.querySelector('.dfu'); return c.dataset.dfuState === 'uploading' && "
            "Number(c.dataset.dfuPct) >= 50 && !d.hidden && d.textContent", left))
        assert "KiB/s" in shown and "ETA" in shown
        SCREENSHOT.parent.mkdir(parents=True, exist_ok=True)
        browser.save_screenshot(str(SCREENSHOT))

        # The sequence number and cells each foot shows are those the SDK decodes for that frame.
        for foot, card in cards.items():
            expected = decoded[foot]
            shown = browser.execute_script(
                "const c = arguments[0]; return [c.dataset.seq, "
                "Array.from({length: 48}, (_, i) => c.getAttribute('data-cell-' + i)), "
                "c.querySelector('.seq').textContent];", card)
            seq = int(shown[0])
            assert seq > 0 and [float(v) for v in shown[1]] == expected[seq], foot
            assert shown[2] == str(seq)
            assert card.find_element(By.CSS_SELECTOR, ".battery").text.startswith(("95 %", "91 %"))

        # The centre of pressure moves.
        first = (left.get_attribute("data-cop-x"), left.get_attribute("data-cop-y"))
        wait_for("the centre of pressure to move",
                 lambda: (left.get_attribute("data-cop-x"), left.get_attribute("data-cop-y")) != first)

        # Hovering a cell shows its index and values.
        ActionChains(browser).move_to_element(cell).perform()
        tip = browser.find_element(By.ID, "tooltip")
        wait_for("the tooltip", lambda: tip.is_displayed() and "cell 20" in tip.text)
        assert "raw" in tip.text and "calibrated" in tip.text

        wait_for("the update to complete", lambda: left.get_attribute("data-dfu-state") == "completed")

        # Pause freezes the page while data keeps arriving; resume goes on.
        browser.find_element(By.ID, "pause").click()
        frozen = left.get_attribute("data-seq")
        time.sleep(0.5)
        assert left.get_attribute("data-seq") == frozen
        browser.find_element(By.ID, "pause").click()
        wait_for("updates after resume", lambda: left.get_attribute("data-seq") != frozen)

        # Record writes a capture that the tool reads back.
        record = browser.find_element(By.ID, "record")
        record.click()
        wait_for("recording", lambda: "recording to" in browser.find_element(By.ID, "recording").text)
        time.sleep(1)
        record.click()
        wait_for("recording to stop", lambda: browser.find_element(By.ID, "recording").text == "")
        captures = list(tmp_path.glob("view-*.mcap"))
        assert len(captures) == 1
        read_back = subprocess.run([BIN, "decode", captures[0]], capture_output=True, check=True)
        assert len(read_back.stdout.decode().splitlines()) > 40
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def test_pairs_stay_side_by_side(browser):
    # Heard lefts first, the cards still go rig by rig, left then right.
    ids = ["rig1-left", "rig2-left", "rig10-left", "rig1-right", "rig10-right", "rig2-right"]
    proc, port = start_server([BIN, "view", "--seconds", "30", *[a for i in ids for a in ("--mock", i)]])
    try:
        browser.get(f"http://127.0.0.1:{port}/")
        order = wait_for("six cards", lambda: (lambda shown: shown if len(shown) == 6 else None)(
            [c.get_attribute("data-id") for c in browser.find_elements(By.CSS_SELECTOR, ".insole")]))
        assert order == ["rig1-left", "rig1-right", "rig2-left", "rig2-right", "rig10-left", "rig10-right"]
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def test_a_replay_of_an_old_capture_draws_its_imu_traces(browser, tmp_path):
    """Replayed samples keep the capture's receive times, a day old here: the
    traces must run on that clock, not be dropped as older than their span by
    the browser's clock."""
    # The companion package and the module of the build that made the tool.
    sys.path[:0] = [str(ROOT / "python"), str(pathlib.Path(BIN).resolve().parents[1] / "python")]
    from trova_insole import CaptureWriter, read_messages
    fresh, old = tmp_path / "fresh.mcap", tmp_path / "old.mcap"
    subprocess.run([BIN, "record", fresh, "--virtual", "left", "--seconds", "4"], check=True, capture_output=True)
    day_ns = 86_400 * 10**9
    with CaptureWriter(open(old, "wb")) as capture:
        channels = {}
        for m in read_messages(fresh):
            if m.device_id not in channels:
                channels[m.device_id] = capture.add_insole(m.device_id, m.foot)
            capture.write(channels[m.device_id], m.data, m.log_time_ns - day_ns)
    proc, port = start_server([BIN, "view", "--replay", old, "--seconds", "30"])
    try:
        browser.get(f"http://127.0.0.1:{port}/")
        card = wait_for("the replayed insole", lambda: browser.find_elements(By.CSS_SELECTOR, ".insole"))[0]
        # At 50 Hz, a second of replay keeps some 50 samples on the trace.
        wait_for("IMU samples on the trace", lambda: int(card.get_attribute("data-imu-points") or 0) >= 40)
        drawn = browser.execute_script(
            "const c = arguments[0].querySelector('canvas'), g = c.getContext('2d');"
            "const d = g.getImageData(0, 0, c.width, c.height).data; let n = 0;"
            "for (let i = 0; i < d.length; i += 4)"  # the traces are the only saturated colours on it
            "  if (Math.max(d[i], d[i + 1], d[i + 2]) - Math.min(d[i], d[i + 1], d[i + 2]) > 60) n++;"
            "return n;", card)
        assert drawn > 100
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def test_walking_insoles_show_cadence_strides_and_gait_events(browser):
    proc, port = start_server([BIN, "view", "--virtual", "left", "--virtual", "right", "--seconds", "40"])
    try:
        browser.get(f"http://127.0.0.1:{port}/")
        cards = wait_for("two cards", lambda: (lambda c: c if len(c) == 2 else None)(
            browser.find_elements(By.CSS_SELECTOR, ".insole")))
        for card in cards:
            cadence = float(wait_for("a cadence", lambda: card.get_attribute("data-cadence"), timeout=30))
            assert 80 < cadence < 140, cadence  # the walker's usual pace, steps/min
            assert 0.8 < float(card.get_attribute("data-stride-s")) < 1.6
            assert int(card.get_attribute("data-gait-events")) >= 4
            assert "steps/min" in card.find_element(By.CSS_SELECTOR, ".cadence").text
    finally:
        proc.terminate()
        proc.wait(timeout=10)
