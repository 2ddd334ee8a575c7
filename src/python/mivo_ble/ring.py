"""A bounded buffer of timestamped rows for the pull API.

The library's thread writes chunks, the reader takes everything buffered so far. When
the reader falls behind, the oldest rows are overwritten and counted in ``overruns``:
memory stays bounded and no loss goes unnoticed.
"""

from __future__ import annotations

import threading

import numpy


class RowRing:
    """Fixed-capacity ring of (timestamp, row) pairs; thread-safe."""

    def __init__(self, capacity: int, width: int):
        if capacity < 1:
            raise ValueError("The buffer must hold at least one row.")
        self.capacity = int(capacity)
        self.width = int(width)
        self._data = numpy.zeros((self.capacity, self.width), dtype=numpy.float32)
        self._times = numpy.zeros(self.capacity, dtype=numpy.float64)
        self._start = 0  # index of the oldest row
        self._count = 0
        self.overruns = 0
        self._closed = False
        self._cond = threading.Condition()

    def write(self, times: numpy.ndarray, rows: numpy.ndarray) -> None:
        """Appends rows (n x width) with their times; overwrites the oldest when full."""
        n = len(rows)
        if n == 0:
            return
        with self._cond:
            if n > self.capacity:  # only the newest rows fit
                self.overruns += n - self.capacity
                times, rows, n = times[-self.capacity :], rows[-self.capacity :], self.capacity
            dropped = max(0, self._count + n - self.capacity)
            if dropped:
                self.overruns += dropped
                self._start = (self._start + dropped) % self.capacity
                self._count -= dropped
            end = (self._start + self._count) % self.capacity
            first = min(n, self.capacity - end)
            self._data[end : end + first] = rows[:first]
            self._times[end : end + first] = times[:first]
            if first < n:
                self._data[: n - first] = rows[first:]
                self._times[: n - first] = times[first:]
            self._count += n
            self._cond.notify_all()

    def available(self) -> int:
        with self._cond:
            return self._count

    def close(self) -> None:
        """Wakes every reader; later reads return what is left, then nothing."""
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def read(self, max_rows: int | None = None, timeout: float | None = None):
        """Takes up to max_rows of the oldest rows, waiting up to timeout seconds for one.

        Returns (timestamps, rows): float64 of length n and float32 of n x width (copies).
        """
        with self._cond:
            if timeout is not None and timeout > 0:
                self._cond.wait_for(lambda: self._count > 0 or self._closed, timeout)
            n = self._count if max_rows is None else min(self._count, max_rows)
            index = (self._start + numpy.arange(n)) % self.capacity
            times, rows = self._times[index], self._data[index]
            self._start = (self._start + n) % self.capacity
            self._count -= n
            return times, rows
