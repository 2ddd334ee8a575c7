"""bluetoothctl (Debian's bluez 5.66, unchanged) against the fake bluetoothd."""
import re
import subprocess
import threading
import time

import pytest

from conftest import LEGACY, NUS

ADAPTER = "00:00:5E:00:53:01"
_DECOR = re.compile(r"[\x01\x02\r]|\x1b\[[0-9;]*[A-Za-z]")


def plain(text):
    return _DECOR.sub("", text)


def bluetoothctl(*args, timeout=15):
    p = subprocess.run(["bluetoothctl", *args], capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    return p.returncode, plain(p.stdout)


class Session:
    """An interactive bluetoothctl: send a command, wait for a line of its output."""

    def __init__(self):
        self.proc = subprocess.Popen(["bluetoothctl"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.output = ""
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for chunk in iter(lambda: self.proc.stdout.read(1), ""):
            with self.cond:
                self.output += chunk
                self.cond.notify_all()

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def expect(self, pattern, timeout=10, start=0):
        """Waits until `pattern` appears in the output after offset `start`; returns its end."""
        deadline = time.monotonic() + timeout
        regex = re.compile(pattern)
        with self.cond:
            while True:
                m = regex.search(plain(self.output[start:]))
                if m:
                    return m
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no {pattern!r} in bluetoothctl output:\n{plain(self.output)[-3000:]}")
                self.cond.wait(left)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.send("quit")
                self.proc.wait(5)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)


@pytest.fixture
def session():
    s = Session()
    s.expect(r"Agent registered|\[bluetooth\]#")
    yield s
    s.close()


def test_show_prints_the_powered_adapter():
    code, out = bluetoothctl("show")
    assert code == 0
    assert f"Controller {ADAPTER} (public)" in out
    for line in ("Powered: yes", "Discovering: no", "Roles: central", "Class: 0x007c0104"):
        assert line in out


def test_scan_on_lists_the_amplifiers(addresses):
    code, out = bluetoothctl("--timeout", "3", "scan", "on")
    assert code == 0
    assert "Discovery started" in out
    assert f"[CHG] Controller {ADAPTER} Discovering: yes" in out
    for name in (LEGACY, NUS):
        # New devices are announced; ones this bus already knows show their fresh RSSI.
        assert re.search(rf"\[(NEW|CHG)\] Device {addresses[name]} ({re.escape(name)}|RSSI)", out), out
    code, out = bluetoothctl("devices")
    assert code == 0
    for name in (LEGACY, NUS):
        assert f"Device {addresses[name]} {name}" in out


def test_connect_list_attributes_read_notify_and_disconnect(session, addresses):
    addr = addresses[LEGACY]
    bluetoothctl("--timeout", "2", "scan", "on")  # make sure the device object exists
    session.send(f"connect {addr}")
    session.expect(rf"\[CHG\] Device {addr} Connected: yes")
    session.expect("Connection successful")
    session.expect(rf"\[CHG\] Device {addr} ServicesResolved: yes")
    mark = len(session.output)
    session.send("menu gatt")
    session.send(f"list-attributes {addr}")
    dev = "/org/bluez/hci0/dev_" + addr.replace(":", "_")
    session.expect(rf"{dev}/service0010/char0011\s+b5211406-449f-4ba0-a651-b887924b81e8", start=mark)
    session.expect(rf"{dev}/service000c/char000d/desc000f\s+00002902-0000-1000-8000-00805f9b34fb", start=mark)
    mark = len(session.output)
    session.send(f"select-attribute {dev}/service0001/char0002")  # 2A24; a UUID would match every device
    session.send("read")
    # The cached value changes first, then the reply prints: the value shows twice.
    session.expect(r"mivo MV-2401[\s\S]*mivo MV-2401", start=mark)
    mark = len(session.output)
    session.send(f"select-attribute {dev}/service0010/char0011")
    session.send("notify on")
    session.expect("Notify started", start=mark)
    session.expect(r"char0011 Notifying: yes", start=mark)
    session.expect(r"char0011 Value:", start=mark)
    mark = len(session.output)
    session.send("notify off")
    session.expect("Notify stopped", start=mark)
    session.send("back")
    mark = len(session.output)
    session.send(f"disconnect {addr}")
    m1 = session.expect(rf"\[CHG\] Device {addr} ServicesResolved: no", start=mark)
    m2 = session.expect(rf"\[CHG\] Device {addr} Connected: no", start=mark)
    assert m1.start() < m2.start()
    session.expect("Successful disconnected", start=mark)


def test_connect_refused_reports_the_abort(control, addresses):
    addr = addresses[NUS]
    bluetoothctl("--timeout", "2", "scan", "on")
    control.call("RefuseConnects", "si", NUS, 1)
    code, out = bluetoothctl("--timeout", "3", "connect", addr)
    assert "Failed to connect: org.bluez.Error.Failed le-connection-abort-by-local" in out
