"""The fake bluetoothd on a private bus, for running simulator tests through BlueZ's API.

With MIVOBLE_TEST_BACKEND=bluez, a test written for the simulated radio gets its own
mivoble-fake-bluetoothd serving the same MIVOBLE_SIM configuration as org.bluez on a
private bus, and the library in the child uses the bluez backend against it.
"""

import os
import select
import signal
import subprocess
import time

ADDRESS_PREFIX = "DBUS_SYSTEM_BUS_ADDRESS="


def through_bluez():
    return os.environ.get("MIVOBLE_TEST_BACKEND") == "bluez"


class FakeBluetoothd:
    def __init__(self, sim_config, timeout=20.0):
        executable = os.environ.get("MIVOBLE_FAKE_BLUETOOTHD")
        if not executable:
            raise RuntimeError("MIVOBLE_FAKE_BLUETOOTHD names no fake bluetoothd")
        env = dict(os.environ)
        if sim_config is None:
            env.pop("MIVOBLE_SIM", None)
        else:
            env["MIVOBLE_SIM"] = sim_config
        self._process = subprocess.Popen([executable, "--private-bus"], env=env, stdout=subprocess.PIPE,
                                         stdin=subprocess.DEVNULL, start_new_session=True)
        self.address = self._read_address(timeout)

    def _read_address(self, timeout):
        deadline = time.monotonic() + timeout
        pending = b""
        fd = self._process.stdout.fileno()
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                self.stop()
                raise RuntimeError("the fake bluetoothd printed no bus address in time")
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 4096)
            if not chunk:
                self.stop()
                raise RuntimeError("the fake bluetoothd ended before printing its bus address")
            pending += chunk
            for line in pending.decode("utf-8", errors="replace").splitlines():
                if line.startswith(ADDRESS_PREFIX):
                    return line[len(ADDRESS_PREFIX):].strip()

    def stop(self):
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self._process.pid, signal.SIGKILL)
                self._process.wait()
        self._process.stdout.close()
