#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets to fuzz/corpus/<target>/.

The targets read their inputs through libFuzzer's FuzzedDataProvider: byte strings from the
front, integers from the back (most significant byte first). Seed encodes a scenario in that
form, so every seed starts the fuzzer on a meaningful path. Run it again after changing what
a target reads; files named regression-* are kept as they are.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in consumption order

    def integer(self, value, lo, hi, size):
        span, v, needed = hi - lo, value - lo, 0
        while needed < size and (span >> (8 * needed)) > 0:
            needed += 1
        self.back += v.to_bytes(size, "big")[-needed:] if needed else b""
        return self

    def u8(self, value, lo=0, hi=255):
        return self.integer(value, lo, hi, 1)

    def u16(self, value, lo=0, hi=65535):
        return self.integer(value, lo, hi, 2)

    def size(self, value, lo, hi):
        return self.integer(value, lo, hi, 8)

    def boolean(self, value):
        return self.u8(1 if value else 0)

    def data(self, raw):
        self.front += bytes(raw)
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def response_frame(status, payload, command=0x01):
    body = struct.pack(">H", len(payload)) + bytes([command, status]) + bytes(payload)
    return b"\xF0" + body + struct.pack(">H", crc16(body))


def be24(v):
    return (v & 0xFFFFFF).to_bytes(3, "big")


# ---- configuration_records --------------------------------------------------------------

def record(seed, what, value):
    seed.u8(what, 0, 6).size(len(value), 0, 300).data(value)


def amplifier_record(rate, channels, values, payload_size, filters, declared=None):
    declared = channels if declared is None else declared
    return struct.pack("<HH4xHHHH", rate, declared, payload_size, channels, values, filters)


def channel_record(cid, ctype, scale):
    return struct.pack("<HBBf", cid, ctype, cid & 0xFF, scale)


def configuration_records():
    seeds = {}
    s = Seed()
    record(s, 0, amplifier_record(250, 3, 3, 9, 1))
    for cid, ctype in ((1, 1), (2, 1), (3, 5)):
        record(s, 1, channel_record(cid, ctype, 1.0))
    for cid in (1, 2, 3):
        record(s, 2, struct.pack("<HH", cid, 0))
    record(s, 3, struct.pack("<H", 7) + bytes(range(14)))
    record(s, 4, b"\x57")
    record(s, 5, b"")
    record(s, 6, b"\x01SN-1234\x00tail")
    seeds["legacy_open"] = s.bytes()

    s = Seed()
    record(s, 0, amplifier_record(500, 62, 62, 186, 0))
    record(s, 0, amplifier_record(500, 63, 63, 189, 0))  # too many channels
    record(s, 0, amplifier_record(500, 4, 4, 12, 0, declared=5))
    record(s, 1, channel_record(9, 1, 0.5)[:7])  # truncated
    record(s, 4, b"")
    seeds["rejected"] = s.bytes()

    s = Seed()
    record(s, 0, amplifier_record(1000, 2, 2, 6, 0))
    record(s, 6, b"\x04" + b"m" * 280)
    for cid in range(70, 0, -7):
        record(s, 1, channel_record(cid, cid % 6, -2.0))
    seeds["long_text_many_channels"] = s.bytes()
    return seeds


# ---- sample_stream ----------------------------------------------------------------------

def legacy_open(s, rate, signal, frames, counter=True, scale_index=0):
    channels = signal + (1 if counter else 0)
    values = channels * frames
    s.boolean(True)  # legacy
    typical = {0: 0, 250: 1, 1000: 2}
    s.u8(1, 0, 7).u16(channels, 1, 62).u16(values, 1, 600).u8(1, 0, 15)
    s.u16(0 if rate in typical else rate).size(typical.get(rate, 3), 0, 3).u16(0, 0, 3)
    s.boolean(True)  # one channel record per channel
    for cid in range(1, channels + 1):
        ctype_index = 1 if counter and cid == channels else 0
        s.u8(1, 0, 15).u8(0).size(ctype_index, 0, 3)
        s.u8(0).integer(0, 0, 2**32 - 1, 4)  # the raw float the target draws, unused
        s.size(scale_index, 0, 3)
    s.boolean(True)  # one payload record per value, frame-major
    for i in range(values):
        s.u8(1, 0, 15).boolean(True).boolean(True)
    return channels, values


def payload(s, values):
    s.u8(0)
    s.data(values)


def legacy_frames(signal, frames, counter, first_frame):
    out = bytearray()
    for f in range(frames):
        for c in range(signal):
            out += be24(1000 * c + first_frame + f)
        out += be24(counter)
    return out


def sample_stream():
    seeds = {}
    # 2 signal channels + counter, 3 frames per payload; counters 1, 2, then 5 (two payloads lost).
    s = Seed()
    legacy_open(s, 250, 2, 3)
    for counter in (1, 2, 5, 6):
        payload(s, legacy_frames(2, 3, counter, 3 * (counter - 1)))
    s.u8(215).integer(16, 0, 70, 4)  # frames per callback 16
    s.u8(225).boolean(True)  # batched
    for counter in (7, 9):
        payload(s, legacy_frames(2, 3, counter, 3 * (counter - 1)))
    s.u8(205).size(1, 0, 2).data(b"\x21")  # battery 33 %
    payload(s, legacy_frames(2, 3, 10, 27))
    seeds["legacy_counter_gap"] = s.bytes()

    s = Seed()
    legacy_open(s, 0, 4, 1)  # no rate: the gap limit without one applies
    for counter in (1, 2, 900, 901, 3000):
        payload(s, legacy_frames(4, 1, counter, counter))
    s.u8(190).size(5, 0, 23).data(b"\x00" * 5)  # a short payload
    seeds["legacy_no_rate"] = s.bytes()

    # NUS: layouts of both sample widths and byte orders.
    for name, channels, frames, width, little in (("nus_4x5_be3", 4, 5, 3, False), ("nus_2x2_le4", 2, 2, 4, True)):
        s = Seed()
        s.boolean(False)
        payload(s, be24(12345))  # the default layout: one 3-byte value
        s.u8(235).u8(channels, 0, 70).u16(frames, 0, 80).u8(width, 2, 5).boolean(little).u16(500)
        for k in range(3):
            values = bytearray()
            for i in range(channels * frames):
                v = (k * 100 + i) * (-1 if i % 2 else 1)
                values += v.to_bytes(width, "little" if little else "big", signed=True)
            payload(s, values)
        s.u8(240).u8(3, 0, 70)  # channel count 3
        s.u8(247)  # reconnection
        s.u8(252)  # callback cleared
        seeds[name] = s.bytes()
    return seeds


# ---- frame_response ---------------------------------------------------------------------

def frame_response():
    seeds = {}
    # (capacity, outputs, pieces, MTU - 3, notifications delivered while the exchange waits, answer)
    cases = {
        "echo": (64, 7, 1, 244, False, response_frame(0, b"hello")),
        "answer_cut": (0, 7, 1, 244, True, response_frame(0, b"\x2A")),
        "status_only": (16, 1, 1, 20, False, response_frame(3, b"")),
        "long_split": (600, 7, 4, 20, True, response_frame(0, bytes(range(256)) * 2)),
        "trailing": (16, 7, 2, 20, True, response_frame(0, b"abc") + b"\x00"),
        "extra_notification": (16, 7, 2, 20, True, response_frame(0, bytes(13)) + b"\x01\x02"),
        "bad_crc": (16, 7, 1, 244, False, response_frame(0, b"abc")[:-1] + b"\x00"),
        "too_long": (16, 7, 1, 514, False, b"\xF0\x02\x01\x01\x00" + bytes(513) + b"\x00\x00"),
    }
    for name, (capacity, outputs, pieces, mtu_payload, while_waiting, answer) in cases.items():
        s = Seed()
        s.u16(capacity, 0, 600).u8(outputs).size(pieces, 1, 4).size(mtu_payload, 20, 514).boolean(while_waiting)
        s.data(answer)
        seeds[name] = s.bytes()
    return seeds


# ---- sim_config -------------------------------------------------------------------------

def sim_config():
    return {
        "default": b"MV-2401.00.01,gen=legacy,channels=8,counter=1,rate=250;MV-2401.00.02,gen=nus",
        "faults": b"MV-A,gen=nus,hang=ReadValueAsync:2A19,nus=late:20;MV-B,drop_every=2000,delay=WriteValueAsync:6E400002-B5A3-F393-E0A9-E50E24DCCA9E:5",
        "knobs": b" MV-C , frames=64, mtu=23, smp_split=7, addr=C0:11:22:33:44:55, filters=255, battery=0, seed=18446744073709551615 ;adapter=none;radio=off",
        "rejected": b"MV-D,channels=62;=x;MV-E,mtu=518;MV-F,addr=C0:11:22:33:44;MV-G,unknown=1;MV-G,gen=both;MV-H,addr=C0:11:22:33:44:55;MV-I,addr=C0:11:22:33:44:55",
    }


def main():
    targets = {
        "configuration_records": configuration_records(),
        "sample_stream": sample_stream(),
        "frame_response": frame_response(),
        "sim_config": sim_config(),
    }
    for target, seeds in targets.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            if not name.startswith("regression-"):
                os.remove(os.path.join(folder, name))
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
