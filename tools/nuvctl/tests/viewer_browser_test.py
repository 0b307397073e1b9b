#!/usr/bin/python3
"""The viewer in a real browser: headless Chromium shows the default world's
NUV2 camera. The pictures on the screen are checked against frames read
through the library in this process (the simulated world gives the same
frames to every process that opens the same camera the same way):

- the flat corrected frame, shown with the default fixed levels, spreads
  over no more grey levels than its own values do;
- auto levels never stretch fewer than 16 codes; manual levels are used as
  typed;
- the raw frame (corrections switched off in the page) shows its vignetting,
  and its stuck pixels in the saturation colour;
- the value under the cursor and a region's statistics equal those of the
  library's frame; the frame counter's words stay out of them;
- the snapshot is a 16-bit PNG with sBIT 10 holding the frame's values;
- controls reach the camera, a stream format from the device's list reopens
  it, and frames per second and dropped frames are shown.

Screenshots are kept in OUTPUT_DIR.

Usage: viewer_browser_test.py NUVCTL OUTPUT_DIR   (PYTHONPATH holding the nuv
package, NUV_LIBRARY the simulated library)
"""
import os
import re
import shutil
import sys
import tempfile

import numpy as np
from PIL import Image
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

import nuv

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from viewer_harness import Checks, Viewer, png_chunks, wait_for  # noqa: E402

NUVCTL, OUT = sys.argv[1], sys.argv[2]
W, H = 656, 408
COUNTER = 4  # the simulated camera's frame counter words
check = Checks()
os.makedirs(OUT, exist_ok=True)
snapshots = os.path.join(OUT, "snapshots")
shutil.rmtree(snapshots, ignore_errors=True)
os.makedirs(snapshots)


def library_frames():
    """The NUV2 camera's corrected and raw frames, read through the library
    in this process."""
    with nuv.Camera.open(1, size=(W, H)) as cam:
        flat = np.array(cam.read(timeout=10), dtype=np.int64)
        cam.defect_correction = False
        cam.shading_correction = False
        cam.read(timeout=10)
        raw = np.array(cam.read(timeout=10), dtype=np.int64)
    return flat, raw


def image_values(frame):
    """The frame's values without the counter's words."""
    return frame.ravel()[COUNTER:]


def grey(value, lo=0, hi=1023):
    """The page's display level of a value (JavaScript's Math.round)."""
    return int(np.clip(np.floor((value - lo) * 255.0 / (hi - lo) + 0.5), 0, 255))


def shot(driver, name):
    """A screenshot kept as OUT/name, and the frame canvas's pixels in it
    (RGB, one screen pixel per frame pixel)."""
    path = os.path.join(OUT, name)
    driver.save_screenshot(path)
    left, top, width, height, ratio = driver.execute_script(
        "const r = document.getElementById('frame-0').getBoundingClientRect();"
        "return [r.left, r.top, r.width, r.height, window.devicePixelRatio];")
    check(ratio == 1 and (width, height) == (W, H), "%s kept; the frame is shown 1:1 (%gx%g)" % (path, width, height))
    box = tuple(int(round(v)) for v in (left, top, left + width, top + height))
    return np.asarray(Image.open(path).convert("RGB").crop(box)).astype(np.int64)


def without_counter(pixels):
    """Screen pixels of the image area as a flat list of RGB, leaving out the
    counter's pixels at the start of the first row."""
    return pixels.reshape(-1, 3)[COUNTER:]


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def set_input(driver, element_id, value):
    """Types a value over a field's text and leaves the field, as a person
    does."""
    driver.find_element(By.ID, element_id).send_keys(Keys.CONTROL, "a", Keys.NULL, str(value), Keys.TAB)


def stats_of(values):
    v = np.asarray(values, dtype=np.float64)
    return {"mean": v.mean(), "std": v.std(), "min": int(v.min()), "max": int(v.max()), "n": v.size}


def parse_stats(shown):
    m = re.match(r"mean ([\d.]+) std ([\d.]+) min (\d+) max (\d+) \((\d+) px\)", shown)
    if not m:
        return None
    return {"mean": float(m[1]), "std": float(m[2]), "min": int(m[3]), "max": int(m[4]), "n": int(m[5])}


def same_stats(page, expected):
    return (page is not None and page["n"] == expected["n"] and page["min"] == expected["min"]
            and page["max"] == expected["max"] and abs(page["mean"] - expected["mean"]) < 0.0006
            and abs(page["std"] - expected["std"]) < 0.0006)


flat, raw = library_frames()
fmin, fmax = int(image_values(flat).min()), int(image_values(flat).max())
print("library: corrected %d..%d, raw %d..%d" % (fmin, fmax, image_values(raw).min(), image_values(raw).max()))

viewer = Viewer([NUVCTL, "-d", "NUV2", "-d", "NUV", "--size", "%dx%d" % (W, H), "view", "--port", "0",
                 "--snapshot-dir", snapshots])
profile = tempfile.mkdtemp(prefix="nuvctl-chromium-")
driver = None
try:
    check(viewer.url is not None, "the viewer serves: " + viewer.line)
    port = viewer.port
    listening = open("/proc/net/tcp").read().splitlines()[1:]
    local = [l.split()[1] for l in listening if l.split()[3] == "0A" and int(l.split()[1].split(":")[1], 16) == port]
    check(local == ["0100007F:%04X" % port], "the port is bound to 127.0.0.1 only: %s" % local)

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1400,1400", "--force-device-scale-factor=1",
                 "--force-color-profile=srgb", "--hide-scrollbars", "--user-data-dir=" + profile):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                              options=options)
    driver.set_page_load_timeout(30)
    driver.get(viewer.url)
    check(driver.current_url == viewer.base + "/", "the token leaves the address bar: " + driver.current_url)
    cookies = driver.get_cookies()
    check(len(cookies) == 1 and cookies[0]["httpOnly"] and cookies[0]["sameSite"] == "Strict",
          "the token is kept in an HttpOnly, SameSite=Strict cookie")
    wait = WebDriverWait(driver, 60, poll_frequency=0.05)
    wait.until(lambda d: d.execute_script("const c = document.getElementById('frame-0');"
                                          "return c && c.width === %d && document.getElementById('count-0')"
                                          ".textContent !== '0';" % W))
    check(True, "the page shows a frame of camera 0")
    check(driver.find_element(By.ID, "frame-1").is_displayed(), "camera 1 has its panel")

    # ---- levels ---------------------------------------------------------
    check(text(driver, "levels-0") == "0..1023 (fixed)", "default levels: " + text(driver, "levels-0"))
    pixels = without_counter(shot(driver, "viewer_flat.png"))
    grey_ok = (pixels[:, 0] == pixels[:, 1]).all() and (pixels[:, 1] == pixels[:, 2]).all()
    lo, hi = int(pixels[:, 0].min()), int(pixels[:, 0].max())
    check(grey_ok, "the flat frame is shown in grey only (nothing at 0 or 1023 to mark)")
    check(grey(fmin) <= lo and hi <= grey(fmax),
          "flat corrected frame %d..%d, fixed levels: the screen shows grey %d..%d, within the frame's own %d..%d"
          % (fmin, fmax, lo, hi, grey(fmin), grey(fmax)))
    check("frame counter" in text(driver, "legend-0"), "the page says the counter's words are left out")
    page_stats = parse_stats(text(driver, "stats-0"))
    check(same_stats(page_stats, stats_of(image_values(flat))),
          "frame statistics without the counter: %s" % text(driver, "stats-0"))

    Select(driver.find_element(By.ID, "levelmode-0")).select_by_value("auto")
    wait.until(lambda d: text(d, "levels-0").endswith("(auto)"))
    a_lo, a_hi = map(int, text(driver, "levels-0").split()[0].split(".."))
    check(a_hi - a_lo == 16 and a_lo <= fmin and fmax <= a_hi,
          "auto levels on the flat frame stretch 16 codes, no fewer: %s" % text(driver, "levels-0"))
    Select(driver.find_element(By.ID, "levelmode-0")).select_by_value("manual")
    set_input(driver, "low-0", 600)
    set_input(driver, "high-0", 700)
    wait.until(lambda d: text(d, "levels-0") == "600..700 (manual)")
    check(True, "manual levels in use: 600..700")
    set_input(driver, "low-0", 800)
    wait.until(lambda d: "manual levels need" in text(d, "levels-0"))
    check(text(driver, "levels-0").startswith("0..1023"), "a low above high is refused: " + text(driver, "levels-0"))
    Select(driver.find_element(By.ID, "levelmode-0")).select_by_value("fixed")

    # ---- the raw frame ----------------------------------------------------
    for switch in ("shading_correction-0", "defect_correction-0"):
        box = driver.find_element(By.ID, switch)
        wait.until(lambda d: box.is_selected())  # the status poll has shown the camera's state
        box.click()
    wait.until(lambda d: viewer.status()["controls"].get("shading_correction") == 0
               and viewer.status()["controls"].get("defect_correction") == 0)
    check(True, "both corrections switched off in the camera (read back through the library)")
    raw_min = int(image_values(raw).min())
    wait.until(lambda d: (parse_stats(text(d, "stats-0")) or {"min": 9999})["min"] == raw_min)
    driver.find_element(By.ID, "pause-0").click()
    pixels = shot(driver, "viewer_raw.png")
    centre = pixels[H // 2 - 20:H // 2 + 20, W // 2 - 20:W // 2 + 20, 1].mean()
    corners = [pixels[y:y + 40, x:x + 40, 1].mean() for y in (4, H - 44) for x in (4, W - 44)]
    check(centre > max(corners) + 20,
          "the raw frame shows its vignetting: centre %.1f, corners %s" % (centre, [round(c, 1) for c in corners]))
    expected_centre = np.mean([grey(v) for v in raw[H // 2 - 20:H // 2 + 20, W // 2 - 20:W // 2 + 20].ravel()])
    check(abs(centre - expected_centre) < 0.01, "centre grey %.2f as the library's values give (%.2f)"
          % (centre, expected_centre))
    hot = [(y, x) for y, x in zip(*np.nonzero(raw == 1023)) if y * W + x >= COUNTER]
    check(hot and all(tuple(pixels[y, x]) == (255, 0, 0) for y, x in hot),
          "the %d stuck pixels at 1023 are shown red" % len(hot))

    # ---- measuring ----------------------------------------------------------
    marks = driver.find_element(By.ID, "marks-0")

    def point_at(x, y):
        ActionChains(driver).move_to_element_with_offset(marks, x - W // 2, y - H // 2).perform()
        return text(driver, "probe-0")

    for y, x in [hot[0], (H // 2, W // 2), (7, 3), (H - 1, W - 1)]:
        shown = point_at(x, y)
        check(shown == "x %d, y %d: %d" % (x, y, raw[y, x]), "cursor at (%d, %d): %s, library %d"
              % (x, y, shown, raw[y, x]))
    check(point_at(2, 0).endswith("(frame counter)"), "the cursor on a counter word says so")

    ax, ay, bx, by = 150, 90, 231, 140
    ActionChains(driver).move_to_element_with_offset(marks, bx - W // 2, by - H // 2).click_and_hold() \
        .move_to_element_with_offset(marks, ax - W // 2, ay - H // 2).release().perform()
    roi = [int(driver.find_element(By.ID, "roi-%s-0" % k).get_attribute("value")) for k in "xywh"]
    check(roi == [ax, ay, bx - ax + 1, by - ay + 1], "a region drawn by dragging: %s" % roi)
    expected = stats_of(raw[ay:by + 1, ax:bx + 1].ravel())
    shown = text(driver, "roi-stats-0")
    check(same_stats(parse_stats(shown), expected), "region statistics %s; library mean %.3f std %.3f min %d max %d"
          % (shown, expected["mean"], expected["std"], expected["min"], expected["max"]))
    shot(driver, "viewer_measure.png")
    for k, v in zip("xywh", (0, 0, 10, 3)):
        set_input(driver, "roi-%s-0" % k, v)
    shown = text(driver, "roi-stats-0")
    expected = stats_of(raw[0:3, 0:10].ravel()[COUNTER:])
    check(same_stats(parse_stats(shown), expected), "a region over the counter leaves its words out: %s" % shown)

    # ---- snapshot -------------------------------------------------------------
    driver.find_element(By.ID, "snapshot-0").click()
    wait.until(lambda d: text(d, "snapshot-result-0") != "")
    result = text(driver, "snapshot-result-0")
    path = result[len("saved "):] if result.startswith("saved ") else ""
    check(os.path.dirname(path) == snapshots and os.path.isfile(path), "snapshot: " + result)
    if path:
        chunks = png_chunks(path)
        check(chunks[b"IHDR"][8:10] == b"\x10\x00" and chunks.get(b"sBIT") == b"\x0a",
              "the snapshot is 16-bit grey with sBIT 10")
        samples = np.asarray(Image.open(path)).astype(np.int64)
        values = samples >> 6
        check(samples.shape == (H, W) and (samples == (values << 6 | values >> 4)).all(),
              "its samples are the values widened by bit replication")
        check((image_values(values) == image_values(raw)).all(), "its values are the library's raw frame")
    driver.find_element(By.ID, "pause-0").click()

    # ---- controls and the stream ------------------------------------------------
    # The simulated sensor answers its controls: the page shows the change
    # (gain 7: the signal times 1 + 7/16, still below saturation).
    dark_mean = parse_stats(text(driver, "stats-0"))["mean"]
    set_input(driver, "gain-0", 7)
    wait.until(lambda d: (parse_stats(text(d, "stats-0")) or {"mean": 0})["mean"] > 1.3 * dark_mean)
    brighter = parse_stats(text(driver, "stats-0"))
    check(abs(brighter["mean"] / dark_mean - 23 / 16) < 0.005,
          "the image follows the gain: frame mean %.1f at gain 0, %.1f at gain 7 (1 + 7/16 times)"
          % (dark_mean, brighter["mean"]))
    shot(driver, "viewer_gain.png")
    set_input(driver, "gain-0", 77)
    wait.until(lambda d: viewer.status()["controls"].get("gain") == 77)
    check(text(driver, "error-0") == "", "gain 77 set in the page, held by the camera")
    set_input(driver, "shutter-0", 1234)
    wait.until(lambda d: viewer.status()["controls"].get("shutter") == 1234)
    check(True, "shutter 1234 set in the page, held by the camera")
    for k, v in enumerate((300, 301, 302, 303)):
        set_input(driver, "digital_gain-0-%d" % k, v)
    wait.until(lambda d: viewer.status()["controls"].get("digital_gain") == [300, 301, 302, 303])
    check(True, "digital gain 300,301,302,303 set in the page, held by the camera")
    led = viewer.status()["controls"]["led"]
    set_input(driver, "led-0", 99)
    wait.until(lambda d: "outside" in text(d, "error-0"))
    check(viewer.status()["controls"]["led"] == led, "LED 99 refused with a message, camera unchanged: "
          + text(driver, "error-0"))

    wait.until(lambda d: float(text(d, "fps-0")) > 1.0)
    check(True, "frames per second: %s received, %s shown" % (text(driver, "fps-0"), text(driver, "shown-0")))
    check(text(driver, "dropped-0").isdigit(), "frames dropped: " + text(driver, "dropped-0"))
    options = [o.text for o in Select(driver.find_element(By.ID, "stream-0")).options]
    listed = ["%d x %d, %.3f fps, %s" % (f.width, f.height, f.fps, f.format) for f in nuv.formats(1)]
    check(options == listed, "the stream choices are the device's own format list (%d)" % len(options))
    Select(driver.find_element(By.ID, "stream-0")).select_by_visible_text("328 x 204, 30.000 fps, YUY2")
    wait.until(lambda d: d.execute_script("return document.getElementById('frame-0').width") == 328)
    stream = viewer.status()["stream"]
    check(stream["width"] == 328 and stream["height"] == 204, "the camera reopened at 328 x 204: %s" % stream)
    switches = wait_for(lambda: {k: v for k, v in viewer.status()["controls"].items() if k.endswith("_correction")}, 30)
    check(switches == {"defect_correction": 0, "shading_correction": 0},
          "the corrections stay off after the reopen: %s" % switches)
    shot_path = os.path.join(OUT, "nuvctl_view.png")
    driver.save_screenshot(shot_path)
    check(os.path.getsize(shot_path) > 10000, "screenshot kept: " + shot_path)
except Exception as e:  # noqa: BLE001 - every failure is reported as one
    check(False, "unexpected: %r" % (e,))
finally:
    if driver is not None:
        driver.quit()
    rc = viewer.stop()
    check(rc == 0, "the viewer stops cleanly on Ctrl-C (exit %s): %s" % (rc, viewer.stderr()))
    shutil.rmtree(profile, ignore_errors=True)
sys.exit(check.finish())
