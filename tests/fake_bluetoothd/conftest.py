"""Fixtures for running BlueZ clients against mivoble-fake-bluetoothd.

The suite runs only on a private bus: DBUS_SYSTEM_BUS_ADDRESS must be set (the ctest
fixture's run-private.sh does that) and must not be the machine's system bus.
"""
import asyncio
import concurrent.futures
import os

import pytest

LEGACY = "MV-2401.00.01"
NUS = "MV-2401.00.02"


def _bus():
    address = os.environ.get("DBUS_SYSTEM_BUS_ADDRESS", "")
    if not address or "/run/dbus/system_bus_socket" in address:
        pytest.exit("refusing to run: DBUS_SYSTEM_BUS_ADDRESS must point at a private bus", returncode=2)
    return address


BUS = _bus()


def _call(path, interface, member, signature="", body=()):
    """One method call to org.bluez on a connection of its own (in a thread of its own, so
    it works inside and outside a running event loop). Returns the reply message."""
    from dbus_fast import BusType, Message
    from dbus_fast.aio import MessageBus

    async def go():
        bus = await MessageBus(bus_type=BusType.SYSTEM).connect()
        try:
            return await bus.call(Message(destination="org.bluez", path=path, interface=interface, member=member,
                                          signature=signature, body=list(body)))
        finally:
            bus.disconnect()
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        return pool.submit(asyncio.run, asyncio.wait_for(go(), 20)).result()


class Control:
    """io.mivoble.Sim1 on "/": faults and knobs of the virtual amplifiers."""

    def call(self, method, signature="", *args):
        from dbus_fast import MessageType
        reply = _call("/", "io.mivoble.Sim1", method, signature, args)
        if reply.message_type == MessageType.ERROR:
            raise AssertionError(f"{method}: {reply.error_name}: {reply.body}")
        return reply.body

    def addresses(self):
        return {name: addr for name, addr in self.call("Amplifiers")[0]}

    def counters(self, amplifier):
        return {k: v.value for k, v in self.call("Counters", "s", amplifier)[0].items()}


def get_property(path, interface, name):
    """The property's value, or None when the object or property does not exist."""
    from dbus_fast import MessageType
    reply = _call(path, "org.freedesktop.DBus.Properties", "Get", "ss", [interface, name])
    return None if reply.message_type == MessageType.ERROR else reply.body[0].value


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
        control.call("SetAdvertising", "sb", name, True)
    control.call("SetPowered", "b", True)
    for name, addr in control.addresses().items():
        path = "/org/bluez/hci0/dev_" + addr.replace(":", "_")
        if get_property(path, "org.bluez.Device1", "Connected"):
            _call(path, "org.bluez.Device1", "Disconnect")
