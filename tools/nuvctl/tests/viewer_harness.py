"""What the viewer's tests share: starting `nuvctl view` and reading the
address it prints, stopping it as Ctrl-C does, raw HTTP requests with any
headers, and a tally of checks."""
import http.client
import queue
import signal
import socket
import subprocess
import threading
import time
import urllib.parse


class Checks:
    def __init__(self):
        self.passed = self.failed = 0

    def __call__(self, ok, what):
        print(("ok: " if ok else "FAILED: ") + what, flush=True)
        self.passed += bool(ok)
        self.failed += not ok
        return ok

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed), flush=True)
        return 1 if self.failed or not self.passed else 0


class Viewer:
    """A running `nuvctl view`: its port, token and base address."""

    def __init__(self, command, startup=60.0, cwd=None, env=None):
        self.command = command
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     cwd=cwd, env=env)
        self.lines = queue.Queue()
        self.errors = []
        threading.Thread(target=self._pump, args=(self.proc.stdout, self.lines), daemon=True).start()
        threading.Thread(target=self._collect, daemon=True).start()
        self.line = self.wait_line(startup)
        self.url = self.line.split()[1] if self.line.startswith("serving ") else None
        if self.url:
            parts = urllib.parse.urlsplit(self.url)
            self.port = parts.port
            self.token = urllib.parse.parse_qs(parts.query).get("token", [""])[0]
            self.base = "http://127.0.0.1:%d" % self.port

    @staticmethod
    def _pump(stream, lines):
        for line in stream:
            lines.put(line.rstrip("\r\n"))
        lines.put(None)

    def _collect(self):
        for line in self.proc.stderr:
            self.errors.append(line.rstrip("\r\n"))

    def wait_line(self, timeout):
        """The first line the viewer prints, waiting at most timeout
        seconds; "" when it ended or stayed silent."""
        try:
            return self.lines.get(timeout=timeout) or ""
        except queue.Empty:
            return ""

    def stop(self, timeout=20.0):
        """Ctrl-C, then the exit status (None when it had to be killed)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def stderr(self, settle=5.0):
        """What the viewer wrote to stderr once it has ended."""
        deadline = time.monotonic() + settle
        while self.proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        return "\n".join(self.errors)

    def cookie(self):
        return "nuvctl_view_%d=%s" % (self.port, self.token)

    def request(self, method, path, headers=None, body=None, host=None, cookie=True):
        """One request with exactly these headers (Host as given, else the
        viewer's own; the run's cookie unless told not to); returns status,
        headers (lower-case names) and body."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            if host is not False:
                conn.putheader("Host", host or "127.0.0.1:%d" % self.port)
            if cookie:
                conn.putheader("Cookie", self.cookie())
            for name, value in (headers or []):
                conn.putheader(name, value)
            data = body.encode() if isinstance(body, str) else body
            if data is not None:
                conn.putheader("Content-Length", str(len(data)))
            conn.endheaders(data)
            r = conn.getresponse()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
        finally:
            conn.close()

    def json_post(self, path, body, origin=True, host=None):
        import json
        headers = [("Content-Type", "application/json")]
        if origin:
            headers.append(("Origin", "http://%s" % (host or "127.0.0.1:%d" % self.port)))
        return self.request("POST", path, headers, json.dumps(body), host=host)

    def status(self, cam=0):
        import json
        code, _, body = self.request("GET", "/api/status?cam=%d" % cam)
        assert code == 200, "status answered %d: %r" % (code, body)
        return json.loads(body)


def wait_for(condition, timeout, step=0.05):
    """Polls condition until it returns something true or timeout seconds
    pass; returns its last result."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(step)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def png_chunks(path):
    """A PNG file's chunks by type (the first of each), for the header
    fields and sBIT that image libraries do not all report."""
    data = open(path, "rb").read()
    chunks, at = {}, 8
    while at < len(data):
        size = int.from_bytes(data[at:at + 4], "big")
        chunks.setdefault(data[at + 4:at + 8], data[at + 8:at + 8 + size])
        at += 12 + size
    return chunks
