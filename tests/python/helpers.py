"""Shared helpers of the Python suite: library locations, waiting, the stand-in's controls."""

import ctypes
import os
import threading
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]

# Generous bounds for events the simulator produces within a few hundred ms.
EVENT_TIMEOUT = 15.0


_SANITIZER_TAGS = ("asan", "tsan", "msan")


def _newest(pattern):
    """Newest match in the build tree, leaving out sanitizer builds (they need a preloaded runtime)."""
    matches = [p for p in (REPO / "build").glob(pattern)
               if not any(tag in p.relative_to(REPO / "build").parts[0] for tag in _SANITIZER_TAGS)]
    matches.sort(key=lambda p: p.stat().st_mtime, reverse=True)
    return str(matches[0]) if matches else None


def _stand_in(env_var, name):
    """A stand-in from the environment (set by ctest), else the one built beside the library under test."""
    value = os.environ.get(env_var)
    if value:
        return value
    if REAL_LIBRARY:
        beside = Path(REAL_LIBRARY).resolve().parent / "tests" / "python" / name
        if beside.is_file():
            return str(beside)
    return _newest(f"*/tests/python/{name}")


REAL_LIBRARY = os.environ.get("MIVOBLE_LIBRARY") or _newest("*/libmivoble.so")
STANDIN = _stand_in("MIVOBLE_TEST_STANDIN", "libmivoble_standin.so")
STANDIN_NO_STATE = _stand_in("MIVOBLE_TEST_STANDIN_NO_STATE", "libmivoble_standin_no_state.so")
STANDIN_NO_FRAMES = _stand_in("MIVOBLE_TEST_STANDIN_NO_FRAMES", "libmivoble_standin_no_frames.so")


class Collector:
    """Thread-safe list of callback values with waiting on a predicate."""

    def __init__(self):
        self._cond = threading.Condition()
        self.items = []

    def __call__(self, item=None, **kwargs):
        value = item if not kwargs else next(iter(kwargs.values()))
        with self._cond:
            self.items.append(value)
            self._cond.notify_all()

    def wait_until(self, predicate, timeout=EVENT_TIMEOUT, what="the expected callbacks"):
        with self._cond:
            if not self._cond.wait_for(lambda: predicate(self.items), timeout):
                raise AssertionError(f"timed out after {timeout} s waiting for {what}; got {self.items[-5:]!r}")
            return list(self.items)

    def snapshot(self):
        with self._cond:
            return list(self.items)


class StandIn:
    """Controls of the stand-in library, reached through the wrapper's loaded `lib`."""

    def __init__(self, lib):
        self.lib = lib
        lib.standin_calls.argtypes = [ctypes.c_char_p]
        lib.standin_calls.restype = ctypes.c_int
        lib.standin_fail_next.argtypes = [ctypes.c_char_p, ctypes.c_int32, ctypes.c_char_p]
        lib.standin_set_last_error.argtypes = [ctypes.c_char_p]
        lib.standin_last_handle.restype = ctypes.c_uint64
        lib.standin_emit_discovered.argtypes = [ctypes.c_char_p, ctypes.c_uint32]
        lib.standin_emit_row.argtypes = [ctypes.c_uint64, ctypes.POINTER(ctypes.c_float), ctypes.c_uint32]
        if hasattr(lib, "standin_emit_state"):
            lib.standin_emit_state.argtypes = [ctypes.c_uint64, ctypes.c_uint32]
        lib.standin_set_frame_reply.argtypes = [ctypes.c_uint8, ctypes.c_char_p, ctypes.c_uint16]
        lib.standin_last_frame.argtypes = [ctypes.POINTER(ctypes.c_uint32), ctypes.c_char_p, ctypes.c_uint32]
        lib.standin_last_layout.argtypes = [ctypes.POINTER(ctypes.c_uint32)]
        lib.standin_fill_device_information.argtypes = [
            ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
            ctypes.c_char_p, ctypes.c_uint32, ctypes.c_uint16, ctypes.c_uint16,
        ]

    def calls(self, name):
        return self.lib.standin_calls(name.encode())

    def fail_next(self, name, status, text=""):
        assert self.lib.standin_fail_next(name.encode(), status, text.encode()) == 0, name

    def set_last_error(self, text):
        self.lib.standin_set_last_error(text.encode())

    def last_handle(self):
        return self.lib.standin_last_handle()

    def fill_device_information(self, model, serial, firmware, hardware, maker, types, acquired, rate):
        self.lib.standin_fill_device_information(
            model.encode(), serial.encode(), firmware.encode(), hardware.encode(), maker.encode(),
            bytes(types), len(types), acquired, rate)

    def emit_discovered(self, slots, count):
        return self.lib.standin_emit_discovered(slots, count)

    def emit_row(self, handle, values):
        row = (ctypes.c_float * len(values))(*values)
        return self.lib.standin_emit_row(handle, row if values else None, len(values)), row

    def emit_state(self, handle, state):
        return self.lib.standin_emit_state(handle, state)

    def set_frame_reply(self, status, payload):
        self.lib.standin_set_frame_reply(status, payload, len(payload))

    def last_frame(self):
        fields = (ctypes.c_uint32 * 5)()
        payload = ctypes.create_string_buffer(1024)
        self.lib.standin_last_frame(fields, payload, len(payload))
        command, was_null, length, timeout, capacity = list(fields)
        return {"command": command, "payload_null": bool(was_null), "length": length,
                "payload": payload.raw[:length], "timeout": timeout, "capacity": capacity}

    def last_layout(self):
        args = (ctypes.c_uint32 * 5)()
        self.lib.standin_last_layout(args)
        return list(args)
