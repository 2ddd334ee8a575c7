"""Fixtures for running BlueZ clients against mivoble-fake-bluetoothd.

The suite runs only on a private bus: DBUS_SYSTEM_BUS_ADDRESS must be set (the ctest
fixture's run-private.sh does that) and must not be the machine's system bus.
"""
import os
import subprocess

import pytest

LEGACY = "MV-2401.00.01"
NUS = "MV-2401.00.02"


def _bus():
    address = os.environ.get("DBUS_SYSTEM_BUS_ADDRESS", "")
    if not address or "/run/dbus/system_bus_socket" in address:
        pytest.exit("refusing to run: DBUS_SYSTEM_BUS_ADDRESS must point at a private bus", returncode=2)
    return address


BUS = _bus()


def busctl(*args, check=True):
    """One busctl call on the private bus; returns (returncode, stdout, stderr)."""
    p = subprocess.run(["busctl", f"--address={BUS}", *args], capture_output=True, text=True, timeout=20)
    if check and p.returncode != 0:
        raise AssertionError(f"busctl {' '.join(args)}: {p.stderr.strip()}")
    return p.returncode, p.stdout.strip(), p.stderr.strip()


class Control:
    """io.mivoble.Sim1 on "/": faults and knobs of the virtual amplifiers."""

    def call(self, method, signature="", *args):
        cmd = ["call", "org.bluez", "/", "io.mivoble.Sim1", method]
        if signature:
            cmd += [signature, *[str(a) for a in args]]
        return busctl(*cmd)[1]

    def addresses(self):
        out = busctl("--json=short", "call", "org.bluez", "/", "io.mivoble.Sim1", "Amplifiers")[1]
        import json
        return {name: addr for name, addr in json.loads(out)["data"][0]}

    def counters(self, amplifier):
        import json
        out = busctl("--json=short", "call", "org.bluez", "/", "io.mivoble.Sim1", "Counters", "s", amplifier)[1]
        return {k: v["data"] for k, v in json.loads(out)["data"][0].items()}


@pytest.fixture(scope="session")
def control():
    return Control()


@pytest.fixture(scope="session")
def addresses(control):
    return control.addresses()


@pytest.fixture(autouse=True)
def clean_amplifiers(control):
    """Every test leaves the shared fake as it found it: faults cleared, links down."""
    yield
    for name in (LEGACY, NUS):
        control.call("ClearFaults", "s", name)
        control.call("SetAdvertising", "sb", name, "true")
    control.call("SetPowered", "b", "true")
    for name, addr in control.addresses().items():
        path = "/org/bluez/hci0/dev_" + addr.replace(":", "_")
        code, out, _ = busctl("get-property", "org.bluez", path, "org.bluez.Device1", "Connected", check=False)
        if code == 0 and out == "b true":
            busctl("call", "org.bluez", path, "org.bluez.Device1", "Disconnect", check=False)
