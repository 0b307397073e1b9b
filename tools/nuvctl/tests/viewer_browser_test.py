#!/usr/bin/python3
"""The viewer in a real browser: headless Chromium loads the page served by
`nuvctl view`, changes the gain, and the camera must hold the new gain; the
page must show live frames, and a screenshot of it is kept.

Usage: viewer_browser_test.py NUVCTL OUTPUT_DIR
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

NUVCTL, OUT = sys.argv[1], sys.argv[2]
passed = failed = 0


def check(ok, what):
    global passed, failed
    print(("ok: " if ok else "FAILED: ") + what, flush=True)
    passed, failed = passed + bool(ok), failed + (not ok)


def get_json(base, path):
    with urllib.request.urlopen(base + path, timeout=10) as r:
        return json.load(r)


os.makedirs(OUT, exist_ok=True)
# Both cameras, a visible lens fall-off on the optics, real time: the page
# shows live frames.
viewer = subprocess.Popen(
    [NUVCTL, "-d", "NUV2", "-d", "NUV", "--sim-scene", "700", "--sim-lens", "0.5,0.5,1.5",
     "--sim-defect", "0.25,0.25,1023", "view", "--port", "0"],
    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
profile = tempfile.mkdtemp(prefix="nuvctl-chromium-")
driver = None
try:
    line = viewer.stdout.readline()
    check(line.startswith("serving http://127.0.0.1:"), "the viewer serves on 127.0.0.1: " + line.strip())
    base = line.split()[1].rstrip("/")
    port = int(base.rsplit(":", 1)[1])
    # Nothing listens beyond the loopback address.
    listening = open("/proc/net/tcp").read().splitlines()[1:]
    local = [l.split()[1] for l in listening if l.split()[3] == "0A" and int(l.split()[1].split(":")[1], 16) == port]
    check(local == ["0100007F:%04X" % port], "the port is bound to 127.0.0.1 only: %s" % local)

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1400,1000", "--user-data-dir=" + profile):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                              options=options)
    driver.set_page_load_timeout(30)
    driver.get(base + "/")
    wait = WebDriverWait(driver, 30)
    wait.until(lambda d: d.execute_script(
        "const i = document.getElementById('frame-0'); return i && i.complete && i.naturalWidth > 0;"))
    check(True, "the page shows a frame of camera 0")
    wait.until(lambda d: float(d.find_element(By.ID, "fps-0").text) > 1.0)
    check(True, "frames per second shown: " + driver.find_element(By.ID, "fps-0").text)
    check(driver.find_element(By.ID, "frame-1").is_displayed(), "camera 1 has its panel")

    # Change the gain the way a person does: type a value, leave the field.
    # The simulated sensor answers it (1 + 7/16 times the signal), and the
    # image stays below saturation for the checks further on.
    gain = driver.find_element(By.ID, "gain-0")
    gain.clear()
    gain.send_keys("7")
    driver.execute_script("arguments[0].dispatchEvent(new Event('change'));", gain)
    wait.until(lambda d: get_json(base, "/api/status?cam=0")["controls"].get("gain") == 7)
    check(True, "the camera holds gain 7 (read back from the camera)")
    check(driver.find_element(By.ID, "error-0").text == "", "no error shown")

    # A value out of range is refused with a message on the page.
    led = driver.find_element(By.ID, "led-0")
    led.clear()
    led.send_keys("99")
    driver.execute_script("arguments[0].dispatchEvent(new Event('change'));", led)
    wait.until(lambda d: "outside" in d.find_element(By.ID, "error-0").text)
    check(get_json(base, "/api/status?cam=0")["controls"].get("led") != 99, "LED 99 refused, camera unchanged")

    # Shading off through its checkbox: the camera's switch follows.
    driver.find_element(By.ID, "shading_correction-0").click()
    wait.until(lambda d: get_json(base, "/api/status?cam=0")["controls"].get("shading_correction") == 0)
    check(True, "shading correction switched off in the camera")

    # The histogram and the frame carry an image, not a blank: the frame has
    # the lens fall-off, so its pixels vary.
    seen = get_json(base, "/api/status?cam=0")["frames"]
    wait.until(lambda d: get_json(base, "/api/status?cam=0")["frames"] > seen + 3)
    shot = os.path.join(OUT, "nuvctl_view.png")
    driver.save_screenshot(shot)
    check(os.path.getsize(shot) > 10000, "screenshot kept: " + shot)
    driver.set_script_timeout(20)
    stats = driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const img = new Image();
        img.onload = () => {
            const c = document.createElement('canvas');
            c.width = img.naturalWidth; c.height = img.naturalHeight;
            const g = c.getContext('2d'); g.drawImage(img, 0, 0);
            const d = g.getImageData(0, 0, c.width, c.height).data;
            let lo = 255, hi = 0;
            for (let i = 0; i < d.length; i += 4 * 97) { lo = Math.min(lo, d[i]); hi = Math.max(hi, d[i]); }
            const centre = g.getImageData(c.width / 2, c.height / 2, 1, 1).data[0];
            const corner = g.getImageData(2, c.height - 3, 1, 1).data[0];
            done([lo, hi, centre, corner]);
        };
        img.onerror = () => done([0, 0, 0, 0]);
        img.src = document.getElementById('frame-0').src;""")
    check(stats[1] - stats[0] > 100, "the frame shows an image (grey levels %d..%d)" % (stats[0], stats[1]))
    check(stats[2] > stats[3], "the centre is brighter than the corner (%d > %d)" % (stats[2], stats[3]))
    hist = get_json(base, "/api/status?cam=0")["histogram"]
    check(len(hist) == 64 and sum(1 for n in hist if n) > 3, "the histogram spreads over several bins")
except Exception as e:  # noqa: BLE001 - every failure is reported as one
    check(False, "unexpected: %r" % (e,))
finally:
    if driver is not None:
        driver.quit()
    viewer.send_signal(signal.SIGINT)
    try:
        rc = viewer.wait(timeout=15)
    except subprocess.TimeoutExpired:
        viewer.kill()
        rc = viewer.wait()
    check(rc == 0, "the viewer stops cleanly on Ctrl-C (exit %s): %s" % (rc, viewer.stderr.read().strip()))
    shutil.rmtree(profile, ignore_errors=True)
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
