"""liblsl's own inlet and resolver API over ctypes, to judge what `mivoble lsl` announces.

Where liblsl and its loopback-only configuration are: MIVOBLE_TEST_LSL_LIBRARY and
MIVOBLE_TEST_LSL_CONFIG, else a build of liblsl in shared/lsl beside the checkout.
"""
import configparser
import ctypes
import fcntl
import os
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np

FLOAT32, STRING = 1, 3


def _is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def find_liblsl():
    """(library, config) or (None, reason)."""
    library, config = os.environ.get("MIVOBLE_TEST_LSL_LIBRARY"), os.environ.get("MIVOBLE_TEST_LSL_CONFIG")
    if not library:
        checkout = Path(__file__).resolve().parents[2]
        for root in (checkout.parent / "shared" / "lsl", Path("/work/shared/lsl")):
            lib = root / "lib"
            # Copies of the folder may hold the links as small text files: take the first real library.
            found = [p for p in [lib / "liblsl.so", lib / "liblsl.so.2", *sorted(lib.glob("liblsl.so.*.*"))] if _is_elf(p)]
            if found:
                library, config = str(found[0]), config or str(root / "lsl_api.cfg")
                break
    if not library:
        return None, "no liblsl to test with (set MIVOBLE_TEST_LSL_LIBRARY, or put a build in shared/lsl beside the checkout)"
    if not config:
        config = str(Path(library).resolve().parent.parent / "lsl_api.cfg")
    if not Path(config).is_file():
        return None, f"no lsl_api.cfg that keeps LSL on the loopback address ({config} missing): LSL tests would use the network"
    return (library, config), None


# liblsl finds a stream on this machine through the UDP port that the stream's outlet took from
# the configured range: a query sent to 127.0.0.1 on the multicast port reaches only the socket
# bound there last, not every outlet. Every resolve also takes ports from that range while it
# runs. Runs that share one range (the suite run several times at once) crowd each other's
# outlets out of it, and their streams can then not be found. Each run therefore takes a block
# of ports of its own, held through a lock file for as long as the run lasts.
PORT_BLOCKS = range(24000, 32000, 128)
PORTS_PER_RUN = 64
_held = []


def private_ports_config(shared_config, directory=None):
    """A copy of the loopback-only configuration with LSL's ports moved to a block that no other
    run of this suite on the machine uses. Returns its path."""
    for first in PORT_BLOCKS:
        lock = open(os.path.join(tempfile.gettempdir(), f"mivoble-lsl-test-ports-{first}.lock"), "w")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            lock.close()
            continue
        _held.append(lock)  # released when this process ends
        break
    else:
        raise RuntimeError("every block of LSL test ports is held by another run")
    config = configparser.ConfigParser(interpolation=None, comment_prefixes=(";", "#"))
    config.optionxform = str  # liblsl's keys are case-sensitive
    config.read(shared_config)
    if not config.has_section("ports"):
        config.add_section("ports")
    config.set("ports", "MulticastPort", str(first))
    config.set("ports", "BasePort", str(first + 1))
    config.set("ports", "PortRange", str(PORTS_PER_RUN))
    path = os.path.join(directory or tempfile.mkdtemp(prefix="mivoble-lsl-"), "lsl_api.cfg")
    with open(path, "w") as f:
        config.write(f)
    return path


class Lsl:
    def __init__(self, path):
        lib = ctypes.CDLL(path)
        self.inlets = []
        vp, i32, dbl, cp = ctypes.c_void_p, ctypes.c_int32, ctypes.c_double, ctypes.c_char_p
        for name, res, args in [
            ("lsl_library_version", i32, []),
            ("lsl_local_clock", dbl, []),
            ("lsl_resolve_bypred", i32, [ctypes.POINTER(vp), ctypes.c_uint32, cp, i32, dbl]),
            ("lsl_destroy_streaminfo", None, [vp]),
            ("lsl_get_xml", ctypes.c_void_p, [vp]),
            ("lsl_destroy_string", None, [vp]),
            ("lsl_create_inlet", vp, [vp, i32, i32, i32]),
            ("lsl_destroy_inlet", None, [vp]),
            ("lsl_get_fullinfo", vp, [vp, dbl, ctypes.POINTER(i32)]),
            ("lsl_open_stream", None, [vp, dbl, ctypes.POINTER(i32)]),
            ("lsl_pull_chunk_f", ctypes.c_ulong, [vp, ctypes.POINTER(ctypes.c_float), ctypes.POINTER(dbl),
                                                  ctypes.c_ulong, ctypes.c_ulong, dbl, ctypes.POINTER(i32)]),
            ("lsl_pull_sample_str", dbl, [vp, ctypes.POINTER(ctypes.c_char_p), i32, dbl, ctypes.POINTER(i32)]),
        ]:
            f = getattr(lib, name)
            f.restype, f.argtypes = res, args
        self.lib = lib

    def clock(self):
        return self.lib.lsl_local_clock()

    def resolve(self, predicate, minimum=1, timeout=10.0):
        """Stream infos (raw handles) matching an XPath predicate."""
        buffer = (ctypes.c_void_p * 64)()
        n = self.lib.lsl_resolve_bypred(buffer, 64, predicate.encode(), minimum, timeout)
        return [buffer[i] for i in range(max(n, 0))]

    def xml(self, info):
        raw = self.lib.lsl_get_xml(info)
        try:
            return ET.fromstring(ctypes.string_at(raw).decode())
        finally:
            self.lib.lsl_destroy_string(raw)

    def inlet(self, info):
        inlet = Inlet(self, info)
        self.inlets.append(inlet)
        return inlet

    def close_inlets(self):
        """Ends every inlet made so far: one left open keeps trying to recover its stream."""
        for inlet in self.inlets:
            inlet.close()
        self.inlets.clear()


class Inlet:
    def __init__(self, lsl, info):
        self.lsl, lib = lsl, lsl.lib
        self.handle = lib.lsl_create_inlet(info, 360, 0, 1)
        lib.lsl_destroy_streaminfo(info)
        ec = ctypes.c_int32()
        full = lib.lsl_get_fullinfo(self.handle, 10.0, ctypes.byref(ec))
        assert ec.value == 0, f"no stream info ({ec.value})"
        self.info = lsl.xml(full)
        lib.lsl_destroy_streaminfo(full)
        self.channels = int(self.info.findtext("channel_count"))
        lib.lsl_open_stream(self.handle, 10.0, ctypes.byref(ec))
        assert ec.value == 0, f"stream not opened ({ec.value})"

    def close(self):
        if self.handle:
            self.lsl.lib.lsl_destroy_inlet(self.handle)
            self.handle = None

    def pull(self, count, timeout=20.0, after=None):
        """At least `count` samples (all that have come), and when `after` is given at least one stamped
        later than it, with their times and the local clock at arrival."""
        data, stamps, received = [], [], []
        deadline = self.lsl.clock() + timeout
        buffer = (ctypes.c_float * (1024 * self.channels))()
        times = (ctypes.c_double * 1024)()
        ec = ctypes.c_int32()
        total = 0
        last = float("-inf")
        while (total < count or (after is not None and last <= after)) and self.lsl.clock() < deadline:
            n = self.lsl.lib.lsl_pull_chunk_f(self.handle, buffer, times, len(buffer), len(times), 0.2, ctypes.byref(ec))
            now = self.lsl.clock()
            rows = n // self.channels
            if rows:
                data.append(np.ctypeslib.as_array(buffer)[:rows * self.channels].reshape(rows, self.channels).copy())
                stamps.append(np.ctypeslib.as_array(times)[:rows].copy())
                received.append(np.full(rows, now))
                total += rows
                last = stamps[-1][-1]
        if not data:
            return np.zeros((0, self.channels), np.float32), np.zeros(0), np.zeros(0)
        return np.concatenate(data), np.concatenate(stamps), np.concatenate(received)

    def markers(self, until, timeout=20.0):
        """(text, time) markers until one satisfies `until` or the time is up."""
        out = []
        deadline = self.lsl.clock() + timeout
        text = ctypes.c_char_p()
        ec = ctypes.c_int32()
        while self.lsl.clock() < deadline:
            t = self.lsl.lib.lsl_pull_sample_str(self.handle, ctypes.byref(text), 1, 0.2, ctypes.byref(ec))
            if t:
                out.append((text.value.decode(), t))
                if until(out):
                    break
        return out
