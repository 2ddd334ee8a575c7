"""bleak (Debian's python3-bleak, unchanged) against the fake bluetoothd."""
import asyncio
import time

import pytest
from bleak import BleakClient, BleakScanner

from conftest import LEGACY, NUS

SAMPLE = "b5211406-449f-4ba0-a651-b887924b81e8"
NUS_RX = "6e400002-b5a3-f393-e0a9-e50e24dcca9e"
NUS_TX = "6e400003-b5a3-f393-e0a9-e50e24dcca9e"
SMP = "da2e7828-fbce-4e01-ae9e-261174997c48"


def short(uuid16):
    return f"0000{uuid16:04x}-0000-1000-8000-00805f9b34fb"


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


async def find(name):
    device = await BleakScanner.find_device_by_name(name, timeout=5)
    assert device is not None, f"{name} not discovered"
    return device


def crc16_ccitt_false(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def request_frame(command, payload):
    body = len(payload).to_bytes(2, "big") + bytes([command]) + payload
    return b"\xf0" + body + crc16_ccitt_false(body).to_bytes(2, "big")


def response_frame(command, status, payload):
    body = len(payload).to_bytes(2, "big") + bytes([command, status]) + payload
    return b"\xf0" + body + crc16_ccitt_false(body).to_bytes(2, "big")


def test_discovers_the_default_amplifiers_by_name(addresses):
    found = run(BleakScanner.discover(timeout=2.0))
    by_name = {d.name: d.address for d in found}
    assert by_name.get(LEGACY) == addresses[LEGACY]
    assert by_name.get(NUS) == addresses[NUS]


@pytest.mark.parametrize("name, services", [
    (LEGACY, {short(0x180A): {short(0x2A24): ["read"], short(0x2A25): ["read"], short(0x2A26): ["read"],
                              short(0x2A27): ["read"], short(0x2A29): ["read"]},
              short(0x180F): {short(0x2A19): ["read", "notify"]},
              "b5211405-449f-4ba0-a651-b887924b81e8": {SAMPLE: ["notify"],
                                                       "b5211407-449f-4ba0-a651-b887924b81e8": ["read"],
                                                       "b5211408-449f-4ba0-a651-b887924b81e8": ["notify"],
                                                       "b5211409-449f-4ba0-a651-b887924b81e8": ["notify"],
                                                       "b521140a-449f-4ba0-a651-b887924b81e8": ["notify"]},
              "8d53dc1d-1db7-4cd3-868b-8a527460aa84": {SMP: ["write-without-response", "notify"]}}),
    (NUS, {"6e400001-b5a3-f393-e0a9-e50e24dcca9e": {NUS_RX: ["write-without-response", "write"], NUS_TX: ["notify"]}}),
])
def test_connect_lists_services_and_reads_device_information(name, services):
    async def go():
        async with BleakClient(await find(name), timeout=10) as client:
            got = {s.uuid: {c.uuid: sorted(c.properties) for c in s.characteristics} for s in client.services}
            for service, chars in services.items():
                assert service in got
                assert got[service] == {u: sorted(p) for u, p in chars.items()}
            texts = {u: (await client.read_gatt_char(short(u))).decode() for u in (0x2A24, 0x2A25, 0x2A26, 0x2A27, 0x2A29)}
            assert texts == {0x2A24: "mivo MV-2401", 0x2A25: name, 0x2A26: "1.0.0", 0x2A27: "rev C", 0x2A29: "mivo medical"}
            battery = await client.read_gatt_char(short(0x2A19))
            assert len(battery) == 1 and 1 <= battery[0] <= 100
    run(go())


def test_sample_notifications_arrive_at_the_rate_with_consecutive_counters():
    async def go():
        async with BleakClient(await find(LEGACY), timeout=10) as client:
            got = []
            await client.start_notify(SAMPLE, lambda _, data: got.append((time.monotonic(), bytes(data))))
            await asyncio.sleep(2.0)
            await client.stop_notify(SAMPLE)
            stopped_at = len(got)
            await asyncio.sleep(0.3)
            late = len(got) - stopped_at
        return got, late
    got, late = run(go())
    assert len(got) > 250
    counters = [int.from_bytes(payload[24:27], "big") for _, payload in got]
    assert all(len(p) == 27 for _, p in got)
    assert counters == list(range(counters[0], counters[0] + len(counters)))
    rate = (len(got) - 1) / (got[-1][0] - got[0][0])
    assert 200 < rate < 300
    assert late <= 2  # at most what was already on the bus


def test_nus_command_frames_written_with_and_without_response_are_answered():
    async def go():
        async with BleakClient(await find(NUS), timeout=10) as client:
            answers = asyncio.Queue()
            await client.start_notify(NUS_TX, lambda _, data: answers.put_nowait(bytes(data)))
            await client.write_gatt_char(NUS_RX, request_frame(0x01, b"hi"), response=True)
            first = await asyncio.wait_for(answers.get(), 5)
            await client.write_gatt_char(NUS_RX, request_frame(0x10, b""), response=False)
            second = await asyncio.wait_for(answers.get(), 5)
            await client.stop_notify(NUS_TX)
            return first, second
    first, second = run(go())
    assert first == response_frame(0x01, 0, b"hi")
    assert second == response_frame(0x10, 0, b"\x2a")


def test_scripted_link_drop_is_seen_as_a_disconnect(control):
    async def go():
        lost = asyncio.Event()
        loop = asyncio.get_running_loop()
        client = BleakClient(await find(LEGACY), timeout=10, disconnected_callback=lambda _: loop.call_soon_threadsafe(lost.set))
        await client.connect()
        control.call("DropLink", "s", LEGACY)
        await asyncio.wait_for(lost.wait(), 5)
        assert not client.is_connected
    run(go())


def test_refused_connects_are_retried_by_the_client(control):
    before = control.counters(LEGACY)["RefusedConnects"]
    control.call("RefuseConnects", "si", LEGACY, 2)

    async def go():
        async with BleakClient(await find(LEGACY), timeout=10) as client:
            assert client.is_connected
    run(go())
    assert control.counters(LEGACY)["RefusedConnects"] == before + 2


def test_hung_read_never_answers_and_the_clients_timeout_fires(control):
    control.call("Hang", "sss", LEGACY, "ReadValueAsync", "2A24")

    async def go():
        async with BleakClient(await find(LEGACY), timeout=10) as client:
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(client.read_gatt_char(short(0x2A24)), 1.0)
            assert (await client.read_gatt_char(short(0x2A26))) == b"1.0.0"  # other characteristics still answer
    run(go())
