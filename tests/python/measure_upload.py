"""Measures a firmware upload through the C interface.

    MIVOBLE_BACKEND=sim MIVOBLE_SIM="MV-2401.00.01,interval=15" \\
        /usr/bin/python3 tests/python/measure_upload.py [kilobytes]

Uploads a bootable image of the given body size (default 64 KiB) to the amplifier and
prints the bytes per second. Run it on `bluez` against the fake bluetoothd to compare
the two paths. Not part of the test suite: figures depend on the host.
"""

import ctypes
import hashlib
import os
import struct
import sys
import time


def image(body_size):
    header = struct.pack("<IIHHII", 0x96F3B83D, 0, 32, 0, body_size, 0) + bytes([1, 2]) + struct.pack("<HQ", 3, 0)
    body = bytes((i * 31 + (i >> 9)) & 0xFF for i in range(body_size))
    digest = hashlib.sha256(header + body).digest()
    return header + body + struct.pack("<HHHH", 0x6907, 4 + 4 + 32, 0x10, 32) + digest


def main():
    kib = int(sys.argv[1]) if len(sys.argv) > 1 else 64
    lib = ctypes.CDLL(os.environ["MIVOBLE_LIBRARY"])
    lib.MIVOBLE_GetLastErrorText.restype = ctypes.c_char_p
    name = os.environ.get("MIVOBLE_SIM", "MV-2401.00.01").split(";")[0].split(",")[0]
    handle = ctypes.c_uint32(0)
    if lib.MIVOBLE_OpenDevice(name.encode(), ctypes.byref(handle)) != 0:
        sys.exit(lib.MIVOBLE_GetLastErrorText().decode())
    data = image(kib * 1024)
    buffer = (ctypes.c_uint8 * len(data)).from_buffer_copy(data)
    start = time.monotonic()
    rc = lib.MIVOBLE_UploadImage(handle, buffer, len(data), 0, None, None)
    span = time.monotonic() - start
    if rc != 0:
        sys.exit(lib.MIVOBLE_GetLastErrorText().decode())
    print(f"{len(data)} bytes in {span:.2f} s: {len(data) / span / 1024:.1f} KiB/s")
    lib.MIVOBLE_CloseDevice(ctypes.byref(handle))
    lib.MIVOBLE_Shutdown()


if __name__ == "__main__":
    main()
