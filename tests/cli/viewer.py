"""Helpers for the tests of `mivoble view`: the running tool, its pages as WebSocket clients, and
headless Chromium driven over the DevTools protocol. Everything stays on 127.0.0.1."""
import json
import os
import queue
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from urllib.parse import urlsplit

import websocket

CLI = os.environ.get("MIVOBLE_CLI", str(Path(__file__).resolve().parents[2] / "build/release/mivoble"))
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
# A sanitized build runs several times slower on a machine that others share: the simulated
# amplifiers may deliver well below their rate there, and what the tests time jitters more.
SANITIZED = os.environ.get("MIVOBLE_TEST_SANITIZED") == "1"
# How far a rate that a page shows may differ from the rate measured over the same seconds, and
# the band around the amplifier's nominal rate that the measured rate must fall in.
RATE_AGREES = 0.4 if SANITIZED else 0.1
# (A sanitized server thread that was starved catches up in bursts, so a few seconds may hold
# more rows than the nominal rate gives.)
NOMINAL_BAND = (0.5, 2.0) if SANITIZED else (0.85, 1.15)


def wait_for(condition, timeout, what):
    """Polls condition() until it returns something true; fails with `what` after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.05)


class Lines:
    """The lines a pipe delivers, read on a thread of their own so the writer never blocks."""

    def __init__(self, pipe):
        self.lines = []
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self._thread.start()

    def _read(self, pipe):
        for line in iter(pipe.readline, ""):
            with self._lock:
                self.lines.append(line.rstrip("\n"))

    def snapshot(self):
        with self._lock:
            return list(self.lines)

    def wait(self, pattern, timeout=30):
        regex = re.compile(pattern)
        return wait_for(lambda: next((l for l in self.snapshot() if regex.search(l)), None), timeout,
                        f"a line matching {pattern!r}; so far: {self.snapshot()[-10:]}")

    def join(self, timeout=10):
        self._thread.join(timeout)


class Viewer:
    """`mivoble view` on the simulated radio, serving until stop()."""

    def __init__(self, names, sim=None, extra=(), env=None, no_browser=True):
        command = [CLI, "--backend", "sim"] + (["--sim", sim] if sim is not None else []) + ["view"] + list(names)
        command += (["--no-browser"] if no_browser else []) + list(extra)
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        env=env)
        self.out = Lines(self.process.stdout)
        self.err = Lines(self.process.stderr)
        try:
            self.url = self.out.wait(r"^http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32}$", timeout=60)
        except AssertionError:
            self.stop()
            raise AssertionError(f"no URL; stderr: {self.err.snapshot()}")
        parts = urlsplit(self.url)
        self.port = parts.port
        self.token = parts.query.split("=", 1)[1]

    def open_pages(self):
        """The pages that the view, by its own log, has accepted and not yet let go of."""
        opened, closed = set(), set()
        for line in self.err.snapshot():
            if match := re.fullmatch(r"view: page (\d+) (connected|closed)( \(.*\))?", line):
                (opened if match[2] == "connected" else closed).add(match[1])
        return opened - closed

    def wait_until_no_pages(self, timeout=15):
        """Pages closed by a test free their slots once the view has seen them go, not at once."""
        try:
            wait_for(lambda: not self.open_pages(), timeout, "the view to let go of its pages")
        except AssertionError as e:
            pages = self.open_pages()
            said = [l for l in self.err.snapshot() if any(re.match(rf"view: page {p}\b", l) for p in pages)]
            raise AssertionError(f"{e}: {sorted(pages)} are still open; the view said of them: {said}") from None

    def stop(self):
        """Ctrl-C; returns the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            status = self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        self.out.join()
        self.err.join()
        return status


def http_get(port, target, host=None, headers=()):
    """One raw HTTP/1.1 GET; returns (status, headers, body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        lines = [f"GET {target} HTTP/1.1", f"Host: {host if host is not None else f'127.0.0.1:{port}'}",
                 "Connection: close"] + list(headers)
        s.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    status_line, *header_lines = head.decode("latin-1").split("\r\n")
    fields = {k.lower(): v.strip() for k, v in (h.split(":", 1) for h in header_lines)}
    return int(status_line.split()[1]), fields, body


def upgrade_status(port, target, host=None, origin=None):
    """Asks for a WebSocket upgrade; returns the HTTP status of the answer (101 when accepted)."""
    headers = ["Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13",
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="]
    if origin is not None:
        headers.append(f"Origin: {origin}")
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        lines = [f"GET {target} HTTP/1.1", f"Host: {host if host is not None else f'127.0.0.1:{port}'}"] + headers
        s.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        data = b""
        while b"\r\n\r\n" not in data and (chunk := s.recv(4096)):
            data += chunk
    return int(data.split(b" ", 2)[1])


class Page:
    """A page as a plain WebSocket client: the hello, then columns and status messages."""

    def __init__(self, viewer, settings=None, receive_buffer=None, timeout=10):
        options = [(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)] if receive_buffer else []
        self.ws = websocket.create_connection(f"ws://127.0.0.1:{viewer.port}/ws?token={viewer.token}",
                                              timeout=timeout, sockopt=options,
                                              origin=f"http://127.0.0.1:{viewer.port}")
        if settings:
            self.ws.send(settings)

    def receive(self):
        """The next message: ("text", dict) or ("columns", header dict)."""
        opcode, data = self.ws.recv_data()
        if opcode == websocket.ABNF.OPCODE_TEXT:
            return "text", json.loads(data)
        amplifier, flags, channels, k, n, first = struct.unpack_from("<xBBxHxxIId", data)
        return "columns", {"amplifier": amplifier, "flags": flags, "channels": channels, "k": k, "n": n,
                           "first": int(first), "size": len(data)}

    def statuses(self, count):
        """The next `count` status messages, each with the local time it came (columns are skipped)."""
        seen = []
        while len(seen) < count:
            kind, message = self.receive()
            if kind == "text" and message["type"] == "status":
                seen.append((time.monotonic(), message))
        return seen

    def drain(self):
        """Reads what has come already (a new page's window, or what piled up while the test did
        something else), so that the next message is timed as it comes, not as it is read."""
        while select.select([self.ws.sock], [], [], 0)[0]:
            self.receive()

    def assert_rate(self, nominal, count=4, amplifier=0):
        """Over the next `count` status messages: the rows/s they report against the rows they
        report over the same seconds. Returns the measured rate."""
        self.drain()
        timed = self.statuses(count)
        (start, first), (end, last) = timed[0], timed[-1]
        rows = last["amplifiers"][amplifier]["rows"] - first["amplifiers"][amplifier]["rows"]
        shown = [s["amplifiers"][amplifier]["rowsPerSecond"] for _, s in timed[1:]]
        return assert_rate(rows / (end - start), sum(shown) / len(shown), nominal)

    def close(self):
        self.ws.close()


def assert_rate(measured, shown, nominal):
    """The rate a page shows agrees with the rate measured over the same seconds, and that one
    lies in the band around the amplifier's nominal rate. Returns the measured rate."""
    assert abs(shown - measured) <= RATE_AGREES * measured, (shown, measured)
    assert NOMINAL_BAND[0] * nominal <= measured <= NOMINAL_BAND[1] * nominal, (measured, nominal)
    return measured


class Browser:
    """Debian's Chromium, headless, driven over the DevTools protocol on 127.0.0.1."""

    def __init__(self, width=1280, height=800):
        self.profile = tempfile.mkdtemp(prefix="mivoble-view-chromium-")
        self.process = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
             "--disable-backgrounding-occluded-windows", "--hide-scrollbars", "--remote-debugging-address=127.0.0.1",
             "--remote-debugging-port=0", f"--user-data-dir={self.profile}", f"--window-size={width},{height}",
             "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.log = Lines(self.process.stderr)
        try:
            line = self.log.wait(r"DevTools listening on ws://127\.0\.0\.1:", timeout=60)
        except AssertionError:
            self.close()
            raise
        self.ws = websocket.create_connection(line.split("listening on ", 1)[1], timeout=60, suppress_origin=True)
        self.next_id = 0
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.call("Emulation.setDeviceMetricsOverride", session=True, width=width, height=height,
                  deviceScaleFactor=1, mobile=False)

    def call(self, method, session=False, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = self.session
        self.ws.send(json.dumps(message))
        while True:
            reply = json.loads(self.ws.recv())
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise AssertionError(f"{method}: {reply['error']}")
                return reply["result"]

    def navigate(self, url):
        self.call("Page.navigate", session=True, url=url)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", session=True, expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def state(self):
        """The page's data-state; nothing while it is still loading."""
        return self.evaluate("document.body ? document.body.dataset.state : null")

    def text(self, element_id):
        return self.evaluate(f"(document.getElementById({json.dumps(element_id)}) || {{}}).textContent || null")

    def screenshot(self):
        import base64
        return base64.b64decode(self.call("Page.captureScreenshot", session=True, format="png")["data"])

    def close(self):
        try:
            if getattr(self, "ws", None):
                self.call("Browser.close")
        except Exception:  # noqa: BLE001 - the browser may already be gone
            pass
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)
