"""A bounded buffer of timestamped rows for the pull API.

The library's thread writes chunks, the reader takes what is buffered, oldest first. When
the reader falls behind, the oldest rows are overwritten and counted in ``overruns``:
memory stays bounded and no loss goes unnoticed. A change of the row width (a new sample
layout) or of the buffer's length keeps every unread row: rows of another width wait in a
ring of their own until the reader has taken the older ones.
"""

from __future__ import annotations

import threading
from typing import List, Optional, Tuple

import numpy


class RowRing:
    """Fixed-capacity ring of (timestamp, row) pairs of one width; not thread-safe."""

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

    def write(self, times: numpy.ndarray, rows: numpy.ndarray) -> None:
        """Appends rows (n x width) with their times; overwrites the oldest when full."""
        n = len(rows)
        if n == 0:
            return
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

    def available(self) -> int:
        return self._count

    def take(self, max_rows: Optional[int] = None) -> Tuple[numpy.ndarray, numpy.ndarray]:
        """Removes up to max_rows of the oldest rows: (timestamps, rows) as copies."""
        n = self._count if max_rows is None else min(self._count, max_rows)
        index = (self._start + numpy.arange(n)) % self.capacity
        times, rows = self._times[index], self._data[index]
        self._start = (self._start + n) % self.capacity
        self._count -= n
        return times, rows


class RowBuffer:
    """Thread-safe rows for the pull API: one ring per row width, read oldest first."""

    def __init__(self, capacity: int, width: int):
        self._cond = threading.Condition()
        self._rings: List[RowRing] = [RowRing(capacity, width)]  # oldest first; writes go to the last
        self._retired_overruns = 0
        self._closed = False

    @property
    def width(self) -> int:
        """Width of the rows written now."""
        with self._cond:
            return self._rings[-1].width

    @property
    def capacity(self) -> int:
        with self._cond:
            return self._rings[-1].capacity

    @property
    def overruns(self) -> int:
        with self._cond:
            return self._retired_overruns + sum(ring.overruns for ring in self._rings)

    def available(self) -> int:
        with self._cond:
            return sum(ring.available() for ring in self._rings)

    def resize(self, capacity: int, width: int) -> None:
        """Rows written from now on have this width and the buffer holds `capacity` of them.

        The unread rows stay: of the same width they move into the new ring (the newest
        that fit; the others count as overruns), of another width they are read first."""
        with self._cond:
            newest = self._rings[-1]
            if (newest.capacity, newest.width) == (capacity, width):
                return
            ring = RowRing(capacity, width)
            if newest.width == width:
                ring.write(*newest.take())
                self._retired_overruns += newest.overruns
                self._rings[-1] = ring
            else:
                self._rings.append(ring)

    def write(self, times: numpy.ndarray, rows: numpy.ndarray, capacity: int) -> None:
        """Appends rows; rows of a new width start a ring of `capacity` rows of their own."""
        if len(rows) == 0:
            return
        with self._cond:
            if rows.shape[1] != self._rings[-1].width:
                self._rings.append(RowRing(capacity, rows.shape[1]))
            self._rings[-1].write(times, rows)
            self._cond.notify_all()

    def close(self) -> None:
        """Wakes every reader; later reads return what is left, then nothing."""
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def wake(self) -> None:
        """Wakes every waiting reader without closing."""
        with self._cond:
            self._cond.notify_all()

    def read(self, max_rows: Optional[int] = None, timeout: Optional[float] = None,
             stop: Optional[threading.Event] = None) -> Tuple[numpy.ndarray, numpy.ndarray]:
        """Takes up to max_rows of the oldest rows, all of one width, waiting up to timeout
        seconds for one (or until `stop` is set and a waker calls wake()).

        Returns (timestamps, rows): float64 of length n and float32 of n x width (copies)."""
        with self._cond:
            if timeout is not None and timeout > 0:
                self._cond.wait_for(
                    lambda: self._has_rows() or self._closed or (stop is not None and stop.is_set()), timeout)
            while len(self._rings) > 1 and self._rings[0].available() == 0:
                self._retired_overruns += self._rings.pop(0).overruns
            return self._rings[0].take(max_rows)

    def _has_rows(self) -> bool:
        return any(ring.available() for ring in self._rings)
