"""Host timestamps for sample rows, robust to delivery jitter, stalls, bursts and lost rows.

Model: the amplifier samples row ``n`` (its index since the stream started) at
``T(n) = a + b * n`` on the host's monotonic clock, and a chunk whose last row is ``n`` arrives
at ``t >= T(n) + d_min``: delivery only ever delays. The true line therefore lies on or below
every point ``(n, t)``, on their *lower envelope*; a stall or a burst lifts points above it and
cannot tilt it. :class:`RowClock` estimates that line:

* Points: per bucket of about ``bucket`` seconds of rows only the earliest arrival (smallest
  ``t - n * period``) is kept, for a window of about ``window`` seconds of buckets, so the work
  per chunk is bounded whatever the run's length.
* Line: once the kept points span ``fit_span`` seconds, the line that lies below all of them
  with the least summed vertical distance to them: the edge of their lower convex hull that
  spans their mean ``n``. Its slope is held within ``max_drift`` of 1/rate, a bound on the
  difference between the amplifier's and the host's clocks. Before that the slope is 1/rate
  (or the one learnt before a restart) and the offset that of the lowest point.
* Row index: with the counter column (``counters``: frame numbers, wrapping modulo
  ``counter_range``) ``n`` follows the counter; filled-in rows stand in for lost ones, a counter
  that jumps counts the rows between as ``missing``, and one that goes back means the stream
  started anew (:meth:`restart`). Without counters ``n`` counts the rows, and lost rows show
  as arrivals that stay late: when six arrivals in a row, over at least ``loss_confirm``
  seconds, are later than the line by more than the tolerance, and that lateness is not
  draining away (a stall's backlog arrives in a burst and returns to the line), the rows the
  latest of them lag by are counted ``missing`` and ``n`` moves on by as many. The tolerance is
  ``loss_tolerance`` periods, or four times the median lateness of arrivals when delivery
  jitters more. Rows are stamped as if nothing was lost until a loss is confirmed.
* Output: one time per row, on the line; a change of the line is taken up gradually (at most
  ``slew`` of a period per row), so consecutive rows stay about one period apart and times
  never go back.

After a link loss :meth:`restart` re-estimates the offset from the next chunks and keeps the
slope learnt so far. Times are on the ``time.monotonic()`` scale (or whatever clock the
arrivals are given on); add :func:`wall_clock_offset` for ``time.time()`` seconds.
"""

from __future__ import annotations

import math
import time
from collections import deque
from typing import Optional

import numpy

COUNTER_RANGE = 1 << 24  # frame numbers in a float32 column are exact below this
LOSS_ARRIVALS = 6  # consecutive late arrivals that show rows lost
TYPICAL_LATENESS = 0.002  # start of the estimate: Bluetooth delivery jitters by milliseconds


def wall_clock_offset() -> float:
    """Seconds to add to a ``time.monotonic()`` timestamp to get ``time.time()`` seconds."""
    return time.time() - time.monotonic()


class RowClock:
    """Estimates the sampling time of every row from chunk arrival times and the rate."""

    def __init__(self, rate: float, max_drift: float = 500e-6, slew: float = 0.01, bucket: float = 0.5,
                 window: float = 60.0, fit_span: float = 4.0, loss_tolerance: float = 3.0,
                 loss_confirm: float = 0.1, counter_range: int = COUNTER_RANGE):
        if not rate > 0 or not math.isfinite(rate):
            raise ValueError("rate must be positive.")
        if not (0 <= max_drift < 0.5 and 0 < slew < 0.5 and bucket > 0 and window >= bucket
                and fit_span >= 0 and loss_tolerance > 0 and loss_confirm > 0 and counter_range >= 2):
            raise ValueError("RowClock tuning out of range.")
        self.nominal_period = 1.0 / float(rate)
        self._max_drift = float(max_drift)
        self._slew = float(slew)
        self._bucket_rows = max(1, int(round(bucket * rate)))
        self._window_buckets = max(1, int(round(window / bucket)))
        self._fit_rows = fit_span * float(rate)
        self._loss_tolerance = loss_tolerance * self.nominal_period
        self._loss_confirm = float(loss_confirm)
        self._counter_range = int(counter_range)
        self.period = self.nominal_period
        self.missing = 0  # rows found missing, over the clock's life
        self._t_ref: Optional[float] = None  # arrival times are kept relative to this
        self._last_out: Optional[float] = None
        self.restart()

    def restart(self) -> None:
        """A new stream (after a link loss): row numbers and offset start anew, the slope stays."""
        self.rows = 0  # rows stamped since the (re)start
        self._points: deque = deque()  # [bucket, n, t - n * nominal_period], n increasing
        self._offset: Optional[float] = None  # line: t = offset + period * n (t relative to _t_ref)
        self._next_n = 0
        self._last_n: Optional[int] = None
        self._last_counter: Optional[int] = None
        self._typical_lateness = TYPICAL_LATENESS
        self._run_since: Optional[float] = None  # first arrival of a run of late ones

    def stamp(self, rows: int, arrival: Optional[float] = None,
              counters: Optional[numpy.ndarray] = None) -> numpy.ndarray:
        """Times of the next `rows` rows, given the arrival time of the chunk holding them and,
        when the layout has one, their counter column."""
        rows = int(rows)
        if rows <= 0:
            return numpy.empty(0, dtype=numpy.float64)
        if arrival is None:
            arrival = time.monotonic()
        if counters is not None:
            counters = numpy.asarray(counters, dtype=numpy.float64).ravel()
            if len(counters) != rows:
                raise ValueError("counters must have one value per row.")
            if not numpy.all(numpy.isfinite(counters)):
                counters = None
        if self._t_ref is None:
            self._t_ref = float(arrival)
        t = float(arrival) - self._t_ref
        if counters is None:
            n = self._next_n + numpy.arange(rows, dtype=numpy.int64)
            self._check_loss(n, t)
        else:
            whole = numpy.rint(numpy.clip(counters, -2.0 ** 62, 2.0 ** 62)).astype(numpy.int64)
            n, back = self._unwrap(whole % self._counter_range)
            if back is not None:
                # The counter went back: the rows from there on belong to a new stream.
                head = self.stamp(back, arrival, counters[:back]) if back else numpy.empty(0)
                self.restart()
                return numpy.concatenate([head, self.stamp(rows - back, arrival, counters[back:])])
        self._add_point(int(n[-1]), t)
        return self._output(n)

    def _unwrap(self, counters: numpy.ndarray) -> tuple[numpy.ndarray, Optional[int]]:
        """Row numbers from wrapping counters, and the index where a counter went back, if any."""
        previous = counters[0] - 1 if self._last_counter is None else self._last_counter
        steps = numpy.diff(counters, prepend=previous) % self._counter_range
        back = numpy.nonzero(steps > self._counter_range // 2)[0]
        if len(back):
            return counters, int(back[0])
        steps = numpy.maximum(steps, 1)  # a repeated counter still moves on by a row
        self.missing += int(numpy.sum(steps - 1))
        base = -1 if self._last_n is None else self._last_n
        self._last_counter = int(counters[-1])
        return base + numpy.cumsum(steps), None

    def _line(self, n):
        return self._offset + self.period * n

    def _check_loss(self, n: numpy.ndarray, t: float) -> None:
        """Counts rows missing from a stream without counters: arrivals that stay late."""
        if self._offset is None:
            return
        lateness = t - self._line(int(n[-1]))
        tolerance = max(self._loss_tolerance, 4.0 * self._typical_lateness)
        if lateness <= tolerance:
            # Median of the lateness of arrivals within the tolerance, in steps relative to its size.
            step = max(self._typical_lateness, self.nominal_period) / 16.0
            self._typical_lateness = max(0.0, self._typical_lateness + (step if lateness > self._typical_lateness else -step))
            self._run_since = None
            return
        if self._run_since is None:
            self._run_since, self._run_count = t, 0
            self._run_early = self._run_recent = math.inf
        self._run_count += 1
        if self._run_count <= LOSS_ARRIVALS // 2:
            self._run_early = min(self._run_early, lateness)
            return
        self._run_recent = min(self._run_recent, lateness)
        if self._run_count < LOSS_ARRIVALS or t - self._run_since < self._loss_confirm:
            return
        self._run_since = None
        if self._run_early - self._run_recent > tolerance:
            return  # a backlog draining away after a stall, not rows lost
        lost = int(round(self._run_recent / self.period))
        if lost > 0:
            self.missing += lost
            self._next_n += lost
            n += lost

    def _add_point(self, n: int, t: float) -> None:
        y = t - n * self.nominal_period
        key = n // self._bucket_rows
        points = self._points
        self._next_n = n + 1
        if points and points[-1][0] == key:
            if y >= points[-1][2]:
                return
            points[-1][1:] = [n, y]
        else:
            points.append([key, n, y])
            while points[0][0] <= key - self._window_buckets:
                points.popleft()
        self._fit()

    def _fit(self) -> None:
        points = self._points
        nominal = self.nominal_period
        slope = self.period - nominal  # of y = t - n * nominal
        if points[-1][1] - points[0][1] >= self._fit_rows and len(points) >= 2:
            hull: list = []
            for _, n, y in points:
                while len(hull) >= 2 and ((hull[-1][0] - hull[-2][0]) * (y - hull[-2][1]) -
                                          (hull[-1][1] - hull[-2][1]) * (n - hull[-2][0])) <= 0:
                    hull.pop()
                hull.append((n, y))
            mean = sum(p[1] for p in points) / len(points)
            k = 0
            while k + 2 < len(hull) and hull[k + 1][0] <= mean:
                k += 1
            (n0, y0), (n1, y1) = hull[k], hull[k + 1]
            bound = self._max_drift * nominal
            slope = min(max((y1 - y0) / (n1 - n0), -bound), bound)
        self.period = nominal + slope
        self._offset = min(y - slope * n for _, n, y in points)

    def _output(self, n: numpy.ndarray) -> numpy.ndarray:
        """Times on the line, continuing the previous output and slewing towards the line."""
        line = self._t_ref + self._line(n.astype(numpy.float64))
        if self._last_out is None:
            times = line
        else:
            first = int(n[0]) - 1 if self._last_n is None else self._last_n
            gap = self._last_out - (self._t_ref + self._line(first))
            if self._last_n is None:
                gap = max(gap, 0.0)  # a new stream does not go back before the old one's end
            steps = (n - first).astype(numpy.float64)
            times = line + math.copysign(1.0, gap) * numpy.maximum(
                abs(gap) - self._slew * self.nominal_period * steps, 0.0)
        self._last_out = float(times[-1])
        self._last_n = int(n[-1])
        self.rows += len(n)
        return times
