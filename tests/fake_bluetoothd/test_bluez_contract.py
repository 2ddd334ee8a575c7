"""BlueZ's D-Bus contract, checked on the wire (dbus_fast, the library under bleak):
signal and reply order, sessions per sender, AcquireNotify, and error names for bad input."""
import asyncio
import socket
import time

import pytest
from dbus_fast import BusType, Message, MessageType, Variant
from dbus_fast.aio import MessageBus

from conftest import LEGACY, NUS

HCI = "/org/bluez/hci0"
PROPS = "org.freedesktop.DBus.Properties"


def dev_path(address):
    return f"{HCI}/dev_" + address.replace(":", "_")


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


class Wire:
    """One bus connection that records every signal and reply it receives, in order."""

    async def open(self):
        self.bus = await MessageBus(bus_type=BusType.SYSTEM, negotiate_unix_fd=True).connect()
        self.log = []
        self.changed = asyncio.Condition()
        self.bus.add_message_handler(self._record)
        await self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "AddMatch", "s",
                        ["type='signal',sender='org.bluez'"])
        return self

    def _record(self, msg):
        self.log.append(msg)
        asyncio.get_running_loop().create_task(self._notify())

    async def _notify(self):
        async with self.changed:
            self.changed.notify_all()

    async def call(self, dest, path, interface, member, signature="", body=(), fds=()):
        return await self.bus.call(Message(destination=dest, path=path, interface=interface, member=member,
                                           signature=signature, body=list(body), unix_fds=list(fds)))

    async def bluez(self, path, interface, member, signature="", body=()):
        return await self.call("org.bluez", path, interface, member, signature, body)

    async def wait_for(self, predicate, timeout=10, start=0):
        """Waits until a message from log offset `start` on satisfies `predicate`."""
        async with self.changed:
            await asyncio.wait_for(self.changed.wait_for(lambda: any(predicate(m) for m in self.log[start:])), timeout)

    def close(self):
        self.bus.disconnect()


def is_prop(msg, path, name, value=None):
    if msg.message_type != MessageType.SIGNAL or msg.member != "PropertiesChanged" or msg.path != path:
        return False
    changed = msg.body[1]
    return name in changed and (value is None or changed[name].value == value)


def index(log, predicate):
    for i, m in enumerate(log):
        if predicate(m):
            return i
    raise AssertionError("expected message not seen")


async def discover(wire, address):
    """Discovery until the device object of `address` is there (it stays afterwards)."""
    path = dev_path(address)
    start = len(wire.log)
    await wire.bluez(HCI, "org.bluez.Adapter1", "SetDiscoveryFilter", "a{sv}",
                     [{"Transport": Variant("s", "le"), "DuplicateData": Variant("b", True)}])
    await wire.bluez(HCI, "org.bluez.Adapter1", "StartDiscovery")
    await wire.wait_for(lambda m: (m.member == "InterfacesAdded" and m.body[0] == path) or is_prop(m, path, "RSSI"), start=start)
    await wire.bluez(HCI, "org.bluez.Adapter1", "StopDiscovery")
    await wire.bluez(HCI, "org.bluez.Adapter1", "SetDiscoveryFilter", "a{sv}", [{}])
    return path


def test_connect_and_disconnect_signal_order(addresses):
    async def go():
        wire = await Wire().open()
        path = await discover(wire, addresses[LEGACY])
        # Forget the device and its cached GATT objects, so the connect discovers them anew.
        removed = await wire.bluez(HCI, "org.bluez.Adapter1", "RemoveDevice", "o", [path])
        assert removed.message_type == MessageType.METHOD_RETURN
        assert (await wire.bluez(path, "org.bluez.Device1", "Connect")).error_name == "org.freedesktop.DBus.Error.UnknownObject"
        path = await discover(wire, addresses[LEGACY])
        start = len(wire.log)
        call = asyncio.ensure_future(wire.bluez(path, "org.bluez.Device1", "Connect"))
        await wire.wait_for(lambda m: is_prop(m, path, "ServicesResolved", True))
        reply = await call
        assert reply.message_type == MessageType.METHOD_RETURN
        log = wire.log[start:]
        connected = index(log, lambda m: is_prop(m, path, "Connected", True))
        replied = index(log, lambda m: m.message_type == MessageType.METHOD_RETURN and m.reply_serial == reply.reply_serial)
        first_gatt = index(log, lambda m: m.member == "InterfacesAdded" and m.body[0].startswith(path + "/"))
        resolved = index(log, lambda m: is_prop(m, path, "ServicesResolved", True))
        assert connected < replied < first_gatt < resolved
        added = [m.body[0] for m in log if m.member == "InterfacesAdded" and m.message_type == MessageType.SIGNAL]
        assert all(m.path == "/" for m in log if m.member == "InterfacesAdded")
        for i, p in enumerate(added):  # parents first
            parent = p.rsplit("/", 1)[0]
            assert parent == path or parent in added[:i]

        start = len(wire.log)
        reply = await wire.bluez(path, "org.bluez.Device1", "Disconnect")
        await wire.wait_for(lambda m: is_prop(m, path, "Connected", False))
        log = wire.log[start:]
        unresolved = index(log, lambda m: is_prop(m, path, "ServicesResolved", False))
        replied = index(log, lambda m: m.message_type == MessageType.METHOD_RETURN and m.reply_serial == reply.reply_serial)
        disconnected = index(log, lambda m: is_prop(m, path, "Connected", False))
        assert unresolved < replied < disconnected
        assert not any(m.member == "InterfacesRemoved" for m in log)  # GATT objects stay cached
        wire.close()
    run(go())


def test_acquire_notify_delivers_one_payload_per_packet_and_ends_with_the_link(addresses, control):
    async def go():
        wire = await Wire().open()
        path = await discover(wire, addresses[LEGACY])
        await wire.bluez(path, "org.bluez.Device1", "Connect")
        await wire.wait_for(lambda m: is_prop(m, path, "ServicesResolved", True))
        sample = path + "/service0010/char0011"
        reply = await wire.bluez(sample, "org.bluez.GattCharacteristic1", "AcquireNotify", "a{sv}", [{}])
        assert reply.message_type == MessageType.METHOD_RETURN, reply.body
        fd = reply.unix_fds[reply.body[0]]
        assert reply.body[1] == 247
        sock = socket.socket(fileno=fd)
        sock.settimeout(5)
        packets = [sock.recv(1024) for _ in range(50)]
        assert all(len(p) == 27 for p in packets)
        counters = [int.from_bytes(p[24:27], "big") for p in packets]
        assert counters == list(range(counters[0], counters[0] + 50))
        second = await wire.bluez(sample, "org.bluez.GattCharacteristic1", "AcquireNotify", "a{sv}", [{}])
        assert (second.error_name, second.body[0]) == ("org.bluez.Error.NotPermitted", "Notify acquired")
        control.call("DropLink", "s", LEGACY)
        sock.settimeout(5)
        while sock.recv(1024):  # drains what was queued, then end of stream
            pass
        sock.close()
        wire.close()
    run(go())


def test_sessions_of_a_client_that_leaves_the_bus_end(addresses, control):
    async def go():
        watcher = await Wire().open()
        path = await discover(watcher, addresses[LEGACY])
        await watcher.bluez(path, "org.bluez.Device1", "Connect")
        await watcher.wait_for(lambda m: is_prop(m, path, "ServicesResolved", True))
        client = await Wire().open()
        await client.bluez(HCI, "org.bluez.Adapter1", "StartDiscovery")
        reply = await client.bluez(path + "/service0010/char0011", "org.bluez.GattCharacteristic1", "StartNotify")
        assert reply.message_type == MessageType.METHOD_RETURN
        await watcher.wait_for(lambda m: is_prop(m, HCI, "Discovering", True))
        assert control.counters(LEGACY)["Streaming"]
        start = len(watcher.log)
        client.close()
        await watcher.wait_for(lambda m: is_prop(m, HCI, "Discovering", False))
        await watcher.wait_for(lambda m: is_prop(m, path + "/service0010/char0011", "Notifying", False))
        deadline = time.monotonic() + 5
        while control.counters(LEGACY)["Streaming"] and time.monotonic() < deadline:
            await asyncio.sleep(0.05)
        assert not control.counters(LEGACY)["Streaming"]
        watcher.close()
    run(go())


C1 = "org.bluez.GattCharacteristic1"


@pytest.mark.parametrize("target, interface, member, signature, body, error", [
    ("{hci}/dev_00_11_22_33_44_55", "org.bluez.Device1", "Connect", "", [],
     ("org.freedesktop.DBus.Error.UnknownObject", None)),
    ("{hci}", "org.bluez.Adapter1", "StopDiscovery", "", [], ("org.bluez.Error.Failed", "No discovery started")),
    ("{hci}", "org.bluez.Adapter1", "SetDiscoveryFilter", "a{sv}", [{"Transport": Variant("i", 5)}],
     ("org.bluez.Error.InvalidArguments", None)),
    ("{hci}", "org.bluez.Adapter1", "SetDiscoveryFilter", "a{sv}", [{"Bogus": Variant("s", "x")}],
     ("org.bluez.Error.InvalidArguments", None)),
    ("{hci}", "org.bluez.Adapter1", "RemoveDevice", "o", ["/org/bluez/hci0/dev_00_11_22_33_44_55"],
     ("org.bluez.Error.DoesNotExist", None)),
    ("{dev}", "org.bluez.Device1", "Disconnect", "", [], ("org.bluez.Error.NotConnected", None)),
    ("{dev}/service0001/char0002", C1, "ReadValue", "a{sv}", [{}], ("org.bluez.Error.Failed", "Not connected")),
    ("{dev}/service0001/char0002", C1, "ReadValue", "a{sv}", [{"offset": Variant("s", "0")}],
     ("org.bluez.Error.InvalidArguments", None)),
    ("{dev}/service0001/char0002", C1, "ReadValue", "s", ["wrong"], ("org.freedesktop.DBus.Error.InvalidArgs", None)),
    ("{dev}/service0010/char0011", C1, "StopNotify", "", [], ("org.bluez.Error.Failed", "No notify session started")),
    ("{dev}/service0001/char0002", C1, "StartNotify", "", [], ("org.bluez.Error.NotSupported", None)),
    ("{dev}/service0001/char0002", C1, "WriteValue", "aya{sv}", [b"x", {"type": Variant("s", "command")}],
     ("org.bluez.Error.Failed", "Not connected")),
])
def test_bad_input_gets_bluez_errors(addresses, target, interface, member, signature, body, error):
    async def go():
        await _known_with_gatt(addresses[NUS])
        wire = await Wire().open()
        path = target.format(hci=HCI, dev=dev_path(addresses[NUS]))
        reply = await wire.bluez(path, interface, member, signature, body)
        wire.close()
        return reply
    reply = run(go())
    assert reply.message_type == MessageType.ERROR
    assert reply.error_name == error[0], reply.body
    if error[1] is not None:
        assert reply.body[0] == error[1]


async def _known_with_gatt(address):
    """The NUS amplifier's device and GATT objects exist (cached), and it is disconnected."""
    wire = await Wire().open()
    path = await discover(wire, address)
    connected = await wire.call("org.bluez", path, PROPS, "Get", "ss", ["org.bluez.Device1", "ServicesResolved"])
    reply = await wire.call("org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects")
    if path + "/service0001/char0002" not in reply.body[0]:
        await wire.bluez(path, "org.bluez.Device1", "Connect")
        await wire.wait_for(lambda m: is_prop(m, path, "ServicesResolved", True))
        await wire.bluez(path, "org.bluez.Device1", "Disconnect")
    elif connected.body[0].value:
        await wire.bluez(path, "org.bluez.Device1", "Disconnect")
    wire.close()


def test_write_without_response_longer_than_mtu_fails_as_bluez(addresses):
    async def go():
        wire = await Wire().open()
        path = await discover(wire, addresses[NUS])
        await wire.bluez(path, "org.bluez.Device1", "Connect")
        await wire.wait_for(lambda m: is_prop(m, path, "ServicesResolved", True))
        objects = (await wire.call("org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects")).body[0]
        rx = next(p for p, i in objects.items() if p.startswith(path + "/") and
                  i.get("org.bluez.GattCharacteristic1", {}).get("UUID", Variant("s", "")).value == "6e400002-b5a3-f393-e0a9-e50e24dcca9e")
        mtu = objects[rx]["org.bluez.GattCharacteristic1"]["MTU"].value
        ok = await wire.bluez(rx, "org.bluez.GattCharacteristic1", "WriteValue", "aya{sv}",
                              [bytes(mtu - 3), {"type": Variant("s", "command")}])
        assert ok.message_type == MessageType.METHOD_RETURN
        long = await wire.bluez(rx, "org.bluez.GattCharacteristic1", "WriteValue", "aya{sv}",
                                [bytes(mtu - 2), {"type": Variant("s", "command")}])
        assert (long.error_name, long.body[0]) == ("org.bluez.Error.Failed", "Failed to initiate write")
        await wire.bluez(path, "org.bluez.Device1", "Disconnect")
        wire.close()
    run(go())


def test_power_off_drops_links_and_refuses_discovery_and_silent_amplifiers_cannot_be_reached(addresses, control):
    async def go():
        wire = await Wire().open()
        path = await discover(wire, addresses[LEGACY])
        await wire.bluez(path, "org.bluez.Device1", "Connect")
        await wire.wait_for(lambda m: is_prop(m, path, "ServicesResolved", True))
        start = len(wire.log)
        control.call("SetPowered", "b", False)
        await wire.wait_for(lambda m: is_prop(m, HCI, "Powered", False), start=start)
        await wire.wait_for(lambda m: is_prop(m, path, "Connected", False), start=start)
        refused = await wire.bluez(HCI, "org.bluez.Adapter1", "StartDiscovery")
        assert refused.error_name == "org.bluez.Error.NotReady"
        refused = await wire.bluez(path, "org.bluez.Device1", "Connect")
        assert refused.error_name == "org.bluez.Error.NotReady"
        control.call("SetPowered", "b", True)
        await wire.wait_for(lambda m: is_prop(m, HCI, "Powered", True), start=start)

        control.call("SetAdvertising", "sb", LEGACY, False)
        start = len(wire.log)
        failed = await wire.bluez(path, "org.bluez.Device1", "Connect")
        assert (failed.error_name, failed.body[0]) == ("org.bluez.Error.Failed", "le-connection-abort-by-local")
        await wire.wait_for(lambda m: is_prop(m, path, "Connected", False), start=start)
        wire.close()
    run(go())


def test_control_knobs_delays_and_errors(addresses, control):
    async def go():
        wire = await Wire().open()
        path = await discover(wire, addresses[LEGACY])
        await wire.bluez(path, "org.bluez.Device1", "Connect")
        await wire.wait_for(lambda m: is_prop(m, path, "ServicesResolved", True))
        battery = path + "/service000c/char000d"
        control.call("SetKnob", "sss", LEGACY, "battery", "42")
        assert (await wire.bluez(battery, C1, "ReadValue", "a{sv}", [{}])).body[0] == b"\x2a"
        control.call("Delay", "ssus", addresses[LEGACY], "ReadValueAsync", 300, "2A19")
        begin = time.monotonic()
        # The amplifier's battery drains by 1 % every 10 s, which may fall between the reads.
        assert (await wire.bluez(battery, C1, "ReadValue", "a{sv}", [{}])).body[0] in (b"\x2a", b"\x29")
        assert time.monotonic() - begin >= 0.3
        await wire.bluez(path, "org.bluez.Device1", "Disconnect")
        wire.close()
    run(go())
    for method, signature, args, name in [
        ("SetKnob", "sss", (LEGACY, "no_such_knob", "1"), "io.mivoble.Sim1.Error.InvalidArguments"),
        ("SetKnob", "sss", (LEGACY, "battery", "-3"), "io.mivoble.Sim1.Error.InvalidArguments"),
        ("DropLink", "s", ("MV-0000.00.00",), "io.mivoble.Sim1.Error.NoAmplifier"),
    ]:
        with pytest.raises(AssertionError, match=name):
            control.call(method, signature, *args)


SAMPLE_CHAR = "/service0010/char0011"


async def _connected(wire, address):
    path = await discover(wire, address)
    reply = await wire.bluez(path, "org.bluez.Device1", "Connect")
    assert reply.message_type == MessageType.METHOD_RETURN, reply.body
    await wire.wait_for(lambda m: is_prop(m, path, "ServicesResolved", True))
    return path


def test_notify_sessions_outlive_the_link_and_are_armed_again_at_the_next_connect(addresses, control):
    async def go():
        wire = await Wire().open()
        path = await _connected(wire, addresses[LEGACY])
        sample = path + SAMPLE_CHAR
        assert (await wire.bluez(sample, C1, "StartNotify")).message_type == MessageType.METHOD_RETURN
        start = len(wire.log)
        control.call("DropLink", "s", LEGACY)
        await wire.wait_for(lambda m: is_prop(m, path, "Connected", False), start=start)
        assert not any(is_prop(m, sample, "Notifying", False) for m in wire.log[start:])  # bluetoothd keeps it
        # Without a link a session is registered only (again from the same client: success).
        assert (await wire.bluez(sample, C1, "StartNotify")).message_type == MessageType.METHOD_RETURN
        start = len(wire.log)
        await wire.bluez(path, "org.bluez.Device1", "Connect")
        await wire.wait_for(lambda m: is_prop(m, sample, "Value"), start=start)  # armed without a StartNotify
        assert (await wire.bluez(sample, C1, "StopNotify")).message_type == MessageType.METHOD_RETURN
        await wire.bluez(path, "org.bluez.Device1", "Disconnect")
        wire.close()
    run(go())


def test_a_connect_during_discovery_aborts_and_a_connected_amplifier_does_not_advertise(addresses):
    async def go():
        wire = await Wire().open()
        path = await discover(wire, addresses[LEGACY])
        await wire.bluez(HCI, "org.bluez.Adapter1", "StartDiscovery")
        start = len(wire.log)
        failed = await wire.bluez(path, "org.bluez.Device1", "Connect")
        assert (failed.error_name, failed.body[0]) == ("org.bluez.Error.Failed", "le-connection-abort-by-local")
        await wire.wait_for(lambda m: is_prop(m, path, "Connected", False), start=start)
        await wire.bluez(HCI, "org.bluez.Adapter1", "StopDiscovery")
        await wire.bluez(path, "org.bluez.Device1", "Connect")
        await wire.wait_for(lambda m: is_prop(m, path, "ServicesResolved", True))
        start = len(wire.log)
        await wire.bluez(HCI, "org.bluez.Adapter1", "SetDiscoveryFilter", "a{sv}", [{"Transport": Variant("s", "le")}])
        await wire.bluez(HCI, "org.bluez.Adapter1", "StartDiscovery")
        other = dev_path(addresses[NUS])
        await wire.wait_for(lambda m: is_prop(m, other, "RSSI"), start=start)
        await asyncio.sleep(0.5)
        assert not any(is_prop(m, path, "RSSI") for m in wire.log[start:])
        await wire.bluez(HCI, "org.bluez.Adapter1", "StopDiscovery")
        await wire.bluez(HCI, "org.bluez.Adapter1", "SetDiscoveryFilter", "a{sv}", [{}])
        await wire.bluez(path, "org.bluez.Device1", "Disconnect")
        wire.close()
    run(go())


def test_reports_come_once_per_discovery_cycle(addresses):
    async def go():
        wire = await Wire().open()
        path = dev_path(addresses[LEGACY])
        start = len(wire.log)
        # With a filter set every report carries RSSI: one per cycle of 10.24 s, not one per advertisement.
        await wire.bluez(HCI, "org.bluez.Adapter1", "SetDiscoveryFilter", "a{sv}", [{"Transport": Variant("s", "le")}])
        await wire.bluez(HCI, "org.bluez.Adapter1", "StartDiscovery")
        await wire.wait_for(lambda m: is_prop(m, path, "RSSI") or (m.member == "InterfacesAdded" and m.body[0] == path), start=start)
        await asyncio.sleep(1.0)
        reports = [m for m in wire.log[start:] if is_prop(m, path, "RSSI") or (m.member == "InterfacesAdded" and m.body[0] == path)]
        await wire.bluez(HCI, "org.bluez.Adapter1", "StopDiscovery")
        await wire.bluez(HCI, "org.bluez.Adapter1", "SetDiscoveryFilter", "a{sv}", [{}])
        wire.close()
        return len(reports)
    assert run(go()) == 1


@pytest.mark.parametrize("method", ["AcquireNotify", "AcquireWrite"])
def test_an_acquired_socket_closed_by_its_client_ends_at_once(addresses, method):
    async def go():
        wire = await Wire().open()
        path = await _connected(wire, addresses[LEGACY])
        char = path + (SAMPLE_CHAR if method == "AcquireNotify" else "/service001f/char0020")  # SMP: write-without-response
        for _ in range(3):  # acquire, close, acquire again at once
            reply = await wire.bluez(char, C1, method, "a{sv}", [{}])
            assert reply.message_type == MessageType.METHOD_RETURN, reply.body
            assert reply.body[1] == 247
            busy = await wire.bluez(char, C1, method, "a{sv}", [{}])
            assert busy.error_name == "org.bluez.Error.NotPermitted"
            start = len(wire.log)
            socket.socket(fileno=reply.unix_fds[reply.body[0]]).close()
            flag = "NotifyAcquired" if method == "AcquireNotify" else "WriteAcquired"
            await wire.wait_for(lambda m: is_prop(m, char, flag, False), start=start)
        await wire.bluez(path, "org.bluez.Device1", "Disconnect")
        wire.close()
    run(go())
