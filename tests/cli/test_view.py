"""`mivoble view` without a browser: who may connect, what a page is sent, bad input, and pages
that misbehave or stall while the amplifier streams on."""
import os
import select
import socket
import subprocess

import pytest
import websocket

from viewer import CLI, RATE_AGREES, Page, Viewer, http_get, upgrade_status, wait_for

LEGACY = "MV-2401.00.01"
# 32 channels at 1 kHz: a stalled page's socket fills within seconds when it asks for every row.
DENSE_SIM = "MV-2401.00.05,channels=32,rate=1000,frames=4,mtu=517"


@pytest.fixture(scope="module")
def viewer():
    v = Viewer([LEGACY])
    yield v
    assert v.stop() == 0, v.err.snapshot()
    assert "view closed" in v.err.snapshot()


def statuses(page, count):
    """The amplifiers' health from the next `count` status messages (columns are skipped)."""
    seen = []
    while len(seen) < count:
        kind, message = page.receive()
        if kind == "text" and message["type"] == "status":
            seen.append(message)
    return seen


@pytest.mark.parametrize("target, host, origin, upgrade, status", [
    ("/?token={token}", None, None, False, 200),
    ("/uPlot.iife.min.js?token={token}", "localhost:{port}", None, False, 200),
    ("/missing?token={token}", None, None, False, 404),
    ("/", None, None, False, 403),
    ("/uPlot.iife.min.js", None, None, False, 403),
    ("/?token=0123456789abcdef0123456789abcdef", None, None, False, 403),
    ("/?token={token}", "evil.example:{port}", None, False, 403),
    ("/?token={token}", "127.0.0.1", None, False, 403),
    ("/ws?token={token}", None, "http://127.0.0.1:{port}", True, 101),
    ("/ws?token={token}", None, None, True, 101),
    ("/ws", None, "http://127.0.0.1:{port}", True, 403),
    ("/ws?token={token}", "evil.example:{port}", "http://evil.example:{port}", True, 403),
    ("/ws?token={token}", None, "http://evil.example", True, 403),
    ("/ws?token={token}", None, "null", True, 403),
    ("/?token={token}", None, "http://127.0.0.1:{port}", True, 404),
])
def test_only_requests_with_the_token_from_the_loopback_page_are_served(viewer, target, host, origin, upgrade, status):
    fill = {"token": viewer.token, "port": viewer.port}
    target = target.format(**fill)
    host = host.format(**fill) if host else None
    origin = origin.format(**fill) if origin else None
    if upgrade:
        assert upgrade_status(viewer.port, target, host, origin) == status
    else:
        code, headers, body = http_get(viewer.port, target, host)
        assert code == status, body
        if status == 200:
            assert headers["cache-control"] == "no-store" and headers["referrer-policy"] == "no-referrer"
            assert "frame-ancestors 'none'" in headers["content-security-policy"]


def test_the_page_links_its_files_with_the_token_and_uplot_is_built_in(viewer):
    _, headers, page = http_get(viewer.port, f"/?token={viewer.token}")
    assert headers["content-type"].startswith("text/html")
    assert page.count(f"?token={viewer.token}".encode()) == 4
    _, _, library = http_get(viewer.port, f"/uPlot.iife.min.js?token={viewer.token}")
    assert library.startswith(b"/*! https://github.com/leeoniya/uPlot") and len(library) > 40000


def test_a_page_gets_its_window_at_once_and_then_columns_at_the_rate(viewer):
    page = Page(viewer, "seconds=2&columns=100")
    kind, hello = page.receive()
    assert kind == "text" and hello["type"] == "hello"
    assert hello["amplifiers"] == [{"name": LEGACY, "rate": 250, "unit": "\u00b5V",
                                    "channels": [f"ch{i}" for i in range(1, 9)]}]
    rows, first_status, columns = None, None, []
    while first_status is None or len(columns) < 20:
        kind, message = page.receive()
        if kind == "columns":
            columns.append(message)
        elif message["type"] == "status" and columns:
            first_status = message
    # Afresh with the new settings: 500 rows on 100 columns is 5 rows per column.
    afresh = [i for i, c in enumerate(columns) if c["flags"] & 2]
    assert afresh, columns[:3]
    after = columns[afresh[-1]:]
    assert all(c["k"] == 5 and c["channels"] == 8 and c["first"] % 5 == 0 for c in after)
    # Columns follow each other without a gap and the window never exceeds the page's pixels.
    for a, b in zip(after, after[1:]):
        assert b["first"] == a["first"] + a["n"] * 5
    assert after[0]["n"] <= 100
    amplifier = first_status["amplifiers"][0]
    assert amplifier["link"] == "up" and amplifier["battery"] == 87 and amplifier["reconnects"] == 0
    page.assert_rate(250)
    page.close()


def ended_by_server(ws):
    try:
        while True:
            opcode, _ = ws.recv_data(control_frame=True)
            if opcode == websocket.ABNF.OPCODE_CLOSE:
                return True
    except (websocket.WebSocketConnectionClosedException, ConnectionError):
        return True
    except websocket.WebSocketTimeoutException:
        return False


def raw_websocket(viewer):
    """A connected WebSocket whose frames the test writes itself."""
    ws = websocket.WebSocket()
    ws.connect(f"ws://127.0.0.1:{viewer.port}/ws?token={viewer.token}", timeout=10)
    return ws


def masked_frame(opcode, payload, fin=True, rsv=0, mask=True):
    head = bytes([(0x80 if fin else 0) | rsv | opcode])
    length = len(payload)
    if length < 126:
        head += bytes([(0x80 if mask else 0) | length])
    else:
        head += bytes([(0x80 if mask else 0) | 126]) + length.to_bytes(2, "big")
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


@pytest.mark.parametrize("frame", [
    pytest.param(masked_frame(0x1, b"seconds=1", mask=False), id="unmasked"),  # clients must mask their frames
    pytest.param(masked_frame(0x1, b"seconds=1", rsv=0x40), id="reserved-bit"),  # no extension was agreed on
    pytest.param(masked_frame(0x3, b"x"), id="reserved-opcode"),
    pytest.param(masked_frame(0x1, b"\xff\xfe\xfd"), id="not-utf8"),
    pytest.param(masked_frame(0x1, b"seconds=1&" + b"x" * 2000), id="oversized"),
    pytest.param(b"\x81\xff" + b"\x7f" * 8 + os.urandom(4), id="64-bit-length"),
])
def test_a_malformed_or_oversized_frame_ends_only_that_page(viewer, frame):
    ws = raw_websocket(viewer)
    ws.sock.sendall(frame)
    # The server ends the connection; until then it may still send what was on its way.
    assert ended_by_server(ws)
    ws.close()
    page = Page(viewer)
    page.assert_rate(250, count=3)
    page.close()


@pytest.mark.parametrize("message, error", [
    ("seconds=0", "seconds must be between 1 and 60"),
    ("colour=red", "unknown setting 'colour'"),
    ("columns=lots", "'columns' needs a number"),
])
def test_bad_settings_are_answered_and_the_page_streams_on(viewer, message, error):
    page = Page(viewer, message)
    errors = []
    while len(errors) < 1:
        kind, reply = page.receive()
        if kind == "text" and reply["type"] == "error":
            errors.append(reply["message"])
    assert error in errors[0]
    page.ws.send_binary(b"\x01\x02")
    kind, reply = page.receive()
    while not (kind == "text" and reply["type"] == "error"):
        kind, reply = page.receive()
    assert "text" in reply["message"]
    assert statuses(page, 1)[0]["amplifiers"][0]["link"] == "up"
    page.close()


def test_connections_and_pages_are_bounded_and_free_again_when_closed(viewer):
    viewer.wait_until_no_pages()  # those of the tests before
    pages = [Page(viewer) for _ in range(8)]
    assert upgrade_status(viewer.port, f"/ws?token={viewer.token}") == 503
    # Idle connections beyond the bound of 32 are closed by the server at once.
    idle = [socket.create_connection(("127.0.0.1", viewer.port), timeout=10) for _ in range(40)]
    closed = set()

    def count_closed():
        readable, _, _ = select.select([s for s in idle if s not in closed], [], [], 0)
        for s in readable:
            try:
                if s.recv(1) == b"":
                    closed.add(s)
            except ConnectionResetError:
                closed.add(s)
        return len(closed) >= 40 - (32 - 8)

    wait_for(count_closed, 10, "the connections beyond the bound to be closed")
    for s in idle:
        s.close()
    for page in pages:
        page.close()
    # Once the view has let go of them, a new page gets its rows (its connection may still have
    # to wait for the idle ones to be let go, which the view does not log).
    viewer.wait_until_no_pages()
    page = wait_for(lambda: _try_page(viewer), 15, "a page to be accepted again")
    assert statuses(page, 1)[0]["amplifiers"][0]["link"] == "up"
    page.close()


def _try_page(viewer):
    try:
        return Page(viewer)
    except (websocket.WebSocketException, ConnectionError):
        return None


def test_a_stalled_page_does_not_slow_the_amplifier():
    viewer = Viewer(["MV-2401.00.05"], sim=DENSE_SIM)
    try:
        watcher = Page(viewer)
        before = watcher.assert_rate(1000, count=3)
        # Every row, and never a read: its socket fills, then its queue, then its updates are dropped.
        stalled = Page(viewer, "seconds=1&columns=4096", receive_buffer=16384)
        viewer.err.wait(r"page \d+ is not keeping up", timeout=60)
        during = watcher.assert_rate(1000, count=4)
        assert during >= (1 - RATE_AGREES) * before, (before, during)
        assert statuses(watcher, 1)[0]["dropped"] == 0
        # It asks to close and still reads nothing: the view's answer cannot get past the update in
        # flight, so the view lets the page go on its own, well before the page time-out of 30 s.
        stalled.ws.send_close()
        viewer.err.wait(r"updates dropped: it did not keep up", timeout=15)
        stalled.ws.sock.close()
        watcher.close()
    finally:
        assert viewer.stop() == 0, viewer.err.snapshot()


def run_view(*args, env=None, timeout=60):
    return subprocess.run([CLI, "--backend", "sim", "view", *args], capture_output=True, text=True, timeout=timeout,
                          env=env)


@pytest.mark.parametrize("args, message", [
    (["--seconds", "0", LEGACY], "--seconds"),
    (["--seconds", "61", LEGACY], "--seconds"),
    (["--port", "70000", LEGACY], "--port"),
    ([LEGACY, LEGACY], "named twice"),
    ([], "NAME"),
])
def test_bad_arguments_are_usage_errors(args, message):
    result = run_view(*args)
    assert result.returncode == 2, result.stderr
    assert message in result.stderr


def test_a_busy_port_or_an_unknown_amplifier_fails_with_one_clear_message():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        result = run_view("--port", str(port), "--no-browser", LEGACY)
    assert result.returncode == 1 and f"port {port} of 127.0.0.1 is in use" in result.stderr
    assert "looking for" not in result.stderr  # the port is checked before any radio work
    result = run_view("--no-browser", LEGACY, "MV-2401.09.99")
    assert result.returncode == 1
    assert "open MV-2401.09.99: no amplifier of that name" in result.stderr
    assert result.stdout == ""


@pytest.mark.parametrize("changes, reason", [
    ({"DISPLAY": None, "WAYLAND_DISPLAY": None}, "no graphical session"),
    ({"DISPLAY": ":99", "PATH": "/nonexistent"}, "xdg-open is not installed"),
])
def test_without_a_browser_to_open_the_url_is_printed_and_the_view_goes_on(changes, reason):
    env = {k: v for k, v in os.environ.items() if k not in changes}
    env.update({k: v for k, v in changes.items() if v is not None})
    viewer = Viewer([LEGACY], env=env, no_browser=False)
    try:
        viewer.err.wait(f"no browser opened: {reason}.*open the URL above")
        assert http_get(viewer.port, f"/?token={viewer.token}")[0] == 200
    finally:
        assert viewer.stop() == 0
