#!/usr/bin/python3
"""nuvctl.exe view under Wine, on the simulated world: the Windows build's
viewer (the same code as on Linux) answers curl with the page and a frame,
takes the page's own changes, refuses a foreign Host and a form post, saves
a snapshot as the same 16-bit PNG with sBIT 10 as on Linux, keeps its port to
itself, and stops on Ctrl-C.

Usage: viewer_wine_test.py WINE NUVCTL_EXE WORK_DIR
"""
import array
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from viewer_harness import Checks, Viewer, png_chunks, wait_for  # noqa: E402

WINE, EXE, WORK = sys.argv[1], sys.argv[2], sys.argv[3]
W, H = 328, 204
check = Checks()
os.makedirs(WORK, exist_ok=True)
jar = os.path.join(WORK, "viewer-cookies.txt")
if os.path.exists(jar):
    os.remove(jar)


def curl(*args):
    """curl's output (headers first with -i) as text, and its exit status."""
    done = subprocess.run(["curl", "-s", "--max-time", "60", "-b", jar, "-c", jar] + list(args),
                          capture_output=True, timeout=90)
    return done.stdout, done.returncode


def code_of(*args):
    out, _ = curl("-o", os.devnull, "-w", "%{http_code}", *args)
    return int(out or 0)


def check_png(path):
    """The snapshot as other programs read it: 16-bit grey, sBIT 10, the samples
    the flat frame's values widened by bit replication."""
    from PIL import Image
    chunks = png_chunks(path)
    check(chunks.get(b"IHDR", b"")[8:10] == b"\x10\x00" and chunks.get(b"sBIT") == b"\x0a",
          "the snapshot is 16-bit grey with sBIT 10")
    import numpy as np
    with Image.open(path) as picture:
        samples = np.asarray(picture).astype(np.int64)
    values = samples >> 6
    flat = values.ravel()[4:]
    check(samples.shape == (H, W) and (samples == (values << 6 | values >> 4)).all(),
          "its samples are the values widened to 16 bits by bit replication")
    check(600 <= flat.min() <= flat.max() <= 1023, "its values are a corrected frame's: %d..%d" % (flat.min(), flat.max()))


viewer = Viewer([WINE, EXE, "--sim", "-d", "NUV2", "--size", "%dx%d" % (W, H), "view", "--port", "0"],
                startup=240, cwd=WORK)
try:
    check(viewer.url is not None, "nuvctl.exe view serves under Wine: " + viewer.line)
    base, port = viewer.base, viewer.port

    page, rc = curl("-L", viewer.url)
    check(rc == 0 and b"<title>nuvctl view</title>" in page and b'src="/viewer.js"' in page,
          "curl follows the token address to the page (%d bytes)" % len(page))
    script, _ = curl(base + "/viewer.js")
    check(b"MIN_AUTO_SPAN = 16" in script, "and gets its script with the cookie")

    received = wait_for(lambda: json.loads(curl(base + "/api/status?cam=0")[0] or b"{}").get("received", 0) > 0, 120)
    check(received, "the viewer has received a frame")
    headers = os.path.join(WORK, "viewer-frame-headers.txt")
    body = os.path.join(WORK, "viewer-frame.bin")
    _, rc = curl("-D", headers, "-o", body, base + "/api/frame?cam=0")
    fields = {}
    for line in open(headers, "rb").read().decode(errors="replace").splitlines()[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    values = array.array("H", open(body, "rb").read())
    check(fields.get("x-frame-width") == str(W) and fields.get("x-frame-height") == str(H)
          and len(values) == W * H, "a frame: %s x %s, %d values" % (fields.get("x-frame-width"),
                                                                      fields.get("x-frame-height"), len(values)))
    image = values[4:]
    check(len(image) > 0 and 600 <= min(image) <= max(image) <= 700,
          "the flat corrected frame of the simulated NUV2: %d..%d" % (min(image), max(image)))

    check(code_of("-H", "Host: evil.example:%d" % port, base + "/api/frame?cam=0") == 403, "a foreign Host: 403")
    check(code_of("-d", "cam=0&name=gain&value=5", base + "/api/set") == 403, "a form post: 403")
    change = json.dumps({"cam": 0, "name": "gain", "value": 33})
    ok = code_of("-H", "Content-Type: application/json", "-H", "Origin: http://127.0.0.1:%d" % port,
                 "--data-binary", change, base + "/api/set")
    status, _ = curl(base + "/api/status?cam=0")
    check(ok == 200 and json.loads(status)["controls"]["gain"] == 33, "the page's own change: gain 33 held")

    snapshot = json.dumps({"cam": 0, "sequence": int(fields.get("x-frame-sequence", "0"))})
    out, _ = curl("-w", "\n%{http_code}", "-H", "Content-Type: application/json", "--data-binary", snapshot,
                  base + "/api/snapshot")
    text, _, code = out.decode().rpartition("\n")
    saved = json.loads(text or "{}").get("path", "") if code == "200" else ""
    check(saved.upper().startswith("Z:\\"), "a snapshot: %s %s" % (code, text))
    if saved:
        # Wine's drive Z: is the host's root.
        png = "/" + saved[3:].replace("\\", "/")
        check_png(png)
        os.remove(png)

    second = Viewer([WINE, EXE, "--sim", "-d", "NUV", "view", "--port", str(port)], startup=240, cwd=WORK)
    rc = second.stop(timeout=120)
    reason = second.stderr()
    check(rc == 1 and "in use" in reason, "a second nuvctl.exe view on port %d exits 1: %s" % (port, reason))
    check(code_of(base + "/api/status?cam=0") == 200, "the first still serves")
except Exception as e:  # noqa: BLE001 - every failure is reported as one
    check(False, "unexpected: %r" % (e,))
finally:
    rc = viewer.stop(timeout=60)
    check(rc == 0, "nuvctl.exe view stops on Ctrl-C with exit 0 (%s): %s" % (rc, viewer.stderr()))
sys.exit(check.finish())
