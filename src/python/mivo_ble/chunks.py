"""Chunks of rows from the library's batched callback: numpy arrays with timestamps.

One :class:`ChunkStream` per open amplifier turns each batch the library delivers into a
2-D ``float32`` array (rows x row width) without a Python object per row, stamps its
rows with :class:`~mivo_ble.timestamps.RowClock` (from the counter column where the layout
has one), and hands it to the chunk callback and/or the pull buffer
(:class:`~mivo_ble.ring.RowBuffer`). The clock and the buffer follow the sample layout in
force (:meth:`ChunkStream.set_layout`).
"""

from __future__ import annotations

import threading
import time
from typing import Any, Callable, Optional

import numpy

from mivo_ble.callables import FailureLog
from mivo_ble.layout import Layout
from mivo_ble.ring import RowBuffer
from mivo_ble.timestamps import RowClock

ChunkCallback = Callable[[numpy.ndarray, numpy.ndarray], None]


def default_frames_per_callback(rate: float) -> int:
    """About 20 ms of rows per batch (1 to 64): few Python calls, little added latency."""
    return int(min(64, max(1, round(rate / 50.0))))


def _positive(rate: float) -> float:
    return float(rate) if rate > 0 else 1.0


class ChunkStream:
    """Receives batches on the library's thread and fans them out as arrays."""

    def __init__(self, layout: Layout):
        self._layout = layout
        self.clock = RowClock(_positive(layout.sampling_rate))
        self._missing_before = 0  # rows found missing by clocks of earlier layouts
        self.callback: Optional[ChunkCallback] = None
        self.failures = FailureLog()
        self.buffer: Optional[RowBuffer] = None
        self.buffer_seconds = 0.0
        # Guards the clock and the layout against delivery. Never held while the library
        # is called: a registration may deliver rows on the calling thread.
        self._lock = threading.Lock()

    def _capacity(self, seconds: float) -> int:
        return max(1, int(round(seconds * _positive(self._layout.sampling_rate))))

    def start_buffer(self, seconds: float) -> RowBuffer:
        """Starts the pull buffer, or gives the running one a new length keeping its rows."""
        with self._lock:
            self.buffer_seconds = seconds
            capacity, width = self._capacity(seconds), self._layout.width
            if self.buffer is None:
                self.buffer = RowBuffer(capacity, width)
            else:
                self.buffer.resize(capacity, width)
            return self.buffer

    def drop_buffer(self) -> None:
        with self._lock:
            self.buffer = None

    def set_layout(self, layout: Layout) -> None:
        """A new layout is in force: the clock takes its rate, the buffer its width and rate."""
        with self._lock:
            if layout.sampling_rate != self._layout.sampling_rate:
                self._missing_before += self.clock.missing
                self.clock = RowClock(_positive(layout.sampling_rate))
            else:
                self.clock.restart()
            self._layout = layout
            if self.buffer is not None:
                self.buffer.resize(self._capacity(self.buffer_seconds), layout.width)

    @property
    def missing(self) -> int:
        """Rows found missing against the clock (see RowClock.missing)."""
        return self._missing_before + self.clock.missing

    def restart_clock(self) -> None:
        with self._lock:
            self.clock.restart()

    def deliver(self, rows_pointer: Any, count: int, width: int) -> None:
        arrival = time.monotonic()
        if not count or not width or not rows_pointer:
            return
        # The library's buffer is valid only during this call: copy it.
        data = numpy.ctypeslib.as_array(rows_pointer, shape=(count, width)).copy()
        with self._lock:
            column = self._layout.counter_column
            counters = data[:, column] if column is not None and column < width else None
            times = self.clock.stamp(count, arrival, counters)
            buffer, capacity = self.buffer, self._capacity(self.buffer_seconds)
        if buffer is not None:
            buffer.write(times, data, capacity)
        callback = self.callback
        if callback is not None:
            try:
                callback(data, times)
            except Exception as error:
                self.failures.report("chunk", error)
