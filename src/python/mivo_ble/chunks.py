"""Chunks of rows from the library's batched callback: numpy arrays with timestamps.

One :class:`ChunkStream` per open amplifier turns each batch the library delivers into a
2-D ``float32`` array (rows x row width) without a Python object per row, stamps its
rows with :class:`~mivo_ble.timestamps.RowClock`, and hands it to the chunk callback
and/or the pull buffer (:class:`~mivo_ble.ring.RowRing`).
"""

from __future__ import annotations

import logging
import threading
import time
from typing import Callable, Optional

import numpy

from mivo_ble.ring import RowRing
from mivo_ble.timestamps import RowClock

log = logging.getLogger("mivo_ble")

ChunkCallback = Callable[[numpy.ndarray, numpy.ndarray], None]


def default_frames_per_callback(rate: float) -> int:
    """About 20 ms of rows per batch (1 to 64): few Python calls, little added latency."""
    return int(min(64, max(1, round(rate / 50.0))))


class ChunkStream:
    """Receives batches on the library's thread and fans them out as arrays."""

    def __init__(self, rate: float):
        self.clock = RowClock(rate if rate > 0 else 1.0)
        self.callback: Optional[ChunkCallback] = None
        self.ring: Optional[RowRing] = None
        self.ring_seconds = 0.0
        self._overruns_before = 0  # rows dropped by rings replaced after a layout change
        self._rate = rate if rate > 0 else 1.0
        self._lock = threading.Lock()  # clock and ring swaps against delivery

    def start_buffer(self, seconds: float, width: int) -> None:
        capacity = max(1, int(round(seconds * self._rate)))
        with self._lock:
            old = self.ring
            self.ring = RowRing(capacity, width)
            self.ring_seconds = seconds
            self._overruns_before = 0
        if old is not None:
            old.close()

    @property
    def overruns(self) -> int:
        ring = self.ring
        return self._overruns_before + (ring.overruns if ring is not None else 0)

    def restart_clock(self) -> None:
        with self._lock:
            self.clock.restart()

    def deliver(self, rows_pointer, count: int, width: int) -> None:
        arrival = time.monotonic()
        if not count or not width or not rows_pointer:
            return
        # The library's buffer is valid only during this call: copy it.
        data = numpy.ctypeslib.as_array(rows_pointer, shape=(count, width)).copy()
        with self._lock:
            times = self.clock.stamp(count, arrival)
            ring = self.ring
            if ring is not None and ring.width != width:
                # The layout changed: rows of the old width cannot share the buffer.
                dropped = ring.available()
                log.warning("row width changed from %d to %d; %d buffered rows dropped", ring.width, width, dropped)
                ring.close()
                self._overruns_before += ring.overruns + dropped
                ring = self.ring = RowRing(ring.capacity, width)
        if ring is not None:
            ring.write(times, data)
        callback = self.callback
        if callback is not None:
            try:
                callback(data, times)
            except Exception:
                log.exception("the chunk callback raised; the stream goes on")
