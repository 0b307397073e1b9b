#!/usr/bin/python3
"""Other sites cannot use the viewer: requests a foreign page (or a DNS-
rebinding one) could make are refused with 403 and leave the camera as it
was, the viewer's own requests still work, malformed and oversized requests
are answered without harm, and the port is the viewer's alone.

Usage: viewer_guard_test.py NUVCTL
"""
import http.client
import json
import os
import random
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from viewer_harness import Checks, Viewer, free_port, wait_for  # noqa: E402

NUVCTL = sys.argv[1]
check = Checks()
answers = []  # every response, for the CORS check at the end


def ask(viewer, *args, **kw):
    code, headers, body = viewer.request(*args, **kw)
    answers.append(headers)
    return code, headers, body


def post(viewer, *args, **kw):
    code, headers, body = viewer.json_post(*args, **kw)
    answers.append(headers)
    return code, headers, body


viewer = Viewer([NUVCTL, "-d", "NUV2", "--size", "328x204", "view", "--port", "0"])
try:
    check(viewer.url and viewer.url.startswith("http://127.0.0.1:") and len(viewer.token) == 32,
          "the viewer prints its address with a 32-digit token: %s" % viewer.line)
    port, token = viewer.port, viewer.token

    # The first visit trades the token in the address for a cookie.
    code, headers, _ = ask(viewer, "GET", "/?token=" + token, cookie=False)
    cookie = headers.get("set-cookie", "")
    check(code == 303 and headers.get("location") == "/", "the address with the token redirects to / (%d)" % code)
    check(cookie.startswith("nuvctl_view_%d=%s;" % (port, token)) and "HttpOnly" in cookie
          and "SameSite=Strict" in cookie, "the token becomes an HttpOnly, SameSite=Strict cookie: " + cookie)
    code, _, body = ask(viewer, "GET", "/")
    check(code == 200 and b"nuvctl view" in body, "the cookie opens the page")

    before = viewer.status()["controls"]
    gain = before["gain"]
    wanted = 17 if gain != 17 else 18
    change = {"cam": 0, "name": "gain", "value": wanted}
    right_json = [("Content-Type", "application/json")]

    # ---- hostile requests: each 403, nothing changes -------------------------
    hostile = [
        ("a foreign Host (DNS rebinding) reading a frame",
         lambda: ask(viewer, "GET", "/api/frame?cam=0", host="evil.example:%d" % port)),
        ("a foreign Host changing the gain",
         lambda: post(viewer, "/api/set", change, host="evil.example:%d" % port)),
        ("a foreign Host with the token in the address",
         lambda: ask(viewer, "GET", "/?token=" + token, host="evil.example", cookie=False)),
        ("this address with another port in Host",
         lambda: ask(viewer, "GET", "/api/status?cam=0", host="127.0.0.1:%d" % (port + 1))),
        ("no Host header", lambda: ask(viewer, "GET", "/api/status?cam=0", host=False)),
        ("two Host headers, ours and a foreign one",
         lambda: ask(viewer, "GET", "/api/status?cam=0", [("Host", "evil.example")])),
        ("no token reading a frame", lambda: ask(viewer, "GET", "/api/frame?cam=0", cookie=False)),
        ("no token loading the page", lambda: ask(viewer, "GET", "/", cookie=False)),
        ("no token changing the gain",
         lambda: ask(viewer, "POST", "/api/set", right_json, json.dumps(change), cookie=False)),
        ("a wrong token in the address",
         lambda: ask(viewer, "GET", "/api/status?cam=0&token=" + "0" * 32, cookie=False)),
        ("a wrong token in the cookie",
         lambda: ask(viewer, "GET", "/api/status?cam=0", [("Cookie", "nuvctl_view_%d=%s" % (port, token[:-1] + "x"))],
                     cookie=False)),
        ("the token cut short", lambda: ask(viewer, "GET", "/api/status?cam=0&token=" + token[:16], cookie=False)),
        ("the token under another port's cookie",
         lambda: ask(viewer, "GET", "/api/status?cam=0", [("Cookie", "nuvctl_view_%d=%s" % (port + 1, token))],
                     cookie=False)),
        ("a change from a foreign Origin",
         lambda: ask(viewer, "POST", "/api/set", right_json + [("Origin", "http://evil.example")], json.dumps(change))),
        ("a change from Origin null",
         lambda: ask(viewer, "POST", "/api/set", right_json + [("Origin", "null")], json.dumps(change))),
        ("a change from our host on another port",
         lambda: ask(viewer, "POST", "/api/set", right_json + [("Origin", "http://127.0.0.1:%d" % (port + 1))],
                     json.dumps(change))),
        ("a form-encoded change",
         lambda: ask(viewer, "POST", "/api/set", [("Content-Type", "application/x-www-form-urlencoded"),
                                                  ("Origin", "http://127.0.0.1:%d" % port)],
                     "cam=0&name=gain&value=%d" % wanted)),
        ("JSON sent as text/plain (a request a foreign page may send without asking)",
         lambda: ask(viewer, "POST", "/api/set", [("Content-Type", "text/plain")], json.dumps(change))),
        ("a change without a content type", lambda: ask(viewer, "POST", "/api/set", [], json.dumps(change))),
        ("a multipart snapshot request",
         lambda: ask(viewer, "POST", "/api/snapshot", [("Content-Type", "multipart/form-data; boundary=x")],
                     "--x\r\n\r\n{}\r\n--x--\r\n")),
    ]
    for what, send in hostile:
        code, _, body = send()
        check(code == 403, "403 for %s: %d %s" % (what, code, body.decode(errors="replace").strip()[:100]))
    code, headers, _ = ask(viewer, "GET", "/api/set?cam=0&name=gain&value=%d" % wanted)
    check(code == 405 and headers.get("allow") == "POST", "a change by GET is not one (405, Allow: POST)")
    after = viewer.status()["controls"]
    check(after == before, "the camera is unchanged, read back through the library: %s" % after)

    # ---- the viewer's own requests work -------------------------------------
    code, _, body = post(viewer, "/api/set", change)
    check(code == 200 and json.loads(body) == {"ok": True}, "a JSON change from the page's origin is taken")
    check(viewer.status()["controls"]["gain"] == wanted, "the camera holds gain %d" % wanted)
    code, _, body = post(viewer, "/api/set", {"cam": 0, "name": "gain", "value": gain}, host="localhost:%d" % port)
    check(code == 200 and viewer.status()["controls"]["gain"] == gain,
          "through localhost:%d as well (gain back to %d)" % (port, gain))
    code, _, body = ask(viewer, "POST", "/api/set", [("Content-Type", "application/json; charset=utf-8")],
                        json.dumps({"cam": 0, "name": "led", "value": 5}))
    check(code == 200, "a change without Origin (curl) and with a charset is taken: %d" % code)
    check(wait_for(lambda: viewer.status()["received"] > 0, 60), "the viewer has received a frame")
    code, headers, body = ask(viewer, "GET", "/api/frame?cam=0&token=" + token, cookie=False)
    check(code == 200 and len(body) == 328 * 204 * 2 and headers.get("x-frame-width") == "328",
          "the token in the address reads a frame (%d, %d bytes)" % (code, len(body)))

    # ---- bad requests from the page's own side ---------------------------------
    bad = [
        ("a camera that is not there", {"cam": 5, "name": "gain", "value": 1}, 404),
        ("a control that is not there", {"cam": 0, "name": "flux", "value": 1}, 400),
        ("a value out of range", {"cam": 0, "name": "gain", "value": 241}, 400),
        ("a value that is not a number", {"cam": 0, "name": "gain", "value": "1; rm"}, 400),
        ("a body that is not an object", [1, 2], 400),
    ]
    for what, body, expected in bad:
        code, _, text = post(viewer, "/api/set", body)
        answer = json.loads(text)
        check(code == expected and answer["ok"] is False and answer["error"],
              "%s: %d %s" % (what, code, answer.get("error")))
    code, _, _ = ask(viewer, "POST", "/api/set", right_json, "{not json")
    check(code == 400, "broken JSON: 400")
    code, _, _ = ask(viewer, "POST", "/api/set", right_json, "[" * 60000)
    check(code == 400, "60000 nested brackets: 400")
    code, _, _ = ask(viewer, "POST", "/api/stream", right_json, json.dumps({"cam": 0, "format": 99}))
    check(code == 400, "a stream format outside the device's list: 400")
    code, _, _ = ask(viewer, "GET", "/api/status?cam=-1")
    check(code == 404, "cam=-1: 404")
    code, _, _ = ask(viewer, "GET", "/api/frame?cam=0&after=5abc")
    check(code == 400, "after=5abc: 400")
    code, _, _ = ask(viewer, "GET", "/api/frame?cam=0&after=999999999999")
    check(code == 204, "nothing newer than frame 999999999999: 204")
    code, _, _ = ask(viewer, "GET", "/etc/passwd")
    check(code == 404, "an unknown address: 404")

    # ---- malformed and oversized requests ---------------------------------------
    def raw(data):
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
            s.sendall(data)
            reply = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return reply
                reply += chunk

    reply = raw(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 not http at all\r\n\r\n")
    check(reply.startswith(b"HTTP/1.1 400"), "bytes that are not HTTP: 400 (%r)" % reply[:30])
    reply = raw(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-Long: %s\r\n\r\n" % (port, b"a" * 20000))
    check(reply.startswith(b"HTTP/1.1 431"), "a 20 kB header: 431 (%r)" % reply[:30])
    code, _, _ = ask(viewer, "POST", "/api/set", right_json, "x" * 100000)
    check(code == 413, "a 100 kB body: 413")
    reply = raw(b"POST /api/set HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Length: 99999999999\r\n\r\n" % port)
    check(reply.startswith(b"HTTP/1.1 413"), "a body announced at 100 GB: 413 (%r)" % reply[:30])
    # Requests cut and mangled at random (the same each run): each is
    # answered or closed, and the viewer lives on.
    rng = random.Random(18)
    good = (b"POST /api/set?cam=0 HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nCookie: %s\r\n"
            b"Content-Type: application/json\r\nContent-Length: 37\r\n\r\n"
            b'{"cam": 0, "name": "led", "value": 3}' % (port, viewer.cookie().encode()))
    for _ in range(150):
        data = bytearray(good)
        for _ in range(rng.randint(1, 8)):
            at = rng.randrange(len(data))
            what = rng.random()
            if what < 0.4:
                data[at] = rng.randrange(256)
            elif what < 0.7:
                del data[at:at + rng.randint(1, 20)]
            else:
                data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 40)))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
                s.sendall(bytes(data[:rng.randint(1, len(data))]))
                s.shutdown(socket.SHUT_WR)
                while s.recv(65536):
                    pass
        except OSError:
            pass  # the viewer may close first; only its survival counts
    code, _, _ = ask(viewer, "GET", "/api/status?cam=0")
    check(code == 200 and viewer.proc.poll() is None, "150 mangled requests later the viewer answers")

    # More idle connections than the viewer serves at once: a request sent
    # while they are open is answered once they end, not turned away.
    idle = [socket.create_connection(("127.0.0.1", port), timeout=30) for _ in range(40)]
    waiting = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    waiting.request("GET", "/api/status?cam=0", headers={"Host": "127.0.0.1:%d" % port, "Cookie": viewer.cookie()})
    for s in idle:
        s.close()
    try:
        code = waiting.getresponse().status
    except OSError as e:
        code = repr(e)
    finally:
        waiting.close()
    check(code == 200, "a request sent while 40 idle connections were open is answered when they end: %s" % code)
    code, _, _ = ask(viewer, "GET", "/api/status?cam=0")
    check(code == 200, "after all that the viewer still answers")

    leaked = [h for h in answers if any(k.startswith("access-control-") for k in h)]
    check(answers and not leaked, "no CORS header in any of %d answers" % len(answers))
    check(all(h.get("x-frame-options") == "DENY" for h in answers), "no answer may be framed by another site")

    # ---- the port is the viewer's alone ----------------------------------------
    second = Viewer([NUVCTL, "-d", "NUV", "--size", "328x204", "view", "--port", str(port)], startup=30)
    rc = second.stop(timeout=30)
    reason = second.stderr()
    check(rc == 1 and ("127.0.0.1:%d" % port) in reason and "in use" in reason,
          "a second viewer on port %d exits 1 with the reason: %s" % (port, reason))
    check(second.line == "", "the second viewer never says it serves")
    code, _, _ = ask(viewer, "GET", "/api/status?cam=0")
    check(code == 200, "the first viewer still serves")

    with socket.socket() as other:
        other.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        other.bind(("127.0.0.1", 0))
        other.listen()
        taken = other.getsockname()[1]
        third = Viewer([NUVCTL, "-d", "NUV", "view", "--port", str(taken)], startup=30)
        rc = third.stop(timeout=30)
        reason = third.stderr()
        check(rc == 1 and "in use" in reason, "a port another program listens on: exit 1, %s" % reason)
    spare = free_port()
    fourth = Viewer([NUVCTL, "-d", "NUV", "view", "--port", str(spare), "--snapshot-dir", "/nonexistent/dir"],
                    startup=30)
    rc = fourth.stop(timeout=30)
    check(rc == 1 and "--snapshot-dir" in fourth.stderr(), "a snapshot directory that is not there: exit 1")
except Exception as e:  # noqa: BLE001 - every failure is reported as one
    check(False, "unexpected: %r" % (e,))
finally:
    rc = viewer.stop()
    check(rc == 0, "the viewer stops on Ctrl-C with exit 0 (%s): %s" % (rc, viewer.stderr()))
sys.exit(check.finish())
